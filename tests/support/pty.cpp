#include "tests/support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <gtest/gtest.h>

namespace quellin::test {

PtyPair::PtyPair() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    ADD_FAILURE() << "no pseudo-terminal: " << std::strerror(errno);
    return;
  }
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0) {
    ADD_FAILURE() << "ptsname_r: " << std::strerror(errno);
    return;
  }
  slave_path_ = name;
  // The far end passes bytes untouched as well.
  termios t{};
  if (tcgetattr(master_, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);
  }
}

PtyPair::~PtyPair() {
  if (master_ >= 0) close(master_);
}

void PtyPair::Write(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
      ADD_FAILURE() << "write to pty master: " << std::strerror(errno);
      return;
    } else {
      pollfd p{master_, POLLOUT, 0};
      poll(&p, 1, 1000);
    }
  }
}

std::string PtyPair::ReadExactly(std::size_t n, std::chrono::milliseconds bound) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + bound;
  while (out.size() < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    ssize_t got = ::read(master_, buf, std::min(sizeof buf, n - out.size()));
    if (got > 0)
      out.append(buf, static_cast<std::size_t>(got));
    else if (got < 0 && errno != EINTR && errno != EAGAIN)
      break;
  }
  return out;
}

std::string RunCommand(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

std::set<std::string> SttyWords(const std::string& path) {
  std::string out = RunCommand("stty -F " + path + " -a 2>&1");
  for (char& c : out)
    if (c == ';' || c == '\n') c = ' ';
  std::istringstream in(out);
  std::set<std::string> words;
  std::string w, prev, prev2;
  while (in >> w) {
    if (prev == "speed") words.insert("speed=" + w);
    if (prev == "=") words.insert(prev2 + "=" + w);
    words.insert(w);
    prev2 = prev;
    prev = w;
  }
  return words;
}

}  // namespace quellin::test
