// Two virtual ends joined by a null-modem cable, and a loopback plug: bytes, modem lines, break
// and flow control cross as on real hardware.
#include <string>

#include <gtest/gtest.h>

#include "tests/platform/virtual_fixture.h"

namespace {

using namespace win32;
using quellin::VirtualEnd;
using quellin::VirtualLoopback;
using quellin::VirtualNullModem;
using quellin::test::Handle;
using quellin::test::NextEvents;
using quellin::test::Op;
using quellin::test::QueuedIn;
using quellin::test::ReadExactly;
using quellin::test::StateOf;

class VirtualCable : public ::testing::Test {
 protected:
  VirtualNullModem cable{"vA", "vB"};
  Handle a{"vA"}, b{"vB"};
  void SetUp() override {
    ASSERT_TRUE(a.Valid()) << a.OpenError();
    ASSERT_TRUE(b.Valid()) << b.OpenError();
  }
  static void Set(HANDLE h, void (*change)(DCB&)) {
    DCB dcb = StateOf(h);
    change(dcb);
    ASSERT_TRUE(SetCommState(h, &dcb)) << GetLastError();
  }
  static void Write(HANDLE h, const std::string& bytes) {
    Op write(h);
    ASSERT_TRUE(write.Write(bytes)) << write.error();
  }
};

TEST_F(VirtualCable, WhatOneEndWritesTheOtherReads) {
  Write(a, "ping");
  EXPECT_EQ(ReadExactly(b, 4), "ping");
  Write(b, std::string("po\0ng", 5));
  EXPECT_EQ(ReadExactly(a, 5), std::string("po\0ng", 5));
  EXPECT_EQ(cable.A().Output(), "") << "a cabled end keeps nothing for the far end";
}

TEST_F(VirtualCable, DtrCrossesToDsrAndDcdAndRtsToCts) {
  DWORD status = 0;
  ASSERT_TRUE(GetCommModemStatus(b, &status));
  EXPECT_EQ(status, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON) << "opening a raised DTR and RTS";
  ASSERT_TRUE(SetCommMask(b, EV_CTS | EV_DSR | EV_RLSD));
  struct Case {
    DWORD function, events, status;
  };
  const Case cases[] = {
      {CLRDTR, EV_DSR | EV_RLSD, MS_CTS_ON},
      {CLRRTS, EV_CTS, 0},
      {SETRTS, EV_CTS, MS_CTS_ON},
      {SETDTR, EV_DSR | EV_RLSD, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    ASSERT_TRUE(EscapeCommFunction(a, c.function));
    EXPECT_EQ(NextEvents(b), c.events);
    ASSERT_TRUE(GetCommModemStatus(b, &status));
    EXPECT_EQ(status, c.status);
  }
  a.Close();
  EXPECT_EQ(NextEvents(b), EV_CTS | EV_DSR | EV_RLSD) << "closing drops the lines";
  ASSERT_TRUE(GetCommModemStatus(b, &status));
  EXPECT_EQ(status, 0u);
}

TEST_F(VirtualCable, BreakArrivesAsALineCondition) {
  ASSERT_TRUE(SetCommMask(b, EV_BREAK | EV_ERR));
  ASSERT_TRUE(EscapeCommFunction(a, SETBREAK));
  EXPECT_TRUE(cable.A().Break());
  EXPECT_EQ(NextEvents(b), EV_BREAK);
  DWORD errors = 0;
  QueuedIn(b, &errors);
  EXPECT_EQ(errors, static_cast<DWORD>(CE_BREAK));
  ASSERT_TRUE(EscapeCommFunction(a, CLRBREAK));
  EXPECT_FALSE(cable.A().Break());
}

TEST_F(VirtualCable, XoffFromThePeerHoldsAnEndWithOutX) {
  Set(b, [](DCB& d) { d.fOutX = 1; });
  Write(a, "\x13");  // XOFF
  Op held(b);
  ASSERT_FALSE(held.Write("wait"));
  ASSERT_TRUE(held.Pending());
  COMSTAT st{};
  DWORD errors;
  ASSERT_TRUE(ClearCommError(b, &errors, &st));
  EXPECT_TRUE(st.fXoffHold);
  EXPECT_EQ(QueuedIn(a), 0u);
  Write(a, "\x11");  // XON
  ASSERT_TRUE(held.Finish()) << held.error();
  EXPECT_EQ(ReadExactly(a, 4), "wait");
  EXPECT_EQ(QueuedIn(b), 0u) << "XON and XOFF are not data for an end with fOutX";
}

TEST_F(VirtualCable, AFullEndWithInXSendsXoffAndXonWhenDrained) {
  Set(a, [](DCB& d) { d.fInX = 1; });
  Set(b, [](DCB& d) { d.fOutX = 1; });
  std::string bytes(80000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + i % 26);
  Op write(b);
  ASSERT_FALSE(write.Write(bytes));
  ASSERT_TRUE(write.Pending());
  COMSTAT st{};
  DWORD errors;
  ASSERT_TRUE(ClearCommError(a, &errors, &st));
  EXPECT_TRUE(st.fXoffSent);
  EXPECT_EQ(st.cbInQue, 65536u - 512u) << "XOFF goes out when XoffLim bytes of room are left";
  ASSERT_TRUE(ClearCommError(b, &errors, &st));
  EXPECT_TRUE(st.fXoffHold);
  EXPECT_EQ(ReadExactly(a, 80000), bytes);
  ASSERT_TRUE(write.Finish());
  EXPECT_EQ(write.count(), 80000u);
}

TEST_F(VirtualCable, CtsFlowHoldsWritesWhileThePeerKeepsRtsLow) {
  Set(a, [](DCB& d) { d.fOutxCtsFlow = 1; });
  ASSERT_TRUE(EscapeCommFunction(b, CLRRTS));
  Op held(a);
  ASSERT_FALSE(held.Write("cts"));
  ASSERT_TRUE(held.Pending());
  COMSTAT st{};
  DWORD errors;
  ASSERT_TRUE(ClearCommError(a, &errors, &st));
  EXPECT_TRUE(st.fCtsHold);
  ASSERT_TRUE(EscapeCommFunction(b, SETRTS));
  ASSERT_TRUE(held.Finish());
  EXPECT_EQ(ReadExactly(b, 3), "cts");
}

TEST_F(VirtualCable, RtsHandshakeStopsThePeerWhenTheInputFills) {
  Set(a, [](DCB& d) { d.fOutxCtsFlow = 1; });
  Set(b, [](DCB& d) { d.fRtsControl = RTS_CONTROL_HANDSHAKE; });
  SetLastError(0);
  EXPECT_FALSE(EscapeCommFunction(b, CLRRTS)) << "the handshake owns RTS";
  const std::string bytes(70000, 'r');
  Op write(a);
  ASSERT_FALSE(write.Write(bytes));
  ASSERT_TRUE(write.Pending());
  EXPECT_FALSE(cable.B().Rts());
  EXPECT_EQ(QueuedIn(b), 65536u - 512u);
  EXPECT_EQ(ReadExactly(b, 70000), bytes);
  ASSERT_TRUE(write.Finish());
  EXPECT_TRUE(cable.B().Rts());
  EXPECT_GE(cable.B().CountChanges(VirtualEnd::Signal::kRts, false, VirtualEnd::Cause::kFlow), 1u);
}

TEST_F(VirtualCable, AMebibyteOfEveryByteValueCrossesInOrder) {
  std::string bytes(1 << 20, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
  Op write(a);
  const bool done = write.Write(bytes);
  ASSERT_TRUE(done || write.Pending()) << write.error();
  EXPECT_TRUE(ReadExactly(b, static_cast<DWORD>(bytes.size())) == bytes);
  if (!done) {
    ASSERT_TRUE(write.Finish()) << write.error();
  }
  EXPECT_EQ(write.count(), bytes.size());
}

TEST(VirtualLoopbackPlug, WritesAndLinesComeBackToTheSameEnd) {
  VirtualLoopback plug("vLoop");
  Handle port("vLoop");
  ASSERT_TRUE(port.Valid()) << port.OpenError();
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_CTS));
  Op write(port);
  ASSERT_TRUE(write.Write("echo"));
  EXPECT_EQ(NextEvents(port) & EV_RXCHAR, static_cast<DWORD>(EV_RXCHAR));
  EXPECT_EQ(ReadExactly(port, 4), "echo");
  ASSERT_TRUE(EscapeCommFunction(port, CLRRTS));
  EXPECT_EQ(NextEvents(port), static_cast<DWORD>(EV_CTS));
  DWORD status = 0;
  ASSERT_TRUE(GetCommModemStatus(port, &status));
  EXPECT_EQ(status, MS_DSR_ON | MS_RLSD_ON);
}

}  // namespace
