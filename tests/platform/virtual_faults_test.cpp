// Faults a pty cannot produce, scripted from the far end of a virtual device: line errors, stalled
// and failing writes, refused settings, failing services, and a device that disappears.
#include <chrono>
#include <functional>
#include <memory>

#include <gtest/gtest.h>

#include "tests/platform/virtual_fixture.h"

namespace {

using namespace win32;
using quellin::VirtualPort;
using quellin::test::Handle;
using quellin::test::NextEvents;
using quellin::test::Op;
using quellin::test::QueuedIn;
using quellin::test::ReadExactly;
using quellin::test::StateOf;
using namespace std::chrono_literals;

class VirtualFaults : public ::testing::Test {
 protected:
  VirtualPort far{"vFaulty"};
  Handle port{"vFaulty"};
  void SetUp() override { ASSERT_TRUE(port.Valid()) << port.OpenError(); }
  void Set(const std::function<void(DCB&)>& change) {
    DCB dcb = StateOf(port);
    change(dcb);
    ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
  }
  void SetTimeouts(COMMTIMEOUTS t) { ASSERT_TRUE(SetCommTimeouts(port, &t)); }
};

// One call of each comm service that succeeds on a healthy open device.
struct Service {
  const char* name;
  std::function<bool(HANDLE)> call;
};
const Service kServices[] = {
    {"SetCommMask", [](HANDLE h) { return SetCommMask(h, EV_RXCHAR) != 0; }},
    {"GetCommMask",
     [](HANDLE h) {
       DWORD m;
       return GetCommMask(h, &m) != 0;
     }},
    {"WaitCommEvent",
     [](HANDLE h) {
       Op wait(h);  // goes pending; cancelled when it goes out of scope
       return wait.WaitEvent() || wait.Pending();
     }},
    {"GetCommState",
     [](HANDLE h) {
       DCB d{};
       return GetCommState(h, &d) != 0;
     }},
    {"SetCommState",
     [](HANDLE h) {
       DCB d{};
       return GetCommState(h, &d) && SetCommState(h, &d);
     }},
    {"GetCommTimeouts",
     [](HANDLE h) {
       COMMTIMEOUTS t;
       return GetCommTimeouts(h, &t) != 0;
     }},
    {"SetCommTimeouts",
     [](HANDLE h) {
       COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};
       return SetCommTimeouts(h, &t) != 0;
     }},
    {"SetupComm", [](HANDLE h) { return SetupComm(h, 4096, 4096) != 0; }},
    {"ClearCommError",
     [](HANDLE h) {
       COMSTAT s;
       DWORD e;
       return ClearCommError(h, &e, &s) != 0;
     }},
    {"PurgeComm", [](HANDLE h) { return PurgeComm(h, PURGE_RXCLEAR) != 0; }},
    {"EscapeCommFunction", [](HANDLE h) { return EscapeCommFunction(h, SETDTR) != 0; }},
    {"GetCommModemStatus",
     [](HANDLE h) {
       DWORD s;
       return GetCommModemStatus(h, &s) != 0;
     }},
    {"ReadFile",
     [](HANDLE h) {
       Op read(h);  // the time-outs above make it return at once
       return read.Read(1);
     }},
    {"WriteFile",
     [](HANDLE h) {
       Op write(h);
       return write.Write("w");
     }},
};

TEST_F(VirtualFaults, LineErrorsSurfaceThroughClearCommErrorAndEvents) {
  ASSERT_TRUE(SetCommMask(port, EV_ERR | EV_BREAK));
  struct Case {
    DWORD injected, reported, event;
  };
  const Case cases[] = {
      {CE_FRAME, CE_FRAME, EV_ERR},
      {CE_RXPARITY, CE_RXPARITY, EV_ERR},
      {CE_OVERRUN, CE_OVERRUN, EV_ERR},
      {CE_BREAK, CE_BREAK, EV_BREAK},
      {CE_BREAK | CE_FRAME | CE_RXPARITY, CE_BREAK, EV_BREAK},  // a break is not a framing error
      {CE_OVERRUN | CE_RXPARITY, CE_OVERRUN | CE_RXPARITY, EV_ERR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.injected);
    far.InjectError(c.injected);
    EXPECT_EQ(NextEvents(port), c.event);
    DWORD errors = 0;
    QueuedIn(port, &errors);
    EXPECT_EQ(errors, c.reported);
    QueuedIn(port, &errors);
    EXPECT_EQ(errors, 0u) << "ClearCommError clears what it reported";
  }

  // Bytes beyond the input's room are lost and say so.
  far.Inject(std::string(70000, 'x'));
  DWORD errors = 0;
  EXPECT_EQ(QueuedIn(port, &errors), 65536u);
  EXPECT_EQ(errors, static_cast<DWORD>(CE_RXOVER));
}

TEST_F(VirtualFaults, ErrorCharReplacesAFaultyByte) {
  struct Case {
    bool errorChar;
    DWORD errors;
    char expected;
  };
  const Case cases[] = {
      {true, CE_RXPARITY, '?'}, {true, CE_FRAME, '?'}, {true, CE_OVERRUN, '?'},
      {false, CE_FRAME, 'x'},   {true, CE_BREAK, 'x'},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.errors);
    Set([&](DCB& d) {
      d.fErrorChar = c.errorChar;
      d.ErrorChar = '?';
    });
    far.InjectError(c.errors, 'x');
    EXPECT_EQ(ReadExactly(port, 1), std::string(1, c.expected));
    QueuedIn(port);
  }
}

TEST_F(VirtualFaults, AbortOnErrorRefusesTransfersUntilClearCommError) {
  Set([](DCB& d) { d.fAbortOnError = 1; });
  Op pending(port);
  ASSERT_FALSE(pending.Read(4));
  ASSERT_TRUE(pending.Pending());
  far.InjectError(CE_FRAME);
  EXPECT_FALSE(pending.Finish());
  EXPECT_EQ(pending.error(), ERROR_OPERATION_ABORTED);

  for (int round = 0; round < 2; ++round) {
    // The second round writes before the port's I/O thread can have seen the error.
    if (round == 1) far.InjectError(CE_OVERRUN, 'z');
    Op write(port), read(port);
    EXPECT_FALSE(write.Write("no"));
    EXPECT_EQ(write.error(), ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(read.Read(1));
    EXPECT_EQ(read.error(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(far.Output(), "");
    DWORD errors = 0;
    QueuedIn(port, &errors);
    EXPECT_EQ(errors, round == 0 ? CE_FRAME : CE_OVERRUN);
  }
  Op write(port);
  EXPECT_TRUE(write.Write("ok")) << write.error();
  EXPECT_EQ(far.TakeOutput(), "ok");
  EXPECT_EQ(ReadExactly(port, 1), "z");
}

TEST_F(VirtualFaults, StalledWriteTimesOutByCommTimeouts) {
  far.StallWrites(true);
  SetTimeouts({0, 0, 0, 10, 100});
  Op write(port);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_FALSE(write.Write("abc"));
  ASSERT_TRUE(write.Pending()) << write.error();
  EXPECT_TRUE(write.Finish()) << "a time-out is not a failure";
  EXPECT_GE(std::chrono::steady_clock::now() - start, 130ms);  // 10 ms per byte + 100 ms
  EXPECT_EQ(write.count(), 0u);
  far.StallWrites(false);
  EXPECT_EQ(far.Output(), "");
}

TEST_F(VirtualFaults, StalledWriteIsCancelledAfterABoundedWaitOrGoesOnWhenReleased) {
  far.StallWrites(true);
  Op cancelled(port);
  ASSERT_FALSE(cancelled.Write("gone"));
  ASSERT_TRUE(cancelled.Pending());
  EXPECT_FALSE(cancelled.Done(50)) << "WaitForSingleObject must run out";
  ASSERT_TRUE(cancelled.Cancel());
  EXPECT_FALSE(cancelled.Finish());
  EXPECT_EQ(cancelled.error(), ERROR_OPERATION_ABORTED);

  Op released(port);
  ASSERT_FALSE(released.Write("late"));
  ASSERT_TRUE(released.Pending());
  far.StallWrites(false);
  ASSERT_TRUE(released.Finish()) << released.error();
  EXPECT_EQ(released.count(), 4u);
  EXPECT_EQ(far.TakeOutput(4, 5s), "late") << "the cancelled write sent nothing";
}

TEST_F(VirtualFaults, FailedWritesFailNewAndPendingWrites) {
  far.FailWrites(ERROR_GEN_FAILURE);
  Op failed(port);
  EXPECT_FALSE(failed.Write("x"));
  EXPECT_EQ(failed.error(), ERROR_GEN_FAILURE);

  far.FailWrites(ERROR_SUCCESS);
  far.StallWrites(true);
  Op pending(port);
  ASSERT_FALSE(pending.Write("y"));
  ASSERT_TRUE(pending.Pending());
  far.FailWrites(ERROR_DEVICE_REMOVED);
  EXPECT_FALSE(pending.Finish());
  EXPECT_EQ(pending.error(), ERROR_DEVICE_REMOVED);
  EXPECT_EQ(far.Output(), "");
}

TEST_F(VirtualFaults, RefusedSettingsLeaveThePreviousInForce) {
  far.RefuseStates([](const DCB& d) { return d.BaudRate == 12345 || d.fOutxCtsFlow; });
  struct Case {
    DWORD baud;
    bool cts, accepted;
  };
  const Case cases[] = {
      {19200, false, true}, {12345, false, false}, {38400, true, false}, {57600, false, true}};
  DWORD inForce = StateOf(port).BaudRate;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.baud);
    DCB dcb = StateOf(port);
    dcb.BaudRate = c.baud;
    dcb.fOutxCtsFlow = c.cts;
    SetLastError(0);
    EXPECT_EQ(SetCommState(port, &dcb) != 0, c.accepted);
    if (c.accepted)
      inForce = c.baud;
    else
      EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(StateOf(port).BaudRate, inForce);
    ASSERT_TRUE(far.LastState());
    EXPECT_EQ(far.LastState()->BaudRate, inForce);
  }
}

TEST_F(VirtualFaults, EachServiceFailsOnceWhenTold) {
  SetTimeouts({MAXDWORD, 0, 0, 0, 0});
  for (const Service& s : kServices) {
    SCOPED_TRACE(s.name);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    const unsigned before = far.Calls(s.name);
    far.FailService(s.name, ERROR_BAD_COMMAND);
    SetLastError(0);
    EXPECT_FALSE(s.call(port));
    EXPECT_EQ(GetLastError(), ERROR_BAD_COMMAND);
    EXPECT_TRUE(s.call(port)) << GetLastError();
    EXPECT_GE(far.Calls(s.name), before + 2);
  }

  // Later calls: the third write from now fails, the others go.
  far.TakeOutput();
  far.FailService("WriteFile", ERROR_GEN_FAILURE, 2);
  std::string results;
  for (char c : std::string("abcd")) {
    Op write(port);
    results += write.Write(std::string(1, c)) ? '1' : '0';
  }
  EXPECT_EQ(results, "1101");
  EXPECT_EQ(far.TakeOutput(), "abd");

  port.Close();
  far.FailService("CreateFileA", ERROR_SHARING_VIOLATION);
  Handle refused("vFaulty");
  EXPECT_EQ(refused.OpenError(), ERROR_SHARING_VIOLATION);
  Handle opened("vFaulty");
  EXPECT_TRUE(opened.Valid()) << opened.OpenError();
}

TEST_F(VirtualFaults, AVanishedDeviceEndsPendingOperationsAndFailsEveryService) {
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  far.StallWrites(true);
  Op wait(port), read(port), write(port);
  ASSERT_FALSE(wait.WaitEvent());
  ASSERT_FALSE(read.Read(8));
  ASSERT_FALSE(write.Write("stuck"));
  ASSERT_TRUE(wait.Pending() && read.Pending() && write.Pending());

  far.Vanish();
  for (Op* op : {&wait, &read, &write}) {
    EXPECT_FALSE(op->Finish());
    EXPECT_EQ(op->error(), ERROR_DEVICE_REMOVED);
  }
  for (const Service& s : kServices) {
    SCOPED_TRACE(s.name);
    SetLastError(0);
    EXPECT_FALSE(s.call(port));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);
  }
  EXPECT_FALSE(far.Dtr());
  Handle again("vFaulty");
  EXPECT_EQ(again.OpenError(), ERROR_FILE_NOT_FOUND);
  port.Close();
}

TEST(VirtualOwner, DestroyingTheDeviceUnplugsIt) {
  auto far = std::make_unique<VirtualPort>("vShortLived");
  Handle port("vShortLived");
  ASSERT_TRUE(port.Valid()) << port.OpenError();
  Op wait(port);
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  ASSERT_FALSE(wait.WaitEvent());
  far.reset();
  EXPECT_FALSE(wait.Finish());
  EXPECT_EQ(wait.error(), ERROR_DEVICE_REMOVED);
  DCB dcb{};
  EXPECT_FALSE(GetCommState(port, &dcb));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);
}

}  // namespace
