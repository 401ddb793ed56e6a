// A whole session in-process against virtual devices, for what a pseudo-terminal cannot do:
// line errors reported through OnErrorOccurred, settings a device refuses, a device in use.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

#include "apps/term/exit_codes.h"
#include "apps/term/session.h"
#include "platform/virtual.h"
#include "platform/win32.h"

namespace quellin::term {
namespace {

using namespace std::chrono_literals;

struct Pipe {
  int r = -1, w = -1;
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) r = fds[0], w = fds[1];
  }
  ~Pipe() {
    CloseRead();
    CloseWrite();
  }
  void CloseRead() {
    if (r >= 0) close(r);
    r = -1;
  }
  void CloseWrite() {
    if (w >= 0) close(w);
    w = -1;
  }
};

// Reads fd until its text contains needle or the bound runs out.
bool ReadUntil(int fd, std::string& text, const std::string& needle,
               std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (text.find(needle) == std::string::npos) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    text.append(buf, static_cast<std::size_t>(n));
  }
  return true;
}

std::string Drain(int fd) {
  fcntl(fd, F_SETFL, O_NONBLOCK);
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
  return text;
}

struct Outcome {
  int rc;
  std::string out, err;
};

// A pipe-mode session on port; far plays the device from another thread once the port is open,
// and input ends once the output contains untilOut.
Outcome RunSession(Options o, VirtualEnd far, std::function<void()> play,
                   const std::string& untilOut) {
  Pipe in, out, err;
  SessionIo io;
  io.in = in.r;
  io.out = out.w;
  io.err = err.w;
  io.interactive = false;
  o.quietMs = 0;
  std::string seen;
  std::thread device([&] {
    if (far.WaitOpen(true, 10s) && play) {
      play();
      ReadUntil(out.r, seen, untilOut, 10s);
    }
    in.CloseWrite();
  });
  int rc;
  {
    Session session(o, io);
    rc = session.Run();
  }
  device.join();
  out.CloseWrite();
  err.CloseWrite();
  return {rc, seen + Drain(out.r), Drain(err.r)};
}

TEST(TermSession, LineErrorsAreShownAsReportedAndDataStillArrives) {
  struct Case {
    win32::DWORD error;
    const char* shown;
  };
  const Case cases[] = {
      {win32::CE_FRAME, "line error: framing error"},
      {win32::CE_RXPARITY, "line error: parity error"},
      {win32::CE_OVERRUN, "line error: overrun"},
      {win32::CE_BREAK, "line error: break received"},
  };
  int n = 0;
  for (const Case& c : cases) {
    VirtualPort device("term-errors-" + std::to_string(n++));
    Options o;
    o.port = device.Name();
    Outcome r = RunSession(
        o, device,
        [&] {
          device.InjectError(c.error);
          device.Inject("after");
        },
        "after");
    EXPECT_EQ(r.rc, kExitOk);
    EXPECT_EQ(r.out, "after");
    EXPECT_NE(r.err.find(c.shown), std::string::npos) << r.err;
  }
}

TEST(TermSession, FailuresOnVirtualDevices) {
  {
    VirtualPort device("term-refuses");
    device.RefuseStates([](const win32::DCB& dcb) { return dcb.BaudRate == 300; });
    Options o;
    o.port = device.Name();
    o.baud = 300;
    o.parity = ParityOpt::kEven;
    o.dataBits = 7;
    Pipe in, out, err;
    in.CloseWrite();
    Session s(o, {in.r, out.w, err.w, -1, false, 80});
    EXPECT_EQ(s.Run(), kExitSettings);
    err.CloseWrite();
    EXPECT_EQ(Drain(err.r),
              "quellin-term: term-refuses: the device refused the settings 300 7E1, flow control "
              "none\n");
  }
  {
    VirtualPort device("term-busy");
    win32::HANDLE other =
        win32::CreateFileA("term-busy", win32::GENERIC_READ | win32::GENERIC_WRITE, 0, nullptr,
                           win32::OPEN_EXISTING, win32::FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(other, win32::INVALID_HANDLE_VALUE);
    Options o;
    o.port = device.Name();
    Pipe in, out, err;
    in.CloseWrite();
    Session s(o, {in.r, out.w, err.w, -1, false, 80});
    EXPECT_EQ(s.Run(), kExitPortBusy);
    err.CloseWrite();
    EXPECT_EQ(Drain(err.r), "quellin-term: term-busy: port busy (another program has it open)\n");
    win32::CloseHandle(other);
  }
}

TEST(TermSession, FileSendStopsWhenTheDeviceTakesNothing) {
  VirtualPort device("term-stalled");
  device.StallWrites(true);
  char path[] = "/tmp/quellin-term-send-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "0123456789", 10), 10);
  close(fd);
  Options o;
  o.port = device.Name();
  o.sendPath = path;
  // One refused byte ends the send, after one bounded wait rather than one per byte.
  const auto start = std::chrono::steady_clock::now();
  Outcome r = RunSession(o, device, nullptr, "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
  unlink(path);
  EXPECT_EQ(r.rc, kExitFailure);
  EXPECT_NE(r.err.find("10 bytes not sent: the device did not take them in time"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("stopped, the device took no more (0 B of 10 B sent)"), std::string::npos)
      << r.err;
}

TEST(TermSession, DeviceThatGoesAwayEndsTheSession) {
  VirtualPort device("term-vanish");
  Pipe in, out, err;
  Options o;
  o.port = device.Name();
  std::thread unplug([&] {
    if (device.WaitOpen(true, 10s)) device.Vanish();
    const char more[] = "x";
    // What is typed next finds the device gone.
    if (write(in.w, more, 1) != 1) ADD_FAILURE() << "cannot write the input";
    in.CloseWrite();  // a session that missed the loss ends here, with 0
  });
  Session s(o, {in.r, out.w, err.w, -1, false, 80});
  EXPECT_EQ(s.Run(), kExitDeviceLost);
  unplug.join();
  err.CloseWrite();
  EXPECT_NE(Drain(err.r).find("the device is gone"), std::string::npos);
}

}  // namespace
}  // namespace quellin::term
