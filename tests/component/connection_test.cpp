// Opening and closing, and the road from an arriving byte to OnDataAvailable on the thread that
// made the component: on pseudo-terminals, and on scripted devices for the faults a pty cannot
// produce.
#include <malloc.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/component/component_fixture.h"

namespace {

using namespace win32;
using namespace std::chrono_literals;
using quellin::VirtualEnd;
using quellin::VirtualPort;
using quellin::test::CountEntries;
using quellin::test::FinishesWithin;
using quellin::test::kSanitized;
using quellin::test::OpenOn;
using quellin::test::Probe;
using quellin::test::PtyPair;
using quellin::test::PumpMessages;
using quellin::test::PumpUntil;
using quellin::test::TakeNotifications;
using quellin::test::WaitForNotification;
using vcl::AnsiString;

// ---- On pseudo-terminals ------------------------------------------------------------------------

TEST(Connection, ArrivingBytesReachTheHandlerOnTheCreatingThread) {
  PtyPair pty;
  auto q = OpenOn(pty.SlavePath());
  ASSERT_EQ(q->Connected, 1);
  std::string got;
  std::vector<TObject*> senders;
  std::vector<std::thread::id> threads;
  q->OnDataAvailable = [&](TObject* Sender) {
    senders.push_back(Sender);
    threads.push_back(std::this_thread::get_id());
    got += AnsiString(q->Text).str();
  };
  pty.Write("hello, port");
  EXPECT_TRUE(PumpUntil([&] { return got == "hello, port"; })) << got;
  ASSERT_FALSE(senders.empty());
  for (TObject* s : senders) EXPECT_EQ(s, q.get());
  for (auto t : threads) EXPECT_EQ(t, std::this_thread::get_id());
  EXPECT_EQ(q->CloseConnection(), 1);
  EXPECT_EQ(q->Connected, 0);
}

TEST(Connection, WithoutAHandlerTheDataWaitsInTheDriver) {
  PtyPair pty;
  auto q = OpenOn(pty.SlavePath());
  pty.Write("abc");
  const auto posted = WaitForNotification(q->NotifyWindow());
  ASSERT_TRUE(posted) << "no notification";
  EXPECT_EQ(posted->wParam, reinterpret_cast<WPARAM>(q->CommHandle()));
  EXPECT_EQ(posted->lParam, 0);
  vcl::TMessage m{WM_USER, posted->wParam, 0, 0};
  EXPECT_EQ(q->MessageCOMM(m), 1);
  PumpMessages();  // the queued one as well: raises nothing, takes nothing
  EXPECT_EQ(AnsiString(q->Text), "abc");
}

TEST(Connection, OpenCloseOpenRunsANewMonitorEachTime) {
  PtyPair pty;
  Probe q(nullptr);
  q.Port = pty.SlavePath().c_str();
  std::string got;
  q.OnDataAvailable = [&](TObject*) { got += AnsiString(q.Text).str(); };
  vcl::TThreadID last = 0;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ASSERT_NE(q.OpenConnection(), 0);
    ASSERT_NE(q.Monitor(), nullptr);
    const vcl::TThreadID id = q.Monitor()->ThreadID;
    EXPECT_NE(id, last);
    last = id;
    got.clear();
    pty.Write("r" + std::to_string(round));
    EXPECT_TRUE(PumpUntil([&] { return got == "r" + std::to_string(round); })) << got;
    EXPECT_EQ(q.CloseConnection(), 1);
    EXPECT_EQ(q.Monitor(), nullptr);  // ended and freed by the close
  }
}

TEST(Connection, APortHeldByOneComponentCannotBeOpenedByAnother) {
  PtyPair pty;
  auto first = OpenOn(pty.SlavePath());
  Probe second(nullptr);
  second.Port = pty.SlavePath().c_str();
  EXPECT_EQ(second.OpenConnection(), 0);
  EXPECT_EQ(second.Connected, 0);
  // Nothing of the second attempt lingers: a handler-free close is harmless, and once the first
  // lets go the second gets the port.
  EXPECT_EQ(second.CloseConnection(), 1);
  first->CloseConnection();
  EXPECT_NE(second.OpenConnection(), 0);
  second.CloseConnection();
}

TEST(Connection, OpeningWhileOpenIsRefusedAndChangesNothing) {
  PtyPair pty;
  auto q = OpenOn(pty.SlavePath());
  const HANDLE handle = q->CommHandle();
  TCommThread* monitor = q->Monitor();
  EXPECT_EQ(q->OpenConnection(), 0);
  EXPECT_EQ(q->Connected, 1);
  EXPECT_EQ(q->CommHandle(), handle);
  EXPECT_EQ(q->Monitor(), monitor);
  std::string got;
  q->OnDataAvailable = [&](TObject*) { got += AnsiString(q->Text).str(); };
  pty.Write("still here");
  EXPECT_TRUE(PumpUntil([&] { return got == "still here"; })) << got;
}

TEST(Connection, ClosingWhileClosedTouchesNothing) {
  Probe q(nullptr);
  EXPECT_EQ(q.CloseConnection(), 1);
  EXPECT_EQ(q.CloseConnection(), 1);
  EXPECT_EQ(q.Connected, 0);
  q.Port = "/nonexistent/tty";
  EXPECT_EQ(q.OpenConnection(), 0);
  EXPECT_EQ(q.CloseConnection(), 1);
}

TEST(Connection, NamesThatOpenNothing) {
  Probe q(nullptr);
  EXPECT_EQ(q.OpenConnection(), 0);  // empty
  EXPECT_EQ(q.Connected, 0);
  q.Port = "/dev/no-such-serial-port";
  EXPECT_EQ(q.OpenConnection(), 0);
  PtyPair pty;
  const std::string path = pty.SlavePath();
  q.Port = AnsiString((path + std::string(1, '\0') + "x").c_str(), path.size() + 2);
  EXPECT_EQ(q.OpenConnection(), 0);  // a zero byte in the name: not the pty's name
  EXPECT_EQ(q.Connected, 0);
}

TEST(Connection, CloseInsideTheHandlerEndsTheConnection) {
  PtyPair pty;
  auto q = OpenOn(pty.SlavePath());
  int calls = 0;
  int closed = 0;
  q->OnDataAvailable = [&](TObject*) {
    ++calls;
    closed = q->CloseConnection();
  };
  pty.Write("x");
  ASSERT_TRUE(PumpUntil([&] { return calls > 0; }));
  EXPECT_EQ(closed, 1);
  EXPECT_EQ(q->Connected, 0);
  pty.Write("y");
  PumpMessages();
  EXPECT_EQ(calls, 1);
  // And it opens again.
  q->OnDataAvailable = nullptr;
  EXPECT_NE(q->OpenConnection(), 0);
}

TEST(Connection, ANotificationHandledAfterCloseRaisesNothing) {
  PtyPair pty;
  auto q = OpenOn(pty.SlavePath());
  int calls = 0;
  q->OnDataAvailable = [&](TObject*) { ++calls; };
  pty.Write("late");
  ASSERT_TRUE(WaitForNotification(q->NotifyWindow()));
  EXPECT_EQ(q->CloseConnection(), 1);
  PumpMessages();
  vcl::TMessage m{WM_USER, 0, 0, 0};
  EXPECT_EQ(q->MessageCOMM(m), 0);
  EXPECT_EQ(calls, 0);
}

TEST(Connection, OtherMessagesToTheWindowDoNothing) {
  PtyPair pty;
  auto q = OpenOn(pty.SlavePath());
  int calls = 0;
  q->OnDataAvailable = [&](TObject*) { ++calls; };
  for (UINT m : {WM_NULL, WM_USER - 1, WM_USER + 1}) PostMessageA(q->NotifyWindow(), m, 0, 0);
  PumpMessages();
  EXPECT_EQ(calls, 0);
  PostMessageA(q->NotifyWindow(), WM_USER, 0, 0);
  PumpMessages();
  EXPECT_EQ(calls, 1);
}

TEST(Connection, DestroyingAnOpenComponentReleasesThePort) {
  PtyPair pty;
  OpenOn(pty.SlavePath()).reset();  // what exists once per process, exists now
  const int threads = CountEntries("/proc/self/task");
  auto q = OpenOn(pty.SlavePath());
  q.reset();
  EXPECT_EQ(CountEntries("/proc/self/task"), threads);
  auto again = OpenOn(pty.SlavePath());
  EXPECT_EQ(again->Connected, 1);
}

TEST(Connection, ManyOpenCloseCyclesLeaveNothingBehind) {
  // 10,000 cycles natively; the sanitizers make every thread start and stop costly, so fewer
  // there (their own leak and race checks look at each cycle anyway).
  const int cycles = kSanitized ? 300 : 10000;
  PtyPair pty;
  Probe q(nullptr);
  q.Port = pty.SlavePath().c_str();
  // One cycle first, so that everything made once per process (the I/O thread, caches) exists.
  ASSERT_NE(q.OpenConnection(), 0);
  q.CloseConnection();
  const int fds = CountEntries("/proc/self/fd");
  const int threads = CountEntries("/proc/self/task");
  const std::size_t heap = mallinfo2().uordblks;
  for (int i = 0; i < cycles; ++i) {
    ASSERT_NE(q.OpenConnection(), 0) << "cycle " << i << ": " << GetLastError();
    ASSERT_EQ(q.CloseConnection(), 1);
  }
  EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
  EXPECT_EQ(CountEntries("/proc/self/task"), threads);
  if (!kSanitized) {
    // A leak of even a few bytes per cycle would show as tens of kilobytes here.
    EXPECT_LT(mallinfo2().uordblks, heap + 16 * 1024) << "heap grew from " << heap;
  }
}

// ---- On scripted devices ------------------------------------------------------------------------

TEST(ConnectionFaults, RefusedSettingsLeaveTheDeviceFreeAndDtrAlone) {
  VirtualPort device("vq-refuse");
  device.RefuseStates([](const DCB& d) { return d.BaudRate == 12345; });
  Probe q(nullptr);
  q.Port = "vq-refuse";
  q.BaudRate = 12345;
  OpenOn(PtyPair().SlavePath()).reset();  // what exists once per process, exists now
  const int threads = CountEntries("/proc/self/task");
  EXPECT_EQ(q.OpenConnection(), 0);
  EXPECT_EQ(q.Connected, 0);
  EXPECT_FALSE(device.IsOpen());
  EXPECT_EQ(q.Monitor(), nullptr);
  EXPECT_EQ(CountEntries("/proc/self/task"), threads);
  EXPECT_EQ(device.CountChanges(VirtualEnd::Signal::kDtr, true, VirtualEnd::Cause::kEscape), 0u);

  q.BaudRate = 9600;
  EXPECT_NE(q.OpenConnection(), 0);
  EXPECT_EQ(q.Connected, 1);
  q.CloseConnection();
}

TEST(ConnectionFaults, DtrFollowsTheConnectionAndCloseEmptiesTheQueues) {
  VirtualPort device("vq-dtr");
  auto q = OpenOn("vq-dtr");
  EXPECT_TRUE(device.Dtr());
  EXPECT_EQ(device.Escapes(), std::vector<DWORD>{SETDTR});
  EXPECT_EQ(device.Mask(), EV_RXCHAR);
  device.Inject("never read");
  EXPECT_EQ(device.Queued(), 10u);

  EXPECT_EQ(q->CloseConnection(), 1);
  EXPECT_FALSE(device.Dtr());
  EXPECT_EQ(device.Escapes(), (std::vector<DWORD>{SETDTR, CLRDTR}));
  EXPECT_EQ(device.Mask(), 0u);
  ASSERT_FALSE(device.Purges().empty());
  EXPECT_EQ(device.Purges().back(), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  EXPECT_EQ(device.Queued(), 0u);
  EXPECT_FALSE(device.IsOpen());

  // Under DTR handshake the application does not move DTR; the open still succeeds.
  q->DSRFlowCtl = true;
  EXPECT_NE(q->OpenConnection(), 0);
  EXPECT_EQ(q->CloseConnection(), 1);
}

TEST(ConnectionFaults, LongNamesOpenWhole) {
  for (const char* name : {"vq-fifteen-char", "vq-a-virtual-port-with-a-rather-long-name"}) {
    SCOPED_TRACE(name);
    VirtualPort device(name);
    auto q = OpenOn(name);
    EXPECT_TRUE(device.IsOpen());
    q->CloseConnection();
  }
}

TEST(ConnectionFaults, AMonitorThatCannotWatchEndsAndTheDataIsStillReadable) {
  VirtualPort device("vq-mask");
  // The open's own mask succeeds; the monitor's fails.
  device.FailService("SetCommMask", ERROR_GEN_FAILURE, 1);
  auto q = OpenOn("vq-mask");
  TCommThread* monitor = q->Monitor();
  ASSERT_TRUE(FinishesWithin([monitor] { monitor->WaitFor(); })) << "monitor kept running";
  device.Inject("queued");
  EXPECT_EQ(TakeNotifications(q->NotifyWindow()), 0);
  EXPECT_EQ(q->Connected, 1);
  EXPECT_EQ(AnsiString(q->Text), "queued");
  EXPECT_EQ(q->CloseConnection(), 1);
}

TEST(ConnectionFaults, AFailedWaitIsRetriedAndNotificationsGoOn) {
  VirtualPort device("vq-wait");
  auto q = OpenOn("vq-wait");
  std::string got;
  q->OnDataAvailable = [&](TObject*) { got += AnsiString(q->Text).str(); };
  device.FailService("WaitCommEvent", ERROR_GEN_FAILURE);
  device.Inject("a");
  ASSERT_TRUE(PumpUntil([&] { return got == "a"; })) << got;
  device.Inject("b");
  EXPECT_TRUE(PumpUntil([&] { return got == "ab"; })) << got;
}

TEST(ConnectionFaults, AVanishedDeviceEndsTheMonitorAndTransfersFailCleanly) {
  VirtualPort* device = new VirtualPort("vq-gone");
  auto q = OpenOn("vq-gone");
  TCommThread* monitor = q->Monitor();
  device->Vanish();
  ASSERT_TRUE(FinishesWithin([monitor] { monitor->WaitFor(); })) << "monitor kept running";
  EXPECT_EQ(AnsiString(q->Text), "");
  EXPECT_EQ(q->WriteCommByte('x'), 0);
  EXPECT_EQ(q->SetConnection(), 0);
  EXPECT_EQ(q->CloseConnection(), 1);
  EXPECT_EQ(q->Connected, 0);
  delete device;
  EXPECT_EQ(q->OpenConnection(), 0);
}

TEST(ConnectionFaults, NotificationsWaitForTheLastToBeHandled) {
  VirtualPort device("vq-pace");
  auto q = OpenOn("vq-pace");
  std::string got;
  q->OnDataAvailable = [&](TObject*) { got += AnsiString(q->Text).str(); };
  device.Inject("0");
  ASSERT_TRUE(WaitForNotification(q->NotifyWindow()));
  // However much arrives meanwhile, one notification stands until the main thread handles it.
  for (int i = 1; i < 200; ++i) device.Inject("x");
  ASSERT_EQ(TakeNotifications(q->NotifyWindow()), 1);
  vcl::TMessage m{WM_USER, 0, 0, 0};
  EXPECT_EQ(q->MessageCOMM(m), 1);
  EXPECT_EQ(got, "0" + std::string(199, 'x'));
  // The monitor may go on now; what it reports next is the bytes after the read (none).
  EXPECT_TRUE(WaitForNotification(q->NotifyWindow()));
  PumpMessages();
  EXPECT_EQ(got.size(), 200u);
}

}  // namespace
