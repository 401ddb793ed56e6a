// Bytes through our device to independent programs: socat joins two pseudo-terminals, and a
// pyserial program on the far one checks what we sent and sends it back.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/socat.h"

#include "tests/platform/port_fixture.h"

extern char** environ;

namespace {

using quellin::test::SocatPair;

using namespace win32;

TEST(FarEnd, AllByteValuesCrossToPyserialAndBackUnchanged) {
  SocatPair link(::testing::TempDir() + "/quellin-socat");
  ASSERT_TRUE(link.ready()) << "socat did not start";
  HANDLE port = quellin::test::OpenPort(link.near());
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port, &dcb));
  dcb.BaudRate = 115200;
  ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
  COMMTIMEOUTS t{0, 0, 10000, 0, 10000};
  ASSERT_TRUE(SetCommTimeouts(port, &t));

  const std::string program =
      "/usr/bin/python3 -c \"import serial,sys\n"
      "s=serial.Serial(sys.argv[1],115200,timeout=10)\n"
      "print('ready',flush=True)\n"
      "d=s.read(256)\n"
      "s.write(d[::-1]); s.flush()\n"
      "print('ok' if d==bytes(range(256)) else 'bad '+d.hex(),flush=True)\" " +
      link.far();
  FILE* far = popen(program.c_str(), "r");
  ASSERT_NE(far, nullptr);
  char line[1024] = {};
  ASSERT_TRUE(std::fgets(line, sizeof line, far));
  ASSERT_STREQ(line, "ready\n");

  std::string all(256, '\0');
  for (int i = 0; i < 256; ++i) all[i] = static_cast<char>(i);
  quellin::test::Overlapped w;
  DWORD put = 0;
  if (!WriteFile(port, all.data(), 256, &put, &w)) {
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(GetOverlappedResult(port, &w.ov, &put, TRUE));
  }
  EXPECT_EQ(put, 256u);

  std::string back(256, '\0');
  DWORD got = 0;
  quellin::test::Overlapped r;
  if (!ReadFile(port, back.data(), 256, &got, &r)) {
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(GetOverlappedResult(port, &r.ov, &got, TRUE));
  }
  ASSERT_TRUE(std::fgets(line, sizeof line, far));
  EXPECT_STREQ(line, "ok\n");
  pclose(far);
  back.resize(got);
  EXPECT_EQ(back, std::string(all.rbegin(), all.rend()));
  CloseHandle(port);
}

}  // namespace
