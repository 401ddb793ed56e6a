#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "tests/platform/port_fixture.h"

namespace {

using namespace win32;
using quellin::test::OpenPort;
using quellin::test::PtyPair;
using quellin::test::RunCommand;

TEST(CreateFile, RefusesNamesItCannotOpenWithWindowsErrors) {
  const std::string dir = ::testing::TempDir();
  struct Case {
    const char* name;
    DWORD error;
  } cases[] = {
      {"", ERROR_PATH_NOT_FOUND},
      {"/dev/no-such-serial-port", ERROR_FILE_NOT_FOUND},
      {"/no/such/dir/ttyS0", ERROR_FILE_NOT_FOUND},
      {dir.c_str(), ERROR_ACCESS_DENIED},
      {"/", ERROR_ACCESS_DENIED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetLastError(0);
    EXPECT_EQ(OpenPort(c.name), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), c.error);
  }
  SetLastError(0);
  EXPECT_EQ(CreateFileA(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(CreateFile, ClaimsTheTtyAgainstThisProcessAndOthers) {
  PtyPair pty;
  HANDLE first = OpenPort(pty.SlavePath());
  ASSERT_NE(first, INVALID_HANDLE_VALUE) << GetLastError();

  SetLastError(0);
  EXPECT_EQ(OpenPort(pty.SlavePath()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  // Another program that asks for the device the same way is turned away too.
  const std::string probe =
      "/usr/bin/python3 -c \"import fcntl,os,sys\n"
      "fd=os.open(sys.argv[1],os.O_RDWR|os.O_NOCTTY|os.O_NONBLOCK)\n"
      "try:\n fcntl.flock(fd,fcntl.LOCK_EX|fcntl.LOCK_NB); print('free')\n"
      "except OSError: print('held')\" " +
      pty.SlavePath();
  EXPECT_EQ(RunCommand(probe), "held\n");

  ASSERT_TRUE(CloseHandle(first));
  EXPECT_EQ(RunCommand(probe), "free\n");
  HANDLE again = OpenPort(pty.SlavePath());
  EXPECT_NE(again, INVALID_HANDLE_VALUE) << GetLastError();
  CloseHandle(again);
}

TEST(CreateFile, LongPathsOpenWhole) {
  PtyPair pty;
  // A symlink with a name far beyond 15 characters still reaches the device.
  const std::string link =
      ::testing::TempDir() + "/serial-by-id-usb-Example_Adapter_0123456789abcdef-if00-port0";
  std::filesystem::remove(link);
  std::filesystem::create_symlink(pty.SlavePath(), link);
  HANDLE h = OpenPort(link);
  EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  DCB dcb{};
  EXPECT_TRUE(GetCommState(h, &dcb));
  CloseHandle(h);
  std::filesystem::remove(link);
}

TEST(CreateFile, RegularFileTransfersButIsNoCommunicationsDevice) {
  const std::string path = ::testing::TempDir() + "/quellin-not-a-port";
  {
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("abc", f);
    std::fclose(f);
  }
  HANDLE h = OpenPort(path, false);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  char buf[8] = {};
  DWORD n = 0;
  EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "abc");

  DCB dcb{};
  COMMTIMEOUTS t{};
  DWORD d = 0;
  COMSTAT st{};
  const std::pair<const char*, std::function<BOOL()>> calls[] = {
      {"GetCommState", [&] { return GetCommState(h, &dcb); }},
      {"SetCommState", [&] { return SetCommState(h, &dcb); }},
      {"SetCommTimeouts", [&] { return SetCommTimeouts(h, &t); }},
      {"SetCommMask", [&] { return SetCommMask(h, EV_RXCHAR); }},
      {"WaitCommEvent", [&] { return WaitCommEvent(h, &d, nullptr); }},
      {"ClearCommError", [&] { return ClearCommError(h, &d, &st); }},
      {"PurgeComm", [&] { return PurgeComm(h, PURGE_RXCLEAR); }},
      {"EscapeCommFunction", [&] { return EscapeCommFunction(h, SETDTR); }},
      {"SetupComm", [&] { return SetupComm(h, 4096, 4096); }},
      {"GetCommModemStatus", [&] { return GetCommModemStatus(h, &d); }},
  };
  for (const auto& [name, call] : calls) {
    SetLastError(0);
    EXPECT_FALSE(call()) << name;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION) << name;
  }
  CloseHandle(h);
  std::remove(path.c_str());
}

}  // namespace
