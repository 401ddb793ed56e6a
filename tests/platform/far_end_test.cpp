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

#include "tests/platform/port_fixture.h"

extern char** environ;

namespace {

using namespace win32;

// socat running for the life of the object, with its two ptys linked at near/far.
class SocatPair {
 public:
  explicit SocatPair(const std::string& dir) : near_(dir + "/near"), far_(dir + "/far") {
    std::filesystem::create_directories(dir);
    std::filesystem::remove(near_);
    std::filesystem::remove(far_);
    int fds[2];
    if (pipe(fds) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    const std::string a = "pty,raw,echo=0,link=" + near_, b = "pty,raw,echo=0,link=" + far_;
    const char* argv[] = {"socat", "-d", "-d", a.c_str(), b.c_str(), nullptr};
    if (posix_spawnp(&pid_, "socat", &fa, nullptr, const_cast<char**>(argv), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    // socat says when both ptys exist and it is moving data; its log is the readiness signal.
    FILE* log = fdopen(fds[0], "r");
    char line[512];
    while (pid_ > 0 && log && std::fgets(line, sizeof line, log)) {
      if (std::string(line).find("starting data transfer loop") != std::string::npos) {
        ready_ = true;
        break;
      }
    }
    log_ = log;
  }
  ~SocatPair() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (log_) std::fclose(log_);
  }
  bool ready() const { return ready_; }
  const std::string& near() const { return near_; }
  const std::string& far() const { return far_; }

 private:
  std::string near_, far_;
  pid_t pid_ = -1;
  FILE* log_ = nullptr;
  bool ready_ = false;
};

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
