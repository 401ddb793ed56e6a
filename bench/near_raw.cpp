// The limit: the same work done with nothing but open/termios/read/write on the tty, the fewest
// system calls that can do it: a blocking read() is the wait and the read in one, epoll only
// where several ports are watched at once. Each near end takes the same modes and speaks the
// same control lines; see far.cpp.
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_common.h"

namespace {

int OpenTty(const char* path) {
  int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    std::perror(path);
    std::exit(1);
  }
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  cfsetspeed(&t, B115200);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &t);
  return fd;
}

void WaitIn(int fd) {
  pollfd q{fd, POLLIN, 0};
  while (poll(&q, 1, -1) < 0) {
  }
}

void WriteAll(int fd, const void* p, size_t n) {
  auto* c = static_cast<const char*>(p);
  while (n) {
    ssize_t w = write(fd, c, n);
    if (w > 0) {
      c += w, n -= static_cast<size_t>(w);
    } else if (w < 0 && errno == EAGAIN) {
      pollfd q{fd, POLLOUT, 0};
      poll(&q, 1, -1);
    }
  }
}

long long CpuUs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000LL + u.ru_utime.tv_usec +
         u.ru_stime.tv_usec;
}

void Latency(int fd, int count, int echoFd) {
  std::vector<std::int64_t> stamps;
  stamps.reserve(static_cast<size_t>(count));
  char buf[256];
  while (static_cast<int>(stamps.size()) < count) {
    ssize_t n = read(fd, buf, sizeof buf);
    const std::int64_t t = bench::NowNs();
    if (n <= 0) continue;
    for (ssize_t i = 0; i < n; ++i) stamps.push_back(t);
    WriteAll(echoFd, buf, static_cast<size_t>(n));
  }
  bench::Say("stamps %zu", stamps.size());
  for (auto t : stamps) std::printf("%lld\n", static_cast<long long>(t));
  bench::Say("end");
  bench::Hear();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string mode = argv[1];
  if (mode == "latency") {
    int fd = OpenTty(argv[2]);
    bench::Say("ready");
    Latency(fd, std::atoi(argv[3]), fd);
    close(fd);
  } else if (mode == "rx") {
    int fd = OpenTty(argv[2]);
    const int trials = std::atoi(argv[3]);
    const std::uint64_t bytes = std::strtoull(argv[4], nullptr, 10);
    bench::Say("ready");
    std::vector<unsigned char> buf(1 << 16);
    for (int t = 0; t < trials; ++t) {
      bool good = true;
      for (std::uint64_t got = 0; got < bytes;) {
        ssize_t n = read(fd, buf.data(), std::min<std::uint64_t>(buf.size(), bytes - got));
        if (n <= 0) continue;
        good = good && bench::CheckPattern(got, buf.data(), static_cast<size_t>(n));
        got += static_cast<std::uint64_t>(n);
      }
      const char ack = good ? bench::kAckGood : bench::kAckBad;
      WriteAll(fd, &ack, 1);
    }
    bench::Hear();
    close(fd);
  } else if (mode == "tx") {
    // Non-blocking, waiting in poll() only when the line is full: a blocking write of a large
    // block sleeps inside the tty layer once per chunk and comes out slower.
    int fd = OpenTty(argv[2]);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    const int trials = std::atoi(argv[3]);
    const std::uint64_t bytes = std::strtoull(argv[4], nullptr, 10);
    const bool perByte = std::string(argv[5]) == "byte";
    std::vector<unsigned char> data(bytes);
    for (std::uint64_t i = 0; i < bytes; ++i) data[i] = bench::PatternByte(i);
    bench::Say("ready");
    for (int t = 0; t < trials; ++t) {
      char go = 0;
      while (go != bench::kGo) {
        WaitIn(fd);
        if (read(fd, &go, 1) != 1) go = 0;
      }
      if (perByte)
        for (std::uint64_t i = 0; i < bytes; ++i) WriteAll(fd, &data[i], 1);
      else
        WriteAll(fd, data.data(), data.size());
    }
    bench::Hear();
    close(fd);
  } else if (mode == "idle") {
    int fd = OpenTty(argv[2]);
    const long long cpu0 = CpuUs();
    bench::Say("ready");
    WaitIn(fd);
    bench::Say("cpu_us %lld", CpuUs() - cpu0);
    close(fd);
  } else if (mode == "scale") {
    const int count = std::atoi(argv[2]);
    const int cycles = std::atoi(argv[3]);
    std::vector<const char*> paths(argv + 4, argv + argc);
    const size_t n = paths.size();
    close(OpenTty(paths[0]));
    bench::Say("ready");
    if (bench::Hear() != "open") return 1;
    std::vector<int> fds;
    for (auto* p : paths) fds.push_back(OpenTty(p));
    bench::Say("opened");
    if (bench::Hear() != "run") return 1;
    // epoll rather than poll(): with hundreds of ports, poll() costs a scan of all of them per
    // wake-up, and the limit is what the kernel allows, not what one call allows.
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    for (size_t i = 0; i < n; ++i) {
      epoll_event e{};
      e.events = EPOLLIN;
      e.data.u64 = i;
      epoll_ctl(ep, EPOLL_CTL_ADD, fds[i], &e);
    }
    std::vector<epoll_event> ready(n);
    std::vector<std::int64_t> stamps;
    std::vector<char> buf(1 << 16);
    while (static_cast<int>(stamps.size()) < count) {
      const int k = epoll_wait(ep, ready.data(), static_cast<int>(n), -1);
      const std::int64_t t = bench::NowNs();
      for (int r = 0; r < k; ++r) {
        const size_t i = ready[static_cast<size_t>(r)].data.u64;
        ssize_t got = read(fds[i], buf.data(), buf.size());
        if (i == 0 && got > 0) {
          for (ssize_t b = 0; b < got; ++b) stamps.push_back(t);
          WriteAll(fds[0], buf.data(), static_cast<size_t>(got));
        }
      }
    }
    close(ep);
    bench::Say("stamps %zu", stamps.size());
    for (auto t : stamps) std::printf("%lld\n", static_cast<long long>(t));
    bench::Say("end");
    bench::Hear();
    for (int fd : fds) close(fd);
    const std::int64_t c0 = bench::NowNs();
    int done = 0;
    while (done < cycles) {
      for (size_t i = 0; i < n; ++i) fds[i] = OpenTty(paths[i]);
      for (int fd : fds) close(fd);
      done += static_cast<int>(n);
    }
    bench::Say("cycles_per_s %.1f", done / ((bench::NowNs() - c0) / 1e9));
    bench::Say("end");
  } else {
    return 2;
  }
  return 0;
}
