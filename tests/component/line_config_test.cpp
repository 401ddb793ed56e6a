// Line settings and time-outs as the device receives them: member by member on a scripted virtual
// device, and as another program (stty) reads them back from a pseudo-terminal.
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/component/component_fixture.h"

namespace {

using namespace win32;
using quellin::VirtualPort;
using quellin::test::kBuild;
using quellin::test::OpenOn;
using quellin::test::Probe;
using quellin::test::SttyWords;

bool SameDcb(const DCB& a, const DCB& b) {
  return std::memcmp(&a, &b, sizeof(DCB)) == 0;
}

std::string Describe(const DCB& d) {
  std::ostringstream o;
  o << "baud " << d.BaudRate << " bin " << d.fBinary << " par " << d.fParity << " cts "
    << d.fOutxCtsFlow << " dsr " << d.fOutxDsrFlow << " dtr " << d.fDtrControl << " dsrs "
    << d.fDsrSensitivity << " txc " << d.fTXContinueOnXoff << " outx " << d.fOutX << " inx "
    << d.fInX << " errc " << d.fErrorChar << " null " << d.fNull << " rts " << d.fRtsControl
    << " abort " << d.fAbortOnError << " xonlim " << d.XonLim << " xofflim " << d.XoffLim
    << " size " << int(d.ByteSize) << " parity " << int(d.Parity) << " stop " << int(d.StopBits)
    << " xon " << int(d.XonChar) << " xoff " << int(d.XoffChar) << " err " << int(d.ErrorChar)
    << " eof " << int(d.EofChar) << " evt " << int(d.EvtChar);
  return o.str();
}

class LineConfig : public ::testing::Test {
 protected:
  void SetUp() override {
    q = OpenOn(device.Name());
    ASSERT_TRUE(q->Connected);
    ASSERT_TRUE(device.LastState());
  }
  void TearDown() override {
    if (q) q->CloseConnection();
  }
  DCB Applied() { return device.LastState().value_or(DCB{}); }

  VirtualPort device{"vq-line"};
  std::unique_ptr<Probe> q;
};

TEST_F(LineConfig, StartValuesReachTheDevice) {
  const DCB d = Applied();
  EXPECT_EQ(d.DCBlength, 28u);
  EXPECT_EQ(d.BaudRate, 9600u);
  EXPECT_EQ(d.ByteSize, 8);
  EXPECT_EQ(d.Parity, NOPARITY);
  EXPECT_EQ(d.StopBits, ONESTOPBIT);
  EXPECT_EQ(d.fBinary, 1u);
  EXPECT_EQ(d.fParity, 1u);
  EXPECT_EQ(d.fOutxCtsFlow, 0u);
  EXPECT_EQ(d.fOutxDsrFlow, 0u);
  EXPECT_EQ(d.fDtrControl, DTR_CONTROL_ENABLE);
  EXPECT_EQ(d.fRtsControl, RTS_CONTROL_ENABLE);
  EXPECT_EQ(d.fDsrSensitivity, 0u);
  EXPECT_EQ(d.fTXContinueOnXoff, 0u);
  EXPECT_EQ(d.fOutX, 1u);
  EXPECT_EQ(d.fInX, 1u);
  EXPECT_EQ(d.fErrorChar, 0u);
  EXPECT_EQ(d.fNull, 0u);
  EXPECT_EQ(d.fAbortOnError, 1u);
  EXPECT_EQ(d.XonLim, 150);
  EXPECT_EQ(d.XoffLim, 150);
  EXPECT_EQ(d.XonChar, 17);
  EXPECT_EQ(d.XoffChar, 19);
  EXPECT_EQ(d.ErrorChar, 126);

  const COMMTIMEOUTS t = device.LastTimeouts().value_or(COMMTIMEOUTS{});
  EXPECT_EQ(std::memcmp(&t, &kBuild.startTimeouts, sizeof t), 0)
      << t.ReadIntervalTimeout << " " << t.ReadTotalTimeoutMultiplier << " "
      << t.ReadTotalTimeoutConstant << " " << t.WriteTotalTimeoutMultiplier << " "
      << t.WriteTotalTimeoutConstant;
  ASSERT_TRUE(device.LastQueueSizes());
  EXPECT_EQ(device.LastQueueSizes()->in, 8192u);
  EXPECT_EQ(device.LastQueueSizes()->out, 8192u);
}

TEST_F(LineConfig, EachSettingLandsInItsMemberAndNothingElseMoves) {
  struct Case {
    const char* what;
    std::function<void(TQuellin&)> set;
    std::function<void(DCB&)> expect;
  } cases[] = {
      {"CTS flow", [](TQuellin& q) { q.CTSFlowCtl = true; },
       [](DCB& d) {
         d.fOutxCtsFlow = 1;
         d.fRtsControl = RTS_CONTROL_HANDSHAKE;
       }},
      {"DSR flow", [](TQuellin& q) { q.DSRFlowCtl = true; },
       [](DCB& d) {
         d.fOutxDsrFlow = 1;
         d.fDtrControl = DTR_CONTROL_HANDSHAKE;
       }},
      {"CTS and DSR flow",
       [](TQuellin& q) {
         q.CTSFlowCtl = true;
         q.DSRFlowCtl = true;
       },
       [](DCB& d) {
         d.fOutxCtsFlow = d.fOutxDsrFlow = 1;
         d.fRtsControl = RTS_CONTROL_HANDSHAKE;
         d.fDtrControl = DTR_CONTROL_HANDSHAKE;
       }},
      {"5 data bits, 1.5 stop bits",
       [](TQuellin& q) {
         q.DataBits = databits5;
         q.StopBits = stop1x5;
       },
       [](DCB& d) {
         d.ByteSize = 5;
         d.StopBits = ONE5STOPBITS;
       }},
      {"7 data bits, even parity, 2 stop bits",
       [](TQuellin& q) {
         q.DataBits = databits7;
         q.Parity = even_parity;
         q.StopBits = stop2;
       },
       [](DCB& d) {
         d.ByteSize = 7;
         d.Parity = EVENPARITY;
         d.StopBits = TWOSTOPBITS;
       }},
      {"limits above 16 bits",
       [](TQuellin& q) {
         q.XOnLimit = 0x10000 + 100;
         q.XOffLimit = 0x30000 + 200;
       },
       [](DCB& d) {
         d.XonLim = 100;
         d.XoffLim = 200;
       }},
      {"parity errors replaced by '?'",
       [](TQuellin& q) {
         q.ErrorReplace = true;
         q.ErrorChar = 63;
       },
       [](DCB& d) {
         d.fErrorChar = 1;
         d.ErrorChar = 63;
       }},
      {"replacement character without replacing", [](TQuellin& q) { q.ErrorChar = 63; },
       [](DCB& d) { d.ErrorChar = 63; }},
      {"the other flags, turned over",
       [](TQuellin& q) {
         q.BaudRate = 115200;
         q.EnableParity = false;
         q.DSRSensitive = true;
         q.TXResume = true;
         q.XOuputFlowCtl = false;
         q.XInputFlowCtl = false;
         q.DiscardNULL = true;
         q.AbortOnError = false;
         q.XOnChar = 1;
         q.XOffChar = 2;
       },
       [](DCB& d) {
         d.BaudRate = 115200;
         d.fParity = 0;
         d.fDsrSensitivity = 1;
         d.fTXContinueOnXoff = 1;
         d.fOutX = d.fInX = 0;
         d.fNull = 1;
         d.fAbortOnError = 0;
         d.XonChar = 1;
         d.XoffChar = 2;
       }},
  };
  const DCB start = Applied();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto fresh = std::make_unique<TQuellin>(nullptr);
    c.set(*fresh);
    // The settings of a fresh component with one change, applied to the open device.
    for (const vcl::TPropInfo& p : vcl::GetPropList(vcl::classid<TQuellin>())) {
      if (p.PropType->IsOrdinal() && !p.ReadOnly)
        vcl::SetOrdProp(q.get(), &p, p.GetOrd(fresh.get()));
    }
    DCB expected = start;
    c.expect(expected);
    EXPECT_NE(q->SetConnection(), 0) << GetLastError();
    EXPECT_TRUE(SameDcb(Applied(), expected))
        << "got      " << Describe(Applied()) << "\nexpected " << Describe(expected);
  }
}

TEST_F(LineConfig, SoftwareFlowControlSwitchesOnTheDeviceOnly) {
  const DCB start = Applied();
  EXPECT_NE(q->SetFlowCtl(0), 0);
  DCB off = start;
  off.fOutX = off.fInX = 0;
  EXPECT_TRUE(SameDcb(Applied(), off)) << Describe(Applied());
  EXPECT_TRUE(q->XOuputFlowCtl);
  EXPECT_TRUE(q->XInputFlowCtl);

  EXPECT_NE(q->SetConnection(), 0);
  EXPECT_TRUE(SameDcb(Applied(), start)) << Describe(Applied());

  q->SetFlowCtl(0);
  EXPECT_NE(q->SetFlowCtl(1), 0);
  EXPECT_TRUE(SameDcb(Applied(), start));
  EXPECT_NE(q->SetFlowCtl(2), 0);  // only bit 0 counts
  EXPECT_TRUE(SameDcb(Applied(), off));
}

TEST_F(LineConfig, MembersTheComponentDoesNotOwnSurvive) {
  DCB d{};
  d.DCBlength = sizeof d;
  ASSERT_TRUE(GetCommState(q->CommHandle(), &d));
  d.EofChar = 0x1A;
  d.EvtChar = '\n';
  ASSERT_TRUE(SetCommState(q->CommHandle(), &d));
  q->BaudRate = 19200;
  EXPECT_NE(q->SetConnection(), 0);
  EXPECT_EQ(Applied().EofChar, 0x1A);
  EXPECT_EQ(Applied().EvtChar, '\n');
  EXPECT_EQ(Applied().BaudRate, 19200u);
  EXPECT_NE(q->SetFlowCtl(0), 0);
  EXPECT_EQ(Applied().EofChar, 0x1A);
  EXPECT_EQ(Applied().EvtChar, '\n');
}

TEST_F(LineConfig, RefusedSettingsAreKeptAndReportedAsFailure) {
  device.RefuseStates([](const DCB& d) { return d.BaudRate == 12345; });
  q->BaudRate = 12345;
  EXPECT_EQ(q->SetConnection(), 0);
  EXPECT_EQ(static_cast<DWORD>(q->BaudRate), 12345u);
  EXPECT_EQ(Applied().BaudRate, 9600u);
}

TEST_F(LineConfig, NothingIsAppliedWhenTheCurrentStateCannotBeRead) {
  const unsigned sets = device.Calls("SetCommState");
  device.FailService("GetCommState", ERROR_GEN_FAILURE);
  EXPECT_EQ(q->SetConnection(), 0);
  device.FailService("GetCommState", ERROR_GEN_FAILURE);
  EXPECT_EQ(q->SetFlowCtl(0), 0);
  EXPECT_EQ(device.Calls("SetCommState"), sets);
}

TEST_F(LineConfig, TimeoutsGoBothWaysWithAllTheirBits) {
  COMMTIMEOUTS t{MAXDWORD, 2, 3, 4, 0x80000000u};
  ASSERT_TRUE(SetCommTimeouts(q->CommHandle(), &t));
  EXPECT_NE(q->GetTimeouts(), 0);
  EXPECT_EQ(static_cast<DWORD>(q->TimeoutReadInterval), MAXDWORD);
  EXPECT_EQ(vcl::GetOrdProp(q.get(), "TimeoutReadInterval"), QUELLIN_VCL == 5 ? -1 : 0xFFFFFFFFll);
  EXPECT_EQ(static_cast<DWORD>(q->TimeoutReadMultiplier), 2u);
  EXPECT_EQ(static_cast<DWORD>(q->TimeoutReadConstant), 3u);
  EXPECT_EQ(static_cast<DWORD>(q->TimeoutWriteMultiplier), 4u);
  EXPECT_EQ(static_cast<DWORD>(q->TimeoutWriteConstant), 0x80000000u);

  q->TimeoutReadInterval = 10;
  q->TimeoutReadMultiplier = 20;
  q->TimeoutReadConstant = 30;
  q->TimeoutWriteMultiplier = 40;
  q->TimeoutWriteConstant = 50;
  EXPECT_NE(q->SetTimeouts(), 0);
  const COMMTIMEOUTS back = device.LastTimeouts().value_or(COMMTIMEOUTS{});
  EXPECT_EQ(back.ReadIntervalTimeout, 10u);
  EXPECT_EQ(back.ReadTotalTimeoutMultiplier, 20u);
  EXPECT_EQ(back.ReadTotalTimeoutConstant, 30u);
  EXPECT_EQ(back.WriteTotalTimeoutMultiplier, 40u);
  EXPECT_EQ(back.WriteTotalTimeoutConstant, 50u);
}

TEST_F(LineConfig, FailedTimeoutReadKeepsTheSettings) {
  device.FailService("GetCommTimeouts", ERROR_GEN_FAILURE);
  EXPECT_EQ(q->GetTimeouts(), 0);
  const auto* t = kBuild.timeouts;
  EXPECT_EQ(vcl::GetOrdProp(q.get(), "TimeoutReadInterval"), t[0]);
  EXPECT_EQ(vcl::GetOrdProp(q.get(), "TimeoutReadMultiplier"), t[1]);
  EXPECT_EQ(vcl::GetOrdProp(q.get(), "TimeoutReadConstant"), t[2]);
  EXPECT_EQ(vcl::GetOrdProp(q.get(), "TimeoutWriteMultiplier"), t[3]);
  EXPECT_EQ(vcl::GetOrdProp(q.get(), "TimeoutWriteConstant"), t[4]);
}

TEST_F(LineConfig, PurgeAndEscapePassTheirArgumentsAndResults) {
  EXPECT_NE(q->PurgeCommPort(PURGE_RXCLEAR), 0);
  ASSERT_FALSE(device.Purges().empty());
  EXPECT_EQ(device.Purges().back(), 8u);
  device.FailService("PurgeComm", ERROR_GEN_FAILURE);
  EXPECT_EQ(q->PurgeCommPort(PURGE_TXCLEAR), 0);

  EXPECT_NE(q->EscapeComm(CLRDTR), 0);
  EXPECT_FALSE(device.Dtr());
  EXPECT_NE(q->EscapeComm(SETDTR), 0);
  EXPECT_TRUE(device.Dtr());
  EXPECT_NE(q->EscapeComm(SETBREAK), 0);
  EXPECT_TRUE(device.Break());
  EXPECT_NE(q->EscapeComm(CLRBREAK), 0);
  EXPECT_EQ(device.Escapes().back(), CLRBREAK);
  // DTR under handshake control is not the application's to move.
  q->DSRFlowCtl = true;
  ASSERT_NE(q->SetConnection(), 0);
  EXPECT_EQ(q->EscapeComm(CLRDTR), 0);
}

TEST(LineConfigClosed, NeverOpenedComponentDoesNothingAndChangesNothing) {
  Probe q(nullptr);
  std::vector<std::int64_t> before;
  const auto& props = vcl::GetPropList(vcl::classid<TQuellin>());
  for (const auto& p : props)
    if (p.PropType->IsOrdinal()) before.push_back(vcl::GetOrdProp(&q, &p));
  EXPECT_EQ(q.SetConnection(), 0);
  EXPECT_EQ(q.SetFlowCtl(1), 0);
  EXPECT_EQ(q.GetTimeouts(), 0);
  EXPECT_EQ(q.SetTimeouts(), 0);
  EXPECT_EQ(q.PurgeCommPort(PURGE_RXCLEAR), 0);
  EXPECT_EQ(q.EscapeComm(SETDTR), 0);
  std::vector<std::int64_t> after;
  for (const auto& p : props)
    if (p.PropType->IsOrdinal()) after.push_back(vcl::GetOrdProp(&q, &p));
  EXPECT_EQ(before, after);
}

// ---- The same settings as another program reads them off a pseudo-terminal ---------------------

TEST(LineConfigPty, SttySeesWhatTheComponentApplied) {
  // A pseudo-terminal keeps no character size or parity; the rest it reports.
  struct Case {
    const char* what;
    std::function<void(TQuellin&)> set;
    std::vector<std::string> expected;
  } cases[] = {
      {"start values",
       [](TQuellin&) {},
       {"speed=9600", "-cstopb", "-crtscts", "ixon", "ixoff", "inpck", "start=^Q", "stop=^S"}},
      {"changed",
       [](TQuellin& q) {
         q.BaudRate = 57600;
         q.StopBits = stop2;
         q.CTSFlowCtl = true;
         q.XOuputFlowCtl = false;
         q.XInputFlowCtl = false;
         q.EnableParity = false;
         q.XOnChar = 1;
         q.XOffChar = 2;
       },
       {"speed=57600", "cstopb", "crtscts", "-ixon", "-ixoff", "-inpck", "start=^A", "stop=^B"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    quellin::test::PtyPair pty;
    TQuellin q(nullptr);
    q.Port = pty.SlavePath().c_str();
    c.set(q);
    ASSERT_NE(q.OpenConnection(), 0) << GetLastError();
    const auto words = SttyWords(pty.SlavePath());
    for (const auto& e : c.expected) EXPECT_TRUE(words.count(e)) << e;
    for (const char* raw : {"-icanon", "-echo", "-opost", "-isig"})
      EXPECT_TRUE(words.count(raw)) << raw;

    // Switching software flow control reaches the terminal too.
    const bool on = q.XInputFlowCtl;
    EXPECT_NE(q.SetFlowCtl(on ? 0 : 1), 0);
    const auto flipped = SttyWords(pty.SlavePath());
    EXPECT_TRUE(flipped.count(on ? "-ixon" : "ixon"));
    EXPECT_TRUE(flipped.count(on ? "-ixoff" : "ixoff"));
    q.CloseConnection();
  }
}

}  // namespace
