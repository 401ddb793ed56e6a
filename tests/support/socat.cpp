#include "tests/support/socat.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

extern char** environ;

namespace quellin::test {

SocatPair::SocatPair(const std::string& dir) {
  const std::string folder = dir + "-" + std::to_string(getpid());
  near_ = folder + "/near";
  far_ = folder + "/far";
  std::filesystem::create_directories(folder);
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
  if (posix_spawnp(&pid_, "socat", &fa, nullptr, const_cast<char**>(argv), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&fa);
  close(fds[1]);
  // socat says when both ptys exist and it is moving data; its log is the readiness signal. The
  // pipe stays open so that socat never blocks or dies writing to it.
  log_ = fdopen(fds[0], "r");
  char line[512];
  while (pid_ > 0 && log_ && std::fgets(line, sizeof line, log_)) {
    if (std::string(line).find("starting data transfer loop") != std::string::npos) {
      ready_ = true;
      break;
    }
  }
}

SocatPair::~SocatPair() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  if (log_) std::fclose(log_);
}

}  // namespace quellin::test
