// quellin-term as a script runs it: pipe mode, exit codes and messages.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "apps/term/exit_codes.h"
#include "platform/win32.h"
#include "tests/apps/term_run.h"

namespace quellin::test {
namespace {

using namespace quellin::term;

// Pipe mode ends once the port has been quiet this long after input ended. Under a sanitizer on a
// busy machine an echo can take well over the program's default, and a short quiet period would
// then cut the output; a long one only makes these tests wait a little longer.
constexpr const char* kQuiet = "2000";

TEST(TermPipe, BuiltInDeviceEchoesAndSaysWhatItIs) {
  std::string input;
  for (int i = 0; i < 256; ++i) input += static_cast<char>(i);  // every byte value, in order
  input += "hello\r\n";
  const RunResult r = RunTerm({"--quiet", kQuiet}, input);
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(r.out, input);
  EXPECT_NE(r.err.find("no port given: using the built-in virtual device"), std::string::npos)
      << r.err;
}

TEST(TermPipe, RealPseudoTerminalBothWays) {
  FarEnd device({"upper"});
  // The far end answers in upper case, so what comes out went through the device.
  const RunResult r = RunTerm({device.Port(), "-b", "9600", "--quiet", kQuiet}, "ping 1\nping 2\n");
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(r.out, "PING 1\nPING 2\n");
  EXPECT_EQ(r.err, "");  // a script's own port: nothing to say
}

TEST(TermPipe, HexViewAndLogInPipeMode) {
  TempDir dir;
  const RunResult r = RunTerm({"--hex", "--log", dir / "log", "--quiet", kQuiet}, "AB\x01\xff");
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(r.out, "41 42 01 ff ");
  std::ifstream log(dir / "log", std::ios::binary);
  std::string logged((std::istreambuf_iterator<char>(log)), {});
  EXPECT_EQ(logged, "AB\x01\xff");  // the log keeps the bytes themselves
}

TEST(TermPipe, SendsAFileBeforeItsInput) {
  TempDir dir;
  std::ofstream(dir / "file") << "from the file|";
  const RunResult r = RunTerm({"--send", dir / "file", "--quiet", kQuiet}, "from stdin");
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(r.out, "from the file|from stdin");
  EXPECT_NE(r.err.find("sent 14 B"), std::string::npos) << r.err;
}

// Every failure: its one line, its exit status.
TEST(TermFailures, OneLineAndADistinctStatus) {
  TempDir dir;
  FarEnd device({"upper"});
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string says;
  };
  const Case cases[] = {
      {{"--bogus"}, kExitUsage, "quellin-term: unknown option '--bogus' (see quellin-term --help)"},
      {{"-b", "fast"}, kExitUsage, "baud rate 'fast' is not a positive number"},
      {{"/dev/quellin-no-such-port"},
       kExitNoSuchPort,
       "quellin-term: /dev/quellin-no-such-port: no such port (see quellin-term --list)"},
      {{"quellin-no-such-port"}, kExitNoSuchPort, "quellin-no-such-port: no such port"},
      {{"/dev/null"}, kExitNotSerial, "quellin-term: /dev/null: not a serial port"},
      {{dir.Path()}, kExitNotSerial, "not a serial port"},
      {{device.Port(), "--databits", "5", "--stopbits", "2"},
       kExitSettings,
       "quellin-term: " + device.Port() +
           ": the device refused the settings 115200 5N2, flow control none"},
      {{device.Port(), "--stopbits", "1.5"}, kExitSettings, "refused the settings 115200 8N1.5"},
      {{"--send", dir / "missing"},
       kExitFile,
       "quellin-term: cannot read '" + (dir / "missing") + "': No such file or directory"},
      {{"--log", dir.Path()}, kExitFile, "cannot open log file"},
  };
  for (const Case& c : cases) {
    const RunResult r = RunTerm(c.args, "");
    EXPECT_EQ(r.status, c.status) << ::testing::PrintToString(c.args) << ": " << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos)
        << ::testing::PrintToString(c.args) << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST(TermFailures, PortBusy) {
  FarEnd device({"upper"});
  // This process holds the port, exactly as another terminal would.
  win32::HANDLE held =
      win32::CreateFileA(device.Port().c_str(), win32::GENERIC_READ | win32::GENERIC_WRITE, 0,
                         nullptr, win32::OPEN_EXISTING, win32::FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(held, win32::INVALID_HANDLE_VALUE);
  const RunResult r = RunTerm({device.Port()}, "");
  EXPECT_EQ(r.status, kExitPortBusy);
  EXPECT_EQ(r.err,
            "quellin-term: " + device.Port() + ": port busy (another program has it open)\n");
  win32::CloseHandle(held);
}

TEST(TermFailures, PermissionDenied) {
  FarEnd device({"upper"});
  ASSERT_EQ(chmod(device.Port().c_str(), 0), 0);
  std::vector<std::string> argv;
  if (geteuid() == 0) {
    // Root opens anything; the check is made as an ordinary user.
    if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is needed when root";
    argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    // The build tree must be reachable for that user too.
    std::vector<std::string> probe = argv;
    probe.insert(probe.end(), {TermPath(), "--help"});
    Child check(probe);
    check.CloseInput();
    if (check.Wait(20s) != 0) GTEST_SKIP() << "the unprivileged user cannot run " << TermPath();
  }
  argv.push_back(TermPath());
  argv.push_back(device.Port());
  Child child(argv);
  child.CloseInput();
  EXPECT_EQ(child.Wait(20s), kExitPermission);
  EXPECT_NE(child.Err().find("quellin-term: " + device.Port() + ": permission denied"),
            std::string::npos)
      << child.Err();
}

TEST(TermCli, HelpVersionAndList) {
  const RunResult help = RunTerm({"--help"}, "");
  EXPECT_EQ(help.status, kExitOk);
  EXPECT_NE(help.out.find("Ctrl-]                  quit"), std::string::npos);
  const RunResult version = RunTerm({"--version"}, "");
  EXPECT_EQ(version.status, kExitOk);
  EXPECT_EQ(version.out.rfind("quellin-term, TQuellin 1.0.", 0), 0u) << version.out;
  // What the machine has is unknown; each line names a device under /dev, or stderr says none.
  const RunResult list = RunTerm({"--list"}, "");
  EXPECT_EQ(list.status, kExitOk);
  if (list.out.empty()) {
    EXPECT_EQ(list.err, "quellin-term: no serial ports found on this machine\n");
  }
  for (std::size_t at = 0; at < list.out.size(); at = list.out.find('\n', at) + 1)
    EXPECT_EQ(list.out.compare(at, 5, "/dev/"), 0) << list.out;
}

}  // namespace
}  // namespace quellin::test
