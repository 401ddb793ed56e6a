// quellin-term as a person uses it: keys typed into a tmux pane, the screen read back.
#include <signal.h>

#include <cctype>
#include <fstream>
#include <random>

#include <gtest/gtest.h>

#include "tests/apps/term_run.h"

namespace quellin::test {
namespace {

// "[hh:mm:ss.mmm] " followed by text, somewhere in screen.
bool HasStampedLine(const std::string& screen, const std::string& text) {
  for (std::size_t at = screen.find("] " + text); at != std::string::npos;
       at = screen.find("] " + text, at + 1)) {
    if (at < 13) continue;
    const std::string stamp = screen.substr(at - 13, 14);  // "[hh:mm:ss.mmm]"
    const std::string shape = "[00:00:00.000]";
    bool ok = true;
    for (std::size_t i = 0; i < shape.size() && ok; ++i)
      ok = shape[i] == '0' ? std::isdigit(static_cast<unsigned char>(stamp[i])) != 0
                           : stamp[i] == shape[i];
    if (ok) return true;
  }
  return false;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

TEST(TermTmux, BuiltInDeviceFromStartToQuit) {
  TmuxSession pane(TermInPane({}));
  ASSERT_TRUE(pane.Ok());
  ASSERT_TRUE(pane.WaitForOutput("Quit: Ctrl-]")) << pane.Output();
  std::string screen = pane.CapturePane();
  EXPECT_NE(screen.find("No port given: using a built-in virtual device"), std::string::npos)
      << screen;
  EXPECT_NE(screen.find("Connected to the built-in virtual device, 115200 8N1"), std::string::npos)
      << screen;

  // The device sends back what is typed; without local echo it appears once.
  pane.Type("hello there");
  ASSERT_TRUE(pane.WaitForOutput("hello there")) << pane.Output();

  // Local echo on: every typed key shows twice, once from here and once from the device.
  pane.SendKeys({"C-t", "e"});
  ASSERT_TRUE(pane.WaitForOutput("local echo on"));
  pane.Type("z");
  ASSERT_TRUE(pane.WaitForOutput("zz")) << pane.Output();

  // Hex view, then timestamps.
  pane.SendKeys({"C-t", "e", "C-t", "x"});
  ASSERT_TRUE(pane.WaitForOutput("hex view on"));
  pane.Type("AZ");
  ASSERT_TRUE(pane.WaitForOutput("41 5a ")) << pane.Output();
  pane.SendKeys({"C-t", "x", "C-t", "t"});
  ASSERT_TRUE(pane.WaitForOutput("timestamps on"));
  pane.Type("line");
  pane.SendKeys({"C-j"});
  ASSERT_TRUE(pane.WaitForOutput("line\r\n"));
  screen = pane.CapturePane();
  EXPECT_TRUE(HasStampedLine(screen, "line")) << screen;

  // A break goes out and comes back from the device's loopback; it is reported with the next
  // bytes read.
  pane.SendKeys({"C-t", "b"});
  ASSERT_TRUE(pane.WaitForOutput("break sent"));
  pane.Type("after break");
  ASSERT_TRUE(pane.WaitForOutput("line error: break received")) << pane.Output();

  pane.SendKeys({"C-]"});
  ASSERT_TRUE(pane.WaitForOutput("[rc=0 tty=same]")) << pane.Output();
}

TEST(TermTmux, PseudoTerminalWithLineSettings) {
  FarEnd device({"upper"});
  TmuxSession pane(TermInPane({device.Port(), "-b", "19200", "--databits", "7", "--parity", "even",
                               "--stopbits", "2", "--flow", "xonxoff"}));
  ASSERT_TRUE(pane.Ok());
  ASSERT_TRUE(pane.WaitForOutput("Quit: Ctrl-]")) << pane.Output();
  EXPECT_NE(pane.CapturePane().find("Connected to " + device.Port() +
                                    ", 19200 7E2, flow control XON/XOFF."),
            std::string::npos)
      << pane.CapturePane();
  // The settings reached the device itself, as another program sees them (a pseudo-terminal
  // keeps no character size or parity, so those two cannot be seen here).
  FILE* p = popen(("stty -F " + device.Port() + " -a").c_str(), "r");
  ASSERT_NE(p, nullptr);
  char buf[4096];
  std::string stty(buf, fread(buf, 1, sizeof buf, p));
  pclose(p);
  for (const char* want : {"speed 19200 baud", " cstopb", " ixon", " ixoff", " -crtscts"})
    EXPECT_NE(stty.find(want), std::string::npos) << want << " in " << stty;

  pane.Type("shout");
  ASSERT_TRUE(pane.WaitForOutput("SHOUT")) << pane.Output();
  pane.SendKeys({"C-]"});
  ASSERT_TRUE(pane.WaitForOutput("[rc=0 tty=same]")) << pane.Output();
}

TEST(TermTmux, TerminalIsRestoredWhenASignalEndsTheSession) {
  TempDir dir;
  // The pane's shell records its pid; quellin-term is its only child.
  const std::string pidFile = dir / "pid";
  TmuxSession wrapped("echo $$ > " + ShellQuote(pidFile) + "; " + TermInPane({}));
  ASSERT_TRUE(wrapped.Ok());
  ASSERT_TRUE(wrapped.WaitForOutput("Quit: Ctrl-]")) << wrapped.Output();
  const int shell = std::stoi(ReadFile(pidFile));
  FILE* p = popen(("pgrep -P " + std::to_string(shell)).c_str(), "r");
  ASSERT_NE(p, nullptr);
  char buf[64] = {};
  const std::size_t n = fread(buf, 1, sizeof buf - 1, p);
  pclose(p);
  ASSERT_GT(n, 0u);
  ASSERT_EQ(kill(std::stoi(buf), SIGTERM), 0);
  ASSERT_TRUE(wrapped.WaitForOutput("[rc=143 tty=same]")) << wrapped.Output();
  EXPECT_NE(wrapped.Output().find("ended by signal 15"), std::string::npos);
}

TEST(TermTmux, OneMebibyteFileWithProgressBarArrivesByteExact) {
  TempDir dir;
  std::string data(1 << 20, '\0');
  std::mt19937 rng(42);
  for (char& c : data) c = static_cast<char>(rng());
  std::ofstream(dir / "payload.bin", std::ios::binary) << data;

  FarEnd device({"sink", std::to_string(data.size()), dir / "received.bin"});
  TmuxSession pane(TermInPane({device.Port()}));
  ASSERT_TRUE(pane.Ok());
  ASSERT_TRUE(pane.WaitForOutput("Quit: Ctrl-]")) << pane.Output();
  pane.SendKeys({"C-t", "s"});
  ASSERT_TRUE(pane.WaitForOutput("file to send"));
  pane.Type(dir / "payload.bin");
  pane.SendKeys({"Enter"});
  ASSERT_TRUE(pane.WaitForOutput("sent 1.0 MiB in", 120s)) << pane.Output();
  // The bar was drawn with all its parts while the file went out.
  const std::string shown = pane.Output();
  // A bar part way: its cells, a percentage, the bytes so far, a rate and the time left.
  bool partWay = false;
  for (std::size_t at = shown.find("\x1b[K["); at != std::string::npos && !partWay;
       at = shown.find("\x1b[K[", at + 1)) {
    const std::string bar = shown.substr(at + 3, shown.find('\r', at + 3) - at - 3);
    partWay = bar.find("#.") != std::string::npos && bar.find("%  ") != std::string::npos &&
              bar.find("/1.0 MiB  ") != std::string::npos &&
              bar.find("B/s  ") != std::string::npos && bar.find(":") != std::string::npos &&
              bar.ends_with(" left");
  }
  EXPECT_TRUE(partWay) << shown.substr(0, 3000);
  EXPECT_NE(shown.find("100%  1.0 MiB/1.0 MiB"), std::string::npos);

  ASSERT_EQ(device.Process().ReadLine(60s), "received 1048576");
  EXPECT_TRUE(ReadFile(dir / "received.bin") == data) << "the received file differs";
  pane.SendKeys({"C-]"});
  ASSERT_TRUE(pane.WaitForOutput("[rc=0 tty=same]")) << pane.Output();
}

}  // namespace
}  // namespace quellin::test
