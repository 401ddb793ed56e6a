// Pieces the single-program benchmarks share: a raw pseudo-terminal pair, a blocking full write,
// the median of a sample, and the context switches of the process's other threads (wake-ups).
#pragma once

#include <dirent.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace quellin::bench {

struct Pty {
  int master = -1, slave = -1;
  char name[128] = {};
  Pty() {
    termios t{};
    cfmakeraw(&t);
    if (openpty(&master, &slave, name, &t, nullptr) != 0) {
      std::perror("openpty");
      std::exit(1);
    }
  }
  ~Pty() {
    if (slave >= 0) close(slave);
    close(master);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
  // The code under test opens the slave by name and claims it alone.
  void DropSlave() {
    close(slave);
    slave = -1;
  }
};

inline void WriteAll(int fd, const char* p, size_t n) {
  while (n) {
    ssize_t w = write(fd, p, n);
    if (w > 0) {
      p += w;
      n -= static_cast<size_t>(w);
    } else {
      pollfd q{fd, POLLOUT, 0};
      poll(&q, 1, -1);
    }
  }
}

inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Context switches of every task of the process except the calling one.
inline long long OthersSwitches() {
  long long total = 0;
  const std::string self = std::to_string(gettid());
  DIR* d = opendir("/proc/self/task");
  if (!d) return -1;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.' || self == e->d_name) continue;
    std::ifstream f(std::string("/proc/self/task/") + e->d_name + "/status");
    std::string line;
    while (std::getline(f, line))
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
          line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
        total += std::stoll(line.substr(line.find(':') + 1));
  }
  closedir(d);
  return total;
}

}  // namespace quellin::bench
