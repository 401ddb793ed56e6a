#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "tests/platform/port_fixture.h"
#include "tests/support/wait.h"

namespace {

using namespace win32;
using quellin::test::Overlapped;
using quellin::test::PortTest;

constexpr DWORD kBound = 5000;  // ms: how long a test waits for something that must happen

class OverlappedIo : public PortTest {
 protected:
  // Blocks (in the kernel, not by polling) until n bytes sit in the input queue.
  void WaitQueued(DWORD n) {
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    for (;;) {
      DWORD errors = 0;
      COMSTAT st{};
      ASSERT_TRUE(ClearCommError(port, &errors, &st));
      if (st.cbInQue >= n) return;
      Overlapped w;
      DWORD mask = 0, got = 0;
      if (!WaitCommEvent(port, &mask, &w)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_TRUE(w.Signalled(kBound)) << "bytes never arrived";
        ASSERT_TRUE(GetOverlappedResult(port, &w, &got, FALSE));
      }
    }
  }
  // Issues a read that must go pending.
  void StartPendingRead(Overlapped& ov, char* buf, DWORD n) {
    DWORD got = 77;
    ASSERT_FALSE(ReadFile(port, buf, n, &got, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov.ov));
  }
  // A write that cannot finish: output is held as if XOFF had arrived.
  void StartPendingWrite(Overlapped& ov, const char* buf, DWORD n) {
    ASSERT_TRUE(EscapeCommFunction(port, SETXOFF));
    DWORD put = 0;
    ASSERT_FALSE(WriteFile(port, buf, n, &put, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  }
  void ExpectAborted(Overlapped& ov) {
    ASSERT_TRUE(ov.Signalled(kBound));
    DWORD n = 0;
    SetLastError(0);
    EXPECT_FALSE(GetOverlappedResult(port, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  }
};

TEST_F(OverlappedIo, WhatCanFinishAtOnceFinishesAtOnce) {
  SetTimeouts(MAXDWORD, 0, 0);
  pty.Write("hello");
  WaitQueued(5);
  Overlapped ov;
  char buf[16] = {};
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(port, buf, sizeof buf, &got, &ov)) << GetLastError();
  EXPECT_EQ(std::string(buf, got), "hello");
  EXPECT_TRUE(ov.Signalled());
  EXPECT_EQ(ov.ov.Internal, 0u);
  EXPECT_EQ(ov.ov.InternalHigh, 5u);

  DWORD put = 0;
  ASSERT_TRUE(WriteFile(port, "world", 5, &put, &ov)) << GetLastError();
  EXPECT_EQ(put, 5u);
  EXPECT_TRUE(ov.Signalled());
  EXPECT_EQ(pty.ReadExactly(5, std::chrono::milliseconds(kBound)), "world");

  // Zero-length transfers complete at once with nothing moved.
  for (bool write : {false, true}) {
    got = 9;
    EXPECT_TRUE(write ? WriteFile(port, buf, 0, &got, &ov) : ReadFile(port, buf, 0, &got, &ov));
    EXPECT_EQ(got, 0u);
  }
}

TEST_F(OverlappedIo, PendingReadIsCompletedByTheIoThreadWhenBytesArrive) {
  SetTimeouts(0, 0, 0);  // no time-outs: wait for all four bytes
  Overlapped ov;
  char buf[4] = {};
  StartPendingRead(ov, buf, 4);
  DWORD got = 0;
  SetLastError(0);
  EXPECT_FALSE(GetOverlappedResult(port, &ov, &got, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
  pty.Write("ab");
  EXPECT_FALSE(ov.Signalled(100)) << "completed with half the bytes";
  pty.Write("cd");
  ASSERT_TRUE(ov.Signalled(kBound));
  ASSERT_TRUE(GetOverlappedResult(port, &ov, &got, FALSE));
  EXPECT_EQ(std::string(buf, got), "abcd");
}

TEST_F(OverlappedIo, GetOverlappedResultWaitsForTheCompletion) {
  SetTimeouts(0, 0, 0);
  Overlapped ov;
  char buf[3] = {};
  StartPendingRead(ov, buf, 3);
  std::thread far([&] { pty.Write("xyz"); });
  DWORD got = 0;
  EXPECT_TRUE(GetOverlappedResult(port, &ov, &got, TRUE));
  EXPECT_EQ(std::string(buf, got), "xyz");
  far.join();
}

// Each row: time-outs, what the far end sends before and after the read is issued, and what the
// read must end with. Time-outs complete successfully with the bytes that came.
TEST_F(OverlappedIo, ReadTimeoutsFollowWindowsRules) {
  struct Case {
    const char* what;
    COMMTIMEOUTS t;
    std::string before, after;
    bool pendsFirst;
    std::string result;
  } cases[] = {
      {"MAXDWORD interval, zero totals: whatever is queued, even nothing",
       {MAXDWORD, 0, 0, 0, 0},
       "",
       "",
       false,
       ""},
      {"MAXDWORD interval, zero totals: takes what is queued",
       {MAXDWORD, 0, 0, 0, 0},
       "abc",
       "",
       false,
       "abc"},
      {"MAXDWORD/MAXDWORD/constant: first bytes end the read",
       {MAXDWORD, MAXDWORD, 3000, 0, 0},
       "",
       "k",
       true,
       "k"},
      {"MAXDWORD/MAXDWORD/constant: nothing comes, times out empty",
       {MAXDWORD, MAXDWORD, 50, 0, 0},
       "",
       "",
       true,
       ""},
      {"MAXDWORD interval, totals: queued bytes return at once",
       {MAXDWORD, 10, 3000, 0, 0},
       "qq",
       "",
       false,
       "qq"},
      {"total time-out returns the short count", {0, 0, 300, 0, 0}, "", "abc", true, "abc"},
      {"interval starts with the first byte", {60, 0, 0, 0, 0}, "", "ab", true, "ab"},
      {"multiplier counts per byte requested", {0, 10, 20, 0, 0}, "", "", true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
    COMMTIMEOUTS t = c.t;
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    if (!c.before.empty()) {
      pty.Write(c.before);
      WaitQueued(static_cast<DWORD>(c.before.size()));
    }
    Overlapped ov;
    char buf[10] = {};
    DWORD got = 0;
    BOOL done = ReadFile(port, buf, sizeof buf, &got, &ov);
    EXPECT_EQ(done == FALSE, c.pendsFirst);
    if (!done) {
      ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
      if (!c.after.empty()) pty.Write(c.after);
      ASSERT_TRUE(ov.Signalled(kBound));
      ASSERT_TRUE(GetOverlappedResult(port, &ov, &got, FALSE)) << GetLastError();
    }
    EXPECT_EQ(std::string(buf, got), c.result);
  }
}

TEST_F(OverlappedIo, IntervalTimeoutDoesNotRunBeforeTheFirstByte) {
  SetTimeouts(30, 0, 0);
  Overlapped ov;
  char buf[8] = {};
  StartPendingRead(ov, buf, sizeof buf);
  EXPECT_FALSE(ov.Signalled(200)) << "interval timer ran without any byte";
  pty.Write("z");
  ASSERT_TRUE(ov.Signalled(kBound));
  DWORD got = 0;
  ASSERT_TRUE(GetOverlappedResult(port, &ov, &got, FALSE));
  EXPECT_EQ(std::string(buf, got), "z");
}

TEST_F(OverlappedIo, WriteHeldByFlowControlTimesOutWithItsShortCount) {
  SetTimeouts(0, 0, 0, 0, 60);
  Overlapped ov;
  StartPendingWrite(ov, "abc", 3);
  ASSERT_TRUE(ov.Signalled(kBound));
  DWORD put = 99;
  EXPECT_TRUE(GetOverlappedResult(port, &ov, &put, FALSE));
  EXPECT_EQ(put, 0u);
  EXPECT_TRUE(EscapeCommFunction(port, SETXON));
}

TEST_F(OverlappedIo, WriteWithoutTimeoutsWaitsForOutputToResume) {
  SetTimeouts(0, 0, 0, 0, 0);
  Overlapped ov;
  StartPendingWrite(ov, "abc", 3);
  EXPECT_FALSE(ov.Signalled(100));
  ASSERT_TRUE(EscapeCommFunction(port, SETXON));
  ASSERT_TRUE(ov.Signalled(kBound));
  DWORD put = 0;
  EXPECT_TRUE(GetOverlappedResult(port, &ov, &put, FALSE));
  EXPECT_EQ(put, 3u);
  EXPECT_EQ(pty.ReadExactly(3, std::chrono::milliseconds(kBound)), "abc");
}

TEST_F(OverlappedIo, CancelCompletesWithAbortedAndOnlyOnce) {
  SetTimeouts(0, 0, 0);
  Overlapped ov;
  char buf[4];
  StartPendingRead(ov, buf, 4);
  EXPECT_TRUE(CancelIoEx(port, &ov));
  ExpectAborted(ov);
  SetLastError(0);
  EXPECT_FALSE(CancelIoEx(port, &ov));
  EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
  // Nothing of the cancelled read lingers: the next bytes go to the next read.
  SetTimeouts(MAXDWORD, MAXDWORD, 3000);
  pty.Write("n");
  Overlapped next;
  DWORD got = 0;
  if (!ReadFile(port, buf, 4, &got, &next)) {
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(GetOverlappedResult(port, &next, &got, TRUE));
  }
  EXPECT_EQ(std::string(buf, got), "n");
}

TEST_F(OverlappedIo, ClosingTheDeviceAbortsEverythingPending) {
  SetTimeouts(0, 0, 0);
  Overlapped read, write, wait;
  char buf[4];
  StartPendingRead(read, buf, 4);
  StartPendingWrite(write, "abc", 3);
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  DWORD mask = 0;
  ASSERT_FALSE(WaitCommEvent(port, &mask, &wait));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);

  ASSERT_TRUE(CloseHandle(port));
  HANDLE closed = port;
  port = INVALID_HANDLE_VALUE;
  for (Overlapped* ov : {std::addressof(read), std::addressof(write), std::addressof(wait)}) {
    ASSERT_TRUE(ov->Signalled(kBound));
    DWORD n = 0;
    SetLastError(0);
    EXPECT_FALSE(GetOverlappedResult(closed, &ov->ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  }
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(closed));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(OverlappedIo, PurgeAbortsAndClears) {
  for (DWORD bad : {0u, 0x10u, 0xFFFFu, PURGE_RXCLEAR | 0x100u}) {
    SetLastError(0);
    EXPECT_FALSE(PurgeComm(port, bad)) << bad;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  SetTimeouts(0, 0, 0);
  Overlapped read, write;
  char buf[4];
  StartPendingRead(read, buf, 4);
  StartPendingWrite(write, "abc", 3);
  ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT));
  ExpectAborted(read);
  EXPECT_FALSE(write.Signalled());
  ASSERT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR));
  ExpectAborted(write);
  ASSERT_TRUE(EscapeCommFunction(port, SETXON));

  pty.Write("stale");
  WaitQueued(5);
  ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
  DWORD errors = 0;
  COMSTAT st{};
  ASSERT_TRUE(ClearCommError(port, &errors, &st));
  EXPECT_EQ(st.cbInQue, 0u);
}

TEST_F(OverlappedIo, CallsWithoutOverlappedWaitForTheResult) {
  SetTimeouts(0, 0, 0);
  quellin::test::Latch started;
  std::thread far([&] {
    ASSERT_TRUE(started.Wait());
    pty.Write("sync");
  });
  started.Set();
  char buf[4] = {};
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(port, buf, 4, &got, nullptr)) << GetLastError();
  EXPECT_EQ(std::string(buf, got), "sync");
  far.join();
  DWORD put = 0;
  ASSERT_TRUE(WriteFile(port, "back", 4, &put, nullptr));
  EXPECT_EQ(put, 4u);
  EXPECT_EQ(pty.ReadExactly(4, std::chrono::milliseconds(kBound)), "back");
}

TEST_F(OverlappedIo, HandleOpenedWithoutOverlappedFlagIsSynchronous) {
  CloseHandle(port);
  port = quellin::test::OpenPort(pty.SlavePath(), false);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  SetTimeouts(0, 0, 0);
  std::thread far([&] { pty.Write("ok"); });
  Overlapped ov;
  char buf[2] = {};
  DWORD got = 0;
  EXPECT_TRUE(ReadFile(port, buf, 2, &got, &ov)) << GetLastError();
  EXPECT_EQ(std::string(buf, got), "ok");
  far.join();
}

TEST_F(OverlappedIo, BadArgumentsFailCleanly) {
  char buf[4];
  DWORD n = 0;
  Overlapped ov;
  struct Case {
    const char* what;
    std::function<BOOL()> call;
    DWORD error;
  } cases[] = {
      {"read into null", [&] { return ReadFile(port, nullptr, 4, &n, &ov); }, ERROR_NOACCESS},
      {"write from null", [&] { return WriteFile(port, nullptr, 4, &n, &ov); }, ERROR_NOACCESS},
      {"no count, no overlapped", [&] { return ReadFile(port, buf, 4, nullptr, nullptr); },
       ERROR_INVALID_PARAMETER},
      {"result of null record", [&] { return GetOverlappedResult(port, nullptr, &n, FALSE); },
       ERROR_INVALID_PARAMETER},
      {"escape code 7", [&] { return EscapeCommFunction(port, 7); }, ERROR_INVALID_PARAMETER},
      {"escape code 0", [&] { return EscapeCommFunction(port, 0); }, ERROR_INVALID_PARAMETER},
      {"null modem status", [&] { return GetCommModemStatus(port, nullptr); },
       ERROR_INVALID_PARAMETER},
      {"null timeouts", [&] { return GetCommTimeouts(port, nullptr); }, ERROR_INVALID_PARAMETER},
      {"cancel with nothing pending", [&] { return CancelIoEx(port, nullptr); }, ERROR_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_FALSE(c.call()) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
  }
  // Windows allows ClearCommError without either output.
  EXPECT_TRUE(ClearCommError(port, nullptr, nullptr));
}

TEST_F(OverlappedIo, EscapesRespectHandshakeOwnership) {
  for (DWORD code : {SETDTR, CLRDTR, SETRTS, CLRRTS, SETBREAK, CLRBREAK, SETXOFF, SETXON})
    EXPECT_TRUE(EscapeCommFunction(port, code)) << code << " " << GetLastError();
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port, &dcb));
  dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  dcb.fRtsControl = RTS_CONTROL_TOGGLE;
  ASSERT_TRUE(SetCommState(port, &dcb));
  for (DWORD code : {SETDTR, CLRDTR, SETRTS, CLRRTS}) {
    SetLastError(0);
    EXPECT_FALSE(EscapeCommFunction(port, code)) << code;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  ASSERT_TRUE(SetCommState(port, &dcb));
  EXPECT_FALSE(EscapeCommFunction(port, SETRTS));
  EXPECT_TRUE(EscapeCommFunction(port, SETBREAK));
  EXPECT_TRUE(EscapeCommFunction(port, CLRBREAK));
  DWORD status = 0xFFFF;
  EXPECT_TRUE(GetCommModemStatus(port, &status));
  EXPECT_EQ(status, 0u);  // a pseudo-terminal has no modem lines
  EXPECT_TRUE(SetupComm(port, 8192, 8192));
  EXPECT_TRUE(SetupComm(port, 0, 0));
}

}  // namespace
