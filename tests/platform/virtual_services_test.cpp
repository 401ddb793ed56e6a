// Every comm service on a virtual device behaves as on a tty, and the far end sees what the
// program asked for.
#include <cstring>
#include <optional>
#include <stdexcept>

#include <gtest/gtest.h>

#include "tests/platform/virtual_fixture.h"

namespace {

using namespace win32;
using quellin::VirtualEnd;
using quellin::VirtualPort;
using quellin::test::Handle;
using quellin::test::NextEvents;
using quellin::test::Op;
using quellin::test::QueuedIn;
using quellin::test::ReadExactly;
using quellin::test::StateOf;
using namespace std::chrono_literals;

class VirtualServices : public ::testing::Test {
 protected:
  VirtualPort far{"vPort"};
  Handle port{"vPort"};
  void SetUp() override { ASSERT_TRUE(port.Valid()) << port.OpenError(); }
};

TEST(VirtualOpen, NamesOpenExclusivelyAndOnlyWhileRegistered) {
  {
    VirtualPort far("vExclusive");
    EXPECT_THROW(VirtualPort("vExclusive"), std::invalid_argument);
    EXPECT_THROW(quellin::VirtualNullModem("vOther", "vExclusive"), std::invalid_argument);
    Handle first("vExclusive");
    ASSERT_TRUE(first.Valid()) << first.OpenError();
    EXPECT_TRUE(far.IsOpen());
    Handle second("vExclusive");
    EXPECT_FALSE(second.Valid());
    EXPECT_EQ(second.OpenError(), ERROR_ACCESS_DENIED);
    first.Close();
    EXPECT_FALSE(far.IsOpen());
    Handle again("vExclusive");
    EXPECT_TRUE(again.Valid()) << again.OpenError();
    // The refused null modem released the name it had taken.
    Handle other("vOther");
    EXPECT_EQ(other.OpenError(), ERROR_FILE_NOT_FOUND);
  }
  Handle gone("vExclusive");
  EXPECT_FALSE(gone.Valid());
  EXPECT_EQ(gone.OpenError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(VirtualServices, StateRoundTripsWithEveryMemberAndReachesTheDevice) {
  DCB dcb = StateOf(port);
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.ByteSize, 8);
  dcb.BaudRate = 31250;  // no standard rate: a virtual line takes any
  dcb.ByteSize = 7;
  dcb.Parity = MARKPARITY;
  dcb.StopBits = TWOSTOPBITS;
  dcb.fParity = 1;
  dcb.fOutX = 1;
  dcb.fInX = 1;
  dcb.fOutxDsrFlow = 1;
  dcb.fDsrSensitivity = 1;
  dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  dcb.fErrorChar = 1;
  dcb.ErrorChar = '?';
  dcb.fNull = 1;
  dcb.fAbortOnError = 1;
  dcb.XonLim = 100;
  dcb.XoffLim = 200;
  dcb.XonChar = 'q';
  dcb.XoffChar = 's';
  dcb.EofChar = 0x1A;
  dcb.EvtChar = '\n';
  ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
  const DCB got = StateOf(port);
  EXPECT_EQ(std::memcmp(&got, &dcb, sizeof dcb), 0);
  const std::optional<DCB> applied = far.LastState();
  ASSERT_TRUE(applied);
  EXPECT_EQ(std::memcmp(&*applied, &dcb, sizeof dcb), 0);

  // The line settings stay with the device, as a tty's termios do; the rest was the handle's.
  port.Close();
  Handle again("vPort");
  const DCB reopened = StateOf(again);
  EXPECT_EQ(reopened.BaudRate, 31250u);
  EXPECT_EQ(reopened.ByteSize, 7);
  EXPECT_EQ(reopened.Parity, MARKPARITY);
  EXPECT_EQ(reopened.fOutX, 1u);
  EXPECT_EQ(reopened.XonChar, 'q');
  EXPECT_EQ(reopened.fErrorChar, 0u);
  EXPECT_EQ(reopened.fDtrControl, DTR_CONTROL_ENABLE);
}

TEST_F(VirtualServices, SettingsOfTheCommonLayerReachTheFarEnd) {
  COMMTIMEOUTS t{MAXDWORD, 2, 300, 4, 500};
  ASSERT_TRUE(SetCommTimeouts(port, &t));
  COMMTIMEOUTS back{};
  ASSERT_TRUE(GetCommTimeouts(port, &back));
  EXPECT_EQ(std::memcmp(&back, &t, sizeof t), 0);
  const std::optional<COMMTIMEOUTS> seen = far.LastTimeouts();
  ASSERT_TRUE(seen);
  EXPECT_EQ(std::memcmp(&*seen, &t, sizeof t), 0);

  ASSERT_TRUE(SetupComm(port, 8192, 1024));
  ASSERT_TRUE(far.LastQueueSizes());
  EXPECT_EQ(far.LastQueueSizes()->in, 8192u);
  EXPECT_EQ(far.LastQueueSizes()->out, 1024u);

  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_CTS));
  EXPECT_EQ(far.Mask(), EV_RXCHAR | EV_CTS);

  ASSERT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_RXCLEAR));
  ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT));
  EXPECT_EQ(far.Purges(), (std::vector<DWORD>{PURGE_TXABORT | PURGE_RXCLEAR, PURGE_RXABORT}));
  EXPECT_EQ(far.Calls("PurgeComm"), 2u);
}

TEST_F(VirtualServices, ReadPendsUntilBytesArriveAndWritesReachTheFarEnd) {
  Op read(port);
  ASSERT_FALSE(read.Read(5));
  ASSERT_TRUE(read.Pending()) << read.error();
  far.Inject("hel");
  QueuedIn(port);  // the port has seen the bytes (ClearCommError serves pending reads first)
  EXPECT_FALSE(read.Done()) << "completed with 3 of 5 bytes";
  far.Inject("lo!");
  ASSERT_TRUE(read.Finish()) << read.error();
  EXPECT_EQ(read.buffer, "hello");
  EXPECT_EQ(QueuedIn(port), 1u);

  Op write(port);
  ASSERT_TRUE(write.Write(std::string("A\0B", 3))) << write.error();
  EXPECT_EQ(write.count(), 3u);
  EXPECT_EQ(far.TakeOutput(3, 5s), std::string("A\0B", 3));
}

TEST_F(VirtualServices, WaitCommEventReportsArrivalsAsEdges) {
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_TXEMPTY));
  Op wait(port);
  ASSERT_FALSE(wait.WaitEvent());
  ASSERT_TRUE(wait.Pending());
  far.Inject("x");
  ASSERT_TRUE(wait.Finish());
  EXPECT_EQ(wait.mask, EV_RXCHAR);

  // The byte still queued was reported: the next wait sleeps until something new happens.
  Op quiet(port);
  ASSERT_FALSE(quiet.WaitEvent());
  ASSERT_TRUE(quiet.Pending());
  QueuedIn(port);
  EXPECT_FALSE(quiet.Done());
  Op write(port);
  ASSERT_TRUE(write.Write("out"));
  ASSERT_TRUE(quiet.Finish());
  EXPECT_EQ(quiet.mask, EV_TXEMPTY);
  EXPECT_EQ(QueuedIn(port), 1u);
}

TEST_F(VirtualServices, BytesQueuedBeforeReceiveEventsAreAskedForAreReportedOnce) {
  // A reply that came in before the program asked for receive events has never been reported;
  // the first wait must see it, or a quiet device would leave it unnoticed for good.
  far.Inject("early");
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  Op first(port);
  ASSERT_TRUE(first.WaitEvent()) << "queued bytes were not reported";
  EXPECT_EQ(first.mask, EV_RXCHAR);
  // Asking again for what is already asked for reports nothing twice.
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  Op second(port);
  ASSERT_FALSE(second.WaitEvent());
  EXPECT_TRUE(second.Pending());
}

TEST_F(VirtualServices, ReadTimeoutsHoldAsOnATty) {
  struct Case {
    COMMTIMEOUTS t;
    std::string queued;
    DWORD ask;
    std::string expected;
    bool pends;
  };
  const Case cases[] = {
      {{MAXDWORD, 0, 0, 0, 0}, "", 4, "", false},         // return at once, even empty
      {{MAXDWORD, 0, 0, 0, 0}, "ab", 4, "ab", false},     // whatever is queued
      {{MAXDWORD, MAXDWORD, 30, 0, 0}, "", 4, "", true},  // first byte or the constant
      {{0, 0, 30, 0, 0}, "abc", 4, "abc", true},          // total time-out, short count
      {{0, 0, 0, 0, 0}, "abcd", 4, "abcd", false},        // all there: done at once
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.queued + " ask " + std::to_string(c.ask));
    ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
    COMMTIMEOUTS t = c.t;
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    far.Inject(c.queued);
    Op read(port);
    const bool now = read.Read(c.ask);
    EXPECT_EQ(!now, c.pends) << read.error();
    if (!now) {
      ASSERT_TRUE(read.Finish()) << read.error();
    }
    EXPECT_EQ(read.buffer, c.expected);
  }
}

TEST_F(VirtualServices, PurgeClearsInputAndAbortsPendingReads) {
  far.Inject("stale");
  EXPECT_EQ(QueuedIn(port), 5u);
  ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
  EXPECT_EQ(QueuedIn(port), 0u);
  EXPECT_EQ(far.Queued(), 0u);

  Op read(port);
  ASSERT_FALSE(read.Read(1));
  ASSERT_TRUE(read.Pending());
  ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT));
  EXPECT_FALSE(read.Finish());
  EXPECT_EQ(read.error(), ERROR_OPERATION_ABORTED);
}

TEST_F(VirtualServices, EscapesDriveTheLinesTheFarEndSees) {
  // Opening raised DTR and RTS, as a tty's open does.
  EXPECT_TRUE(far.Dtr());
  EXPECT_TRUE(far.Rts());
  struct Case {
    DWORD function;
    bool dtr, rts, brk;
  };
  const Case cases[] = {
      {CLRDTR, false, true, false},  {CLRRTS, false, false, false},  {SETDTR, true, false, false},
      {SETBREAK, true, false, true}, {CLRBREAK, true, false, false}, {SETRTS, true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    ASSERT_TRUE(EscapeCommFunction(port, c.function)) << GetLastError();
    EXPECT_EQ(far.Dtr(), c.dtr);
    EXPECT_EQ(far.Rts(), c.rts);
    EXPECT_EQ(far.Break(), c.brk);
  }
  EXPECT_EQ(far.CountChanges(VirtualEnd::Signal::kDtr, true, VirtualEnd::Cause::kEscape), 1u);
  EXPECT_EQ(far.CountChanges(VirtualEnd::Signal::kDtr, true, VirtualEnd::Cause::kOpen), 1u);
  EXPECT_EQ(far.Escapes().size(), std::size(cases));

  // SetCommState drives what its control modes own; closing drops everything.
  DCB dcb = StateOf(port);
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  ASSERT_TRUE(SetCommState(port, &dcb));
  EXPECT_FALSE(far.Dtr());
  port.Close();
  EXPECT_FALSE(far.Rts());
  EXPECT_EQ(far.LineHistory().back().cause, VirtualEnd::Cause::kClose);
}

TEST_F(VirtualServices, FarEndModemLinesRaiseEventsAndModemStatus) {
  DWORD status = 0;
  ASSERT_TRUE(GetCommModemStatus(port, &status));
  EXPECT_EQ(status, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
  ASSERT_TRUE(SetCommMask(port, EV_CTS | EV_DSR | EV_RLSD | EV_RING));
  struct Case {
    void (VirtualEnd::*set)(bool);
    bool on;
    DWORD event, status;
  };
  const Case cases[] = {
      {&VirtualEnd::SetCts, false, EV_CTS, MS_DSR_ON | MS_RLSD_ON},
      {&VirtualEnd::SetDsr, false, EV_DSR, MS_RLSD_ON},
      {&VirtualEnd::SetRlsd, false, EV_RLSD, 0},
      {&VirtualEnd::SetRing, true, EV_RING, MS_RING_ON},
      {&VirtualEnd::SetCts, true, EV_CTS, MS_RING_ON | MS_CTS_ON},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.event);
    (far.*c.set)(c.on);
    EXPECT_EQ(NextEvents(port), c.event);
    ASSERT_TRUE(GetCommModemStatus(port, &status));
    EXPECT_EQ(status, c.status);
  }
}

}  // namespace
