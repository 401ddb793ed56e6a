#include <poll.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/wait.h"
#include "vcl/vcl.h"

namespace {

using namespace std::chrono_literals;

struct Received {
  vcl::UINT msg;
  vcl::WPARAM wparam;
  std::thread::id thread;
};

class MessagesTest : public ::testing::Test {
 protected:
  void SetUp() override { app_.ProcessMessages(); }
  vcl::TApplication app_{nullptr};
};

TEST_F(MessagesTest, WindowMethodGetsMessagesPostedFromAnotherThreadOnItsOwnThread) {
  std::vector<Received> got;
  vcl::HWND w = vcl::AllocateHWnd([&](vcl::TMessage& m) {
    got.push_back({m.Msg, m.WParam, std::this_thread::get_id()});
    m.Result = 5;
  });
  ASSERT_NE(w, nullptr);
  std::thread([w] {
    for (vcl::WPARAM i = 0; i < 3; ++i) win32::PostMessageA(w, win32::WM_USER, i, 0);
  }).join();
  app_.HandleMessage();  // waits for one
  ASSERT_EQ(got.size(), 1u);
  app_.ProcessMessages();  // the rest, without waiting
  ASSERT_EQ(got.size(), 3u);
  for (vcl::WPARAM i = 0; i < 3; ++i) {
    EXPECT_EQ(got[i].msg, win32::WM_USER);
    EXPECT_EQ(got[i].wparam, i);
    EXPECT_EQ(got[i].thread, std::this_thread::get_id());
  }
  app_.ProcessMessages();  // nothing pending: returns at once
  win32::MSG direct{w, win32::WM_USER + 1, 0, 0};
  EXPECT_EQ(win32::DispatchMessageA(&direct), 5);
  vcl::DeallocateHWnd(w);
}

TEST_F(MessagesTest, PostingAfterDeallocateFailsAndQueuedMessagesAreDropped) {
  int calls = 0;
  vcl::HWND w = vcl::AllocateHWnd([&](vcl::TMessage&) { ++calls; });
  ASSERT_TRUE(win32::PostMessageA(w, win32::WM_USER, 0, 0));
  vcl::DeallocateHWnd(w);
  win32::SetLastError(win32::ERROR_SUCCESS);
  EXPECT_FALSE(win32::PostMessageA(w, win32::WM_USER, 0, 0));
  EXPECT_EQ(win32::GetLastError(), win32::ERROR_INVALID_WINDOW_HANDLE);
  app_.ProcessMessages();
  EXPECT_EQ(calls, 0);
  vcl::DeallocateHWnd(w);        // twice: ignored
  vcl::DeallocateHWnd(nullptr);  // ignored
}

TEST_F(MessagesTest, AThreadThatExitsReleasesItsWindowMethods) {
  auto token = std::make_shared<int>(1);
  std::weak_ptr<int> watch = token;
  vcl::HWND w = nullptr;
  std::thread([&, t = std::move(token)]() mutable {
    w = vcl::AllocateHWnd([t](vcl::TMessage&) {});
    t.reset();
  }).join();
  EXPECT_TRUE(watch.expired()) << "the method (and what it holds) was released at thread exit";
  EXPECT_FALSE(win32::IsWindow(w));
}

TEST_F(MessagesTest, ExceptionsFromWindowMethodsReachOnException) {
  vcl::HWND w = vcl::AllocateHWnd([](vcl::TMessage&) { throw vcl::Exception("boom"); });
  vcl::AnsiString caught;
  vcl::Application->OnException = [&](vcl::TObject*) {
    try {
      throw;
    } catch (const vcl::Exception& e) {
      caught = e.Message;
    }
  };
  win32::PostMessageA(w, win32::WM_USER, 0, 0);
  app_.ProcessMessages();
  vcl::Application->OnException = nullptr;
  EXPECT_EQ(caught, "boom");
  vcl::DeallocateHWnd(w);
}

TEST_F(MessagesTest, MessageFdIsReadableWhileMessagesWait) {
  int fd = app_.MessageFd();
  ASSERT_GE(fd, 0);
  vcl::HWND w = vcl::AllocateHWnd([](vcl::TMessage&) {});
  pollfd p{fd, POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 0), 0);
  std::thread([w] { win32::PostMessageA(w, win32::WM_USER, 0, 0); }).join();
  EXPECT_EQ(::poll(&p, 1, 0), 1);
  app_.ProcessMessages();
  EXPECT_EQ(::poll(&p, 1, 0), 0);
  vcl::DeallocateHWnd(w);
}

TEST_F(MessagesTest, RunEndsWhenTerminatedFromAHandler) {
  int handled = 0;
  vcl::HWND w = vcl::AllocateHWnd([&](vcl::TMessage& m) {
    ++handled;
    if (m.WParam == 3) app_.Terminate();
  });
  for (vcl::WPARAM i = 1; i <= 3; ++i) win32::PostMessageA(w, win32::WM_USER, i, 0);
  EXPECT_FALSE(app_.Terminated);
  app_.Run();
  EXPECT_TRUE(app_.Terminated);
  EXPECT_EQ(handled, 3);
  vcl::DeallocateHWnd(w);
}

TEST_F(MessagesTest, RunEndsWhenTerminatedFromAnotherThread) {
  quellin::test::Latch in_loop;
  vcl::HWND w = vcl::AllocateHWnd([&](vcl::TMessage&) { in_loop.Set(); });
  std::thread other([&] {
    win32::PostMessageA(w, win32::WM_USER, 0, 0);
    ASSERT_TRUE(in_loop.Wait());
    app_.Terminate();  // the loop is asleep in GetMessageA by now, or about to be
  });
  app_.Run();
  other.join();
  EXPECT_TRUE(app_.Terminated);
  vcl::DeallocateHWnd(w);
}

TEST_F(MessagesTest, ALoopThatMovesToAnotherThreadCanStillBeTerminated) {
  std::thread([this] { app_.ProcessMessages(); }).join();  // first pumped on a thread now gone
  quellin::test::Latch in_loop;
  vcl::HWND w = vcl::AllocateHWnd([&](vcl::TMessage&) { in_loop.Set(); });
  std::thread other([&] {
    win32::PostMessageA(w, win32::WM_USER, 0, 0);
    ASSERT_TRUE(in_loop.Wait());
    app_.Terminate();  // must wake the loop now running on this test's thread
  });
  app_.Run();
  other.join();
  EXPECT_TRUE(app_.Terminated);
  vcl::DeallocateHWnd(w);
}

TEST_F(MessagesTest, QuitMessageTerminatesTheLoop) {
  win32::PostQuitMessage(0);
  app_.Run();
  EXPECT_TRUE(app_.Terminated);
}

TEST(Application, GlobalObjectExists) {
  ASSERT_NE(vcl::Application, nullptr);
  EXPECT_EQ(vcl::Application->ClassName(), "TApplication");
  EXPECT_FALSE(vcl::Application->Terminated);
}

}  // namespace
