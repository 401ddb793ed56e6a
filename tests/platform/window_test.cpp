#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "tests/support/wait.h"

namespace {

using namespace win32;
using namespace std::chrono_literals;

// What the test window procedure saw, on which thread.
struct Seen {
  std::thread::id thread;
  HWND window;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};
thread_local std::vector<Seen>* tls_seen = nullptr;
std::atomic<int> nc_destroys{0};
std::atomic<bool> nc_destroy_saw_dead_window{false};

LRESULT RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCDESTROY) {
    ++nc_destroys;
    // The window still exists while WM_NCDESTROY is handled, and destroying it again is refused.
    if (!IsWindow(window) || DestroyWindow(window)) nc_destroy_saw_dead_window = true;
    return 0;
  }
  if (tls_seen) tls_seen->push_back({std::this_thread::get_id(), window, message, wParam, lParam});
  return static_cast<LRESULT>(message) + 1000;
}

bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

// Drains the calling thread's queue so each test starts empty.
class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
    }
    tls_seen = &seen_;
  }
  void TearDown() override {
    for (HWND w : windows_) DestroyWindow(w);
    tls_seen = nullptr;
  }
  HWND NewWindow(LONG_PTR user = 0) {
    HWND w = CreateMessageWindow(&RecordingProc, user);
    EXPECT_NE(w, nullptr);
    windows_.push_back(w);
    return w;
  }
  std::vector<Seen> seen_;
  std::vector<HWND> windows_;
};

TEST_F(WindowTest, PostFromAnotherThreadIsDeliveredOnTheOwnersThread) {
  HWND w = NewWindow(77);
  EXPECT_TRUE(IsWindow(w));
  EXPECT_EQ(GetWindowLongPtrA(w, GWLP_USERDATA), 77);
  BOOL posted = FALSE;
  std::thread([&] { posted = PostMessageA(w, WM_USER + 1, 42, -7); }).join();
  ASSERT_TRUE(posted);
  MSG m{};
  ASSERT_EQ(GetMessageA(&m, nullptr, 0, 0), 1);
  EXPECT_EQ(m.hwnd, w);
  EXPECT_EQ(m.message, WM_USER + 1);
  EXPECT_EQ(m.wParam, 42u);
  EXPECT_EQ(m.lParam, -7);
  EXPECT_EQ(DispatchMessageA(&m), static_cast<LRESULT>(WM_USER + 1) + 1000);
  ASSERT_EQ(seen_.size(), 1u);
  EXPECT_EQ(seen_[0].thread, std::this_thread::get_id());
  EXPECT_EQ(seen_[0].window, w);
}

TEST_F(WindowTest, PostingToAReleasedWindowFails) {
  HWND w = CreateMessageWindow(&RecordingProc, 0);
  ASSERT_TRUE(DestroyWindow(w));
  SetLastError(ERROR_SUCCESS);
  EXPECT_FALSE(PostMessageA(w, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FALSE(IsWindow(w));
  EXPECT_FALSE(DestroyWindow(w));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_EQ(GetWindowLongPtrA(w, GWLP_USERDATA), 0);
  EXPECT_FALSE(PostMessageA(reinterpret_cast<HWND>(std::uintptr_t{0x12345678}), WM_USER, 0, 0));
}

TEST_F(WindowTest, AReleasedHandleNeverNamesALaterWindow) {
  std::set<HWND> released;
  for (int i = 0; i < 200; ++i) {
    HWND w = CreateMessageWindow(&RecordingProc, i);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(released.count(w), 0u) << "handle value reused";
    ASSERT_TRUE(DestroyWindow(w));
    released.insert(w);
  }
  for (HWND old : released) EXPECT_FALSE(IsWindow(old));
}

TEST_F(WindowTest, QueueFdIsReadableExactlyWhileMessagesAreQueued) {
  int fd = GetMessageQueueFd();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(GetMessageQueueFd(), fd);
  HWND w = NewWindow();
  EXPECT_FALSE(Readable(fd));
  ASSERT_TRUE(PostMessageA(w, WM_USER, 1, 0));
  EXPECT_TRUE(Readable(fd));
  ASSERT_TRUE(PostMessageA(w, WM_USER, 2, 0));
  MSG m{};
  ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(m.wParam, 1u);
  EXPECT_TRUE(Readable(fd));
  ASSERT_EQ(GetMessageA(&m, nullptr, 0, 0), 1);
  EXPECT_EQ(m.wParam, 1u);
  EXPECT_TRUE(Readable(fd));
  ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.wParam, 2u);
  EXPECT_FALSE(Readable(fd));
  EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
  PostQuitMessage(0);
  EXPECT_TRUE(Readable(fd));
  EXPECT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, WM_QUIT);
  EXPECT_FALSE(Readable(fd));
}

TEST_F(WindowTest, PollingTheFdWakesOnAPostFromAnotherThread) {
  HWND w = NewWindow();
  int fd = GetMessageQueueFd();
  std::thread poster([w] { PostMessageA(w, WM_USER, 9, 0); });
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  poster.join();
  MSG m{};
  ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.wParam, 9u);
}

std::string TaskField(pid_t tid, const std::string& file, const std::string& key) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/" + file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) return line.substr(key.size());
  }
  return {};
}

TEST_F(WindowTest, GetMessageSleepsInTheKernelUntilAPostArrives) {
  std::atomic<pid_t> tid{0};
  std::atomic<HWND> window{nullptr};
  MSG got{};
  BOOL result = -2;
  std::thread waiter([&] {
    tid = gettid();
    window = CreateMessageWindow(&RecordingProc, 0);
    result = GetMessageA(&got, nullptr, 0, 0);
    DestroyWindow(window);
  });
  // Wait (bounded) until the waiter has settled asleep, then check that it stays asleep for a
  // while: a waiter that polled or slept in steps would show voluntary context switches.
  auto asleep = [&] { return TaskField(tid, "status", "State:\t").rfind("S", 0) == 0; };
  auto switches = [&] { return TaskField(tid, "status", "voluntary_ctxt_switches:\t"); };
  auto deadline = std::chrono::steady_clock::now() + 5s;
  std::string before;
  while (std::chrono::steady_clock::now() < deadline) {
    if (window.load() != nullptr && asleep()) {
      before = switches();
      std::this_thread::sleep_for(20ms);
      if (asleep() && switches() == before) break;
    }
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_TRUE(asleep());
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(switches(), before) << "the waiting thread woke up";
  ASSERT_TRUE(PostMessageA(window, WM_USER + 5, 1, 2));
  waiter.join();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(got.message, WM_USER + 5);
}

TEST_F(WindowTest, MessagesForAWindowDestroyedBeforeDispatchAreDropped) {
  HWND a = CreateMessageWindow(&RecordingProc, 0);
  HWND b = NewWindow();
  ASSERT_TRUE(PostMessageA(a, WM_USER, 1, 0));
  ASSERT_TRUE(PostMessageA(b, WM_USER, 2, 0));
  ASSERT_TRUE(PostMessageA(a, WM_USER, 3, 0));
  MSG held{};
  ASSERT_TRUE(PeekMessageA(&held, nullptr, 0, 0, PM_NOREMOVE));  // a copy taken before the destroy
  int destroys = nc_destroys;
  ASSERT_TRUE(DestroyWindow(a));
  EXPECT_EQ(nc_destroys, destroys + 1);
  EXPECT_FALSE(nc_destroy_saw_dead_window);
  MSG m{};
  ASSERT_EQ(GetMessageA(&m, nullptr, 0, 0), 1);
  EXPECT_EQ(m.hwnd, b);
  EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_FALSE(Readable(GetMessageQueueFd()));
  EXPECT_EQ(DispatchMessageA(&held), 0);  // dispatching the stale copy reaches nobody
  EXPECT_TRUE(seen_.empty());
}

TEST_F(WindowTest, AThreadsWindowsAndQueueGoWhenItExits) {
  HWND left_behind = nullptr;
  int destroys = nc_destroys;
  std::thread([&] {
    left_behind = CreateMessageWindow(&RecordingProc, 5);
    PostMessageA(left_behind, WM_USER, 0, 0);
    EXPECT_GE(GetMessageQueueFd(), 0);
  }).join();
  ASSERT_NE(left_behind, nullptr);
  EXPECT_EQ(nc_destroys, destroys + 1);
  EXPECT_FALSE(nc_destroy_saw_dead_window);
  EXPECT_FALSE(IsWindow(left_behind));
  SetLastError(ERROR_SUCCESS);
  EXPECT_FALSE(PostMessageA(left_behind, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(WindowTest, OnlyTheOwnerDestroysOrDispatches) {
  HWND w = NewWindow();
  BOOL destroyed = TRUE;
  DWORD error = 0;
  LRESULT dispatched = -1;
  std::thread([&] {
    destroyed = DestroyWindow(w);
    error = GetLastError();
    MSG m{w, WM_USER, 0, 0};
    dispatched = DispatchMessageA(&m);
  }).join();
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(error, ERROR_ACCESS_DENIED);
  EXPECT_EQ(dispatched, 0);
  EXPECT_TRUE(IsWindow(w));
  EXPECT_TRUE(seen_.empty());
}

TEST_F(WindowTest, QuitComesAfterQueuedMessages) {
  HWND w = NewWindow();
  PostQuitMessage(3);
  ASSERT_TRUE(PostMessageA(w, WM_USER, 0, 0));
  MSG m{};
  EXPECT_EQ(GetMessageA(&m, nullptr, 0, 0), 1);
  EXPECT_EQ(GetMessageA(&m, nullptr, 0, 0), 0);
  EXPECT_EQ(m.message, WM_QUIT);
  EXPECT_EQ(m.wParam, 3u);
  EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(WindowTest, FiltersByWindowAndRange) {
  HWND a = NewWindow();
  HWND b = NewWindow();
  ASSERT_TRUE(PostMessageA(a, WM_USER + 1, 0, 0));
  ASSERT_TRUE(PostMessageA(b, WM_USER + 2, 0, 0));
  ASSERT_TRUE(PostMessageA(a, WM_USER + 3, 0, 0));
  MSG m{};
  ASSERT_EQ(GetMessageA(&m, b, 0, 0), 1);
  EXPECT_EQ(m.message, WM_USER + 2);
  ASSERT_EQ(GetMessageA(&m, nullptr, WM_USER + 3, WM_USER + 10), 1);
  EXPECT_EQ(m.message, WM_USER + 3);
  ASSERT_EQ(GetMessageA(&m, nullptr, 0, 0), 1);
  EXPECT_EQ(m.message, WM_USER + 1);
  // A filtered wait is woken by a matching post from another thread, not by others.
  std::thread poster([a, b] {
    PostMessageA(a, WM_USER + 7, 0, 0);
    PostMessageA(b, WM_USER + 8, 0, 0);
  });
  ASSERT_EQ(GetMessageA(&m, b, 0, 0), 1);
  EXPECT_EQ(m.message, WM_USER + 8);
  poster.join();
  ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, WM_USER + 7);
  HWND foreign = nullptr;
  std::thread([&] {
    foreign = CreateMessageWindow(&RecordingProc, 0);
    MSG x{};
    EXPECT_EQ(GetMessageA(&x, a, 0, 0), -1);  // not this thread's window
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    DestroyWindow(foreign);
  }).join();
}

TEST_F(WindowTest, ManyPostersKeepEachPostersOrder) {
  HWND w = NewWindow();
  constexpr int kThreads = 4;
  constexpr int kEach = 5000;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([w, t] {
      for (int i = 0; i < kEach; ++i) PostMessageA(w, WM_USER + static_cast<UINT>(t), static_cast<WPARAM>(i), 0);
    });
  }
  std::map<UINT, WPARAM> next;
  MSG m{};
  for (int n = 0; n < kThreads * kEach; ++n) {
    ASSERT_EQ(GetMessageA(&m, nullptr, 0, 0), 1);
    ASSERT_EQ(m.wParam, next[m.message]++) << "out of order for poster " << (m.message - WM_USER);
  }
  for (auto& p : posters) p.join();
  EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(WindowTest, ThreadMessagesAndBadArguments) {
  ASSERT_TRUE(PostMessageA(nullptr, WM_USER + 9, 4, 0));  // to the calling thread's queue
  MSG m{};
  ASSERT_EQ(GetMessageA(&m, nullptr, 0, 0), 1);
  EXPECT_EQ(m.hwnd, nullptr);
  EXPECT_EQ(DispatchMessageA(&m), 0);
  EXPECT_EQ(GetMessageA(nullptr, nullptr, 0, 0), -1);
  HWND w = NewWindow(3);
  EXPECT_EQ(GetWindowLongPtrA(w, 0), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
