#include <thread>

#include <gtest/gtest.h>

#include "tests/platform/port_fixture.h"

namespace {

using namespace win32;
using quellin::test::Overlapped;
using quellin::test::PortTest;

constexpr DWORD kBound = 5000;

class CommEvents : public PortTest {
 protected:
  void SetUp() override {
    PortTest::SetUp();
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  }
  // Issues a wait; true when it completed at once.
  bool Wait(Overlapped& ov, DWORD& mask) {
    mask = 0xDEAD;
    if (WaitCommEvent(port, &mask, &ov)) return true;
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    return false;
  }
  DWORD Finish(Overlapped& ov, DWORD& mask) {
    EXPECT_TRUE(ov.Signalled(kBound)) << "wait never completed";
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(port, &ov, &n, FALSE)) << GetLastError();
    return mask;
  }
  // Reads n bytes, waiting for them (proves they have arrived).
  void Drain(DWORD n) {
    COMMTIMEOUTS t{0, 0, kBound, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    std::string buf(n, '\0');
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(port, buf.data(), n, &got, nullptr));
    ASSERT_EQ(got, n);
  }
};

TEST_F(CommEvents, ReportsArrivalsNotQueuedBytes) {
  Overlapped ov;
  DWORD mask;
  ASSERT_FALSE(Wait(ov, mask));
  pty.Write("x");
  EXPECT_EQ(Finish(ov, mask), EV_RXCHAR);

  // "x" is still queued but already reported: the next wait must not complete for it.
  Overlapped again;
  ASSERT_FALSE(Wait(again, mask));
  EXPECT_FALSE(again.Signalled(150)) << "woke again for bytes already reported";
  pty.Write("y");
  EXPECT_EQ(Finish(again, mask), EV_RXCHAR);

  // Bytes that arrive while no wait is pending are remembered, even once they have been read.
  pty.Write("z");
  Drain(3);
  Overlapped later;
  ASSERT_TRUE(Wait(later, mask));
  EXPECT_EQ(mask, EV_RXCHAR);
  EXPECT_TRUE(later.Signalled());
  // ... and reported once only.
  Overlapped quiet;
  ASSERT_FALSE(Wait(quiet, mask));
  ASSERT_TRUE(CancelIoEx(port, &quiet.ov));
}

TEST_F(CommEvents, MaskChangeReleasesAPendingWaitWithAnEmptyMask) {
  Overlapped ov;
  DWORD mask;
  ASSERT_FALSE(Wait(ov, mask));
  ASSERT_TRUE(SetCommMask(port, 0));
  EXPECT_EQ(Finish(ov, mask), 0u);
  // With the mask at 0 there is nothing to wait for.
  Overlapped none;
  SetLastError(0);
  EXPECT_FALSE(WaitCommEvent(port, &mask, &none));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(CommEvents, HistorySurvivesAMaskThatStillHoldsItsEvent) {
  pty.Write("a");
  Drain(1);
  // Kept: the new mask still has EV_RXCHAR, so the remembered arrival completes the next wait.
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_ERR));
  DWORD got = 0;
  ASSERT_TRUE(GetCommMask(port, &got));
  EXPECT_EQ(got, EV_RXCHAR | EV_ERR);
  Overlapped kept;
  DWORD mask;
  ASSERT_TRUE(Wait(kept, mask));
  EXPECT_EQ(mask, EV_RXCHAR);

  pty.Write("b");
  Drain(1);
  // Dropped: a mask without EV_RXCHAR forgets it.
  ASSERT_TRUE(SetCommMask(port, EV_ERR));
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  Overlapped dropped;
  ASSERT_FALSE(Wait(dropped, mask));
  ASSERT_TRUE(CancelIoEx(port, &dropped.ov));
}

TEST_F(CommEvents, PurgeDoesNotEraseHistory) {
  pty.Write("p");
  Drain(1);
  ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR | PURGE_RXABORT));
  Overlapped ov;
  DWORD mask;
  ASSERT_TRUE(Wait(ov, mask));
  EXPECT_EQ(mask, EV_RXCHAR);
}

TEST_F(CommEvents, RefusesWhatTheDriverRefuses) {
  Overlapped ov;
  DWORD mask;
  ASSERT_FALSE(Wait(ov, mask));
  Overlapped second;
  SetLastError(0);
  EXPECT_FALSE(WaitCommEvent(port, &mask, &second));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  for (DWORD bad : {0x2000u, 0x8000u, 0xFFFFFFFFu}) {
    SetLastError(0);
    EXPECT_FALSE(SetCommMask(port, bad)) << bad;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  SetLastError(0);
  EXPECT_FALSE(WaitCommEvent(port, nullptr, &second));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // The refused calls left the first wait alone.
  EXPECT_FALSE(ov.Signalled());
  pty.Write("!");
  EXPECT_EQ(Finish(ov, mask), EV_RXCHAR);
}

TEST_F(CommEvents, WaitWithoutOverlappedBlocksUntilTheEvent) {
  std::thread far([&] { pty.Write("w"); });
  DWORD mask = 0;
  ASSERT_TRUE(WaitCommEvent(port, &mask, nullptr)) << GetLastError();
  EXPECT_EQ(mask, EV_RXCHAR);
  far.join();
}

}  // namespace
