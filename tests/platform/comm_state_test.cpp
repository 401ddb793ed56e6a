#include <cstring>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/platform/port_fixture.h"

namespace {

using namespace win32;
using quellin::test::PortTest;
using quellin::test::RunCommand;
using quellin::test::SttyWords;

DCB Base(HANDLE port) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  EXPECT_TRUE(GetCommState(port, &dcb));
  return dcb;
}

class CommState : public PortTest {};

TEST_F(CommState, OpenLeavesTheLineRaw) {
  const auto w = SttyWords(pty.SlavePath());
  for (const char* expected : {"-icanon", "-echo", "-isig", "-opost", "-icrnl", "-inlcr", "-igncr",
                               "-ixon", "-iexten", "-istrip", "cs8", "-parenb", "clocal"})
    EXPECT_TRUE(w.count(expected)) << expected;
}

TEST_F(CommState, EverySettingReachesTheTermiosAnotherProgramReads) {
  struct Case {
    DWORD baud;
    BYTE size, parity, stop;
    bool cts, outx, inx, check;
    char xon, xoff;
    std::vector<std::string> expected;
  } cases[] = {
      // A pseudo-terminal keeps no character size or parity bit (it always reports cs8 -parenb);
      // those two are checked through GetCommState below, the rest through stty.
      {9600,
       8,
       NOPARITY,
       ONESTOPBIT,
       false,
       true,
       true,
       true,
       0x11,
       0x13,
       {"speed=9600", "-parodd", "-cmspar", "-cstopb", "-crtscts", "ixon", "ixoff", "inpck",
        "start=^Q", "stop=^S"}},
      {115200,
       7,
       EVENPARITY,
       TWOSTOPBITS,
       true,
       false,
       false,
       false,
       0x01,
       0x02,
       {"speed=115200", "-parodd", "-cmspar", "cstopb", "crtscts", "-ixon", "-ixoff", "-inpck",
        "start=^A", "stop=^B"}},
      {1200,
       6,
       ODDPARITY,
       ONESTOPBIT,
       false,
       true,
       false,
       true,
       0x11,
       0x13,
       {"speed=1200", "parodd", "-cmspar", "-cstopb", "ixon", "-ixoff", "inpck"}},
      {19200,
       5,
       MARKPARITY,
       ONE5STOPBITS,
       false,
       false,
       true,
       false,
       0x11,
       0x13,
       {"speed=19200", "parodd", "cmspar", "cstopb", "-ixon", "ixoff"}},
      {57600,
       8,
       SPACEPARITY,
       ONESTOPBIT,
       false,
       false,
       false,
       false,
       0x11,
       0x13,
       {"speed=57600", "-parodd", "cmspar", "-cstopb"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.baud);
    DCB dcb = Base(port);
    dcb.BaudRate = c.baud;
    dcb.ByteSize = c.size;
    dcb.Parity = c.parity;
    dcb.StopBits = c.stop;
    dcb.fOutxCtsFlow = c.cts;
    dcb.fRtsControl = c.cts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = c.outx;
    dcb.fInX = c.inx;
    dcb.fParity = c.check;
    dcb.XonChar = c.xon;
    dcb.XoffChar = c.xoff;
    ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
    const auto w = SttyWords(pty.SlavePath());
    for (const auto& e : c.expected) EXPECT_TRUE(w.count(e)) << e;
    for (const char* raw : {"-icanon", "-echo", "-opost"}) EXPECT_TRUE(w.count(raw)) << raw;

    DCB back{};
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(back.BaudRate, c.baud);
    EXPECT_EQ(back.ByteSize, c.size);
    EXPECT_EQ(back.Parity, c.parity);
    EXPECT_EQ(back.StopBits, c.stop);
  }
}

TEST_F(CommState, RatesWithoutAConstantGoThroughTermios2) {
  DCB dcb = Base(port);
  dcb.BaudRate = 250000;
  ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
  // stty of this vintage cannot name such a rate; read the kernel's termios2 from another process.
  const std::string probe =
      "/usr/bin/python3 -c \"import fcntl,os,struct,sys\n"
      "fd=os.open(sys.argv[1],os.O_RDONLY|os.O_NOCTTY|os.O_NONBLOCK)\n"
      "b=fcntl.ioctl(fd,0x802C542A,bytes(44))\n"
      "print(struct.unpack('4I',b[:16])[2]&0x100f, struct.unpack('2I',b[36:44])[1])\" " +
      pty.SlavePath();
  EXPECT_EQ(RunCommand(probe), "4096 250000\n");  // BOTHER, and the rate itself
}

TEST_F(CommState, GetReturnsWhatSetStoredEvenWhereTermiosHasNoRoom) {
  DCB dcb = Base(port);
  dcb.fOutxDsrFlow = 1;
  dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  dcb.fDsrSensitivity = 1;
  dcb.fTXContinueOnXoff = 1;
  dcb.fErrorChar = 1;
  dcb.fNull = 1;
  dcb.fAbortOnError = 1;
  dcb.XonLim = 150;
  dcb.XoffLim = 151;
  dcb.ErrorChar = '~';
  dcb.EofChar = 0x1A;
  dcb.EvtChar = '\n';
  ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
  DCB back{};
  ASSERT_TRUE(GetCommState(port, &back));
  EXPECT_EQ(std::memcmp(&back, &dcb, sizeof dcb), 0);
}

TEST_F(CommState, RefusesWhatTheStandardDriverRefusesAndKeepsTheOldState) {
  const DCB good = Base(port);
  struct Case {
    const char* what;
    void (*spoil)(DCB&);
  } cases[] = {
      {"fBinary 0", [](DCB& d) { d.fBinary = 0; }},
      {"4 data bits", [](DCB& d) { d.ByteSize = 4; }},
      {"9 data bits", [](DCB& d) { d.ByteSize = 9; }},
      {"parity 5", [](DCB& d) { d.Parity = 5; }},
      {"stop bits 3", [](DCB& d) { d.StopBits = 3; }},
      {"1.5 stop bits with 8 data bits", [](DCB& d) { d.StopBits = ONE5STOPBITS; }},
      {"2 stop bits with 5 data bits",
       [](DCB& d) {
         d.ByteSize = 5;
         d.StopBits = TWOSTOPBITS;
       }},
      {"XonChar == XoffChar", [](DCB& d) { d.XonChar = d.XoffChar = 0x11; }},
      {"DTR control 3", [](DCB& d) { d.fDtrControl = 3; }},
      {"rate 0", [](DCB& d) { d.BaudRate = 0; }},
      {"XoffLim beyond the input queue", [](DCB& d) { d.XoffLim = 60000; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DCB bad = good;
    c.spoil(bad);
    SetLastError(0);
    EXPECT_FALSE(SetCommState(port, &bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    DCB now{};
    ASSERT_TRUE(GetCommState(port, &now));
    EXPECT_EQ(std::memcmp(&now, &good, sizeof now), 0);
  }
  // Windows does not hold DCBlength against the caller.
  DCB odd = good;
  odd.DCBlength = 0;
  EXPECT_TRUE(SetCommState(port, &odd));
  SetLastError(0);
  EXPECT_FALSE(SetCommState(port, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(GetCommState(port, nullptr));
}

TEST_F(CommState, TimeoutsRoundTripAndTheAllMaxRecordIsRefused) {
  COMMTIMEOUTS t{MAXDWORD, 0, 0, 7, 5000};
  ASSERT_TRUE(SetCommTimeouts(port, &t));
  COMMTIMEOUTS back{};
  ASSERT_TRUE(GetCommTimeouts(port, &back));
  EXPECT_EQ(std::memcmp(&t, &back, sizeof t), 0);
  COMMTIMEOUTS bad{MAXDWORD, MAXDWORD, MAXDWORD, 0, 0};
  SetLastError(0);
  EXPECT_FALSE(SetCommTimeouts(port, &bad));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(GetCommTimeouts(port, &back));
  EXPECT_EQ(std::memcmp(&t, &back, sizeof t), 0);
}

}  // namespace
