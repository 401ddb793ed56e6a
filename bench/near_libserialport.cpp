// Near end on libserialport, written the way its documentation suggests: an event set and
// sp_wait() to learn that input is ready, sp_blocking_read_next() for bulk input,
// sp_blocking_write() for output.
//
// libserialport 0.1.1 does not open pseudo-terminals as they are: it accepts only names it finds
// under /sys/class/tty, and sp_open() fails when the modem-line ioctls do, which a pty refuses.
// So that it can be measured on the same ptys as everybody else, this near end names each pty
// through a symlink its lookup accepts, and answers the modem-line ioctls on a pty as a cable
// with no lines would. Both touch only opening and configuring; reads, writes and waits are
// the library's own.
#include <libserialport.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_common.h"

extern "C" int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  const long r = syscall(SYS_ioctl, fd, request, arg);
  const bool modemLines =
      request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
  if (r < 0 && errno == ENOTTY && modemLines) {
    if (request == TIOCMGET) *static_cast<int*>(arg) = 0;
    return 0;
  }
  return static_cast<int>(r);
}

namespace {

// The symlinks live in a directory of their own, removed at exit.
class Names {
 public:
  Names() {
    char tmpl[] = "/tmp/quellin-bench-lsp-XXXXXX";
    if (!mkdtemp(tmpl)) std::exit(1);
    dir_ = tmpl;
  }
  ~Names() {
    for (auto& l : links_) unlink(l.c_str());
    rmdir(dir_.c_str());
  }
  // The libserialport name for the pty at path: "/dev/" + a path that, below /sys/class/tty,
  // reaches the symlink, and from /dev reaches it too.
  std::string For(const char* path) {
    std::string link = dir_ + "/" + std::to_string(links_.size());
    if (symlink(path, link.c_str()) != 0) std::exit(1);
    links_.push_back(link);
    return "/dev/../../.." + link;
  }

 private:
  std::string dir_;
  std::vector<std::string> links_;
};
Names* names;

int Check(sp_return r, const char* what) {
  if (r < 0) {
    char* msg = sp_last_error_message();
    std::fprintf(stderr, "libserialport %s: %d %s\n", what, r, msg ? msg : "");
    sp_free_error_message(msg);
    std::exit(1);
  }
  return r;
}

sp_port* Open(const std::string& name) {
  sp_port* port = nullptr;
  Check(sp_get_port_by_name(name.c_str(), &port), "get_port_by_name");
  Check(sp_open(port, SP_MODE_READ_WRITE), "open");
  Check(sp_set_baudrate(port, 115200), "baudrate");
  Check(sp_set_bits(port, 8), "bits");
  Check(sp_set_parity(port, SP_PARITY_NONE), "parity");
  Check(sp_set_stopbits(port, 1), "stopbits");
  Check(sp_set_flowcontrol(port, SP_FLOWCONTROL_NONE), "flowcontrol");
  return port;
}

void Close(sp_port* port) {
  sp_close(port);
  sp_free_port(port);
}

void Write(sp_port* port, const void* p, size_t n) {
  if (Check(sp_blocking_write(port, p, n, 0), "write") != static_cast<int>(n)) std::exit(1);
}

long long CpuUs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000LL + u.ru_utime.tv_usec +
         u.ru_stime.tv_usec;
}

struct Events {
  sp_event_set* set = nullptr;
  explicit Events(const std::vector<sp_port*>& ports) {
    Check(sp_new_event_set(&set), "new_event_set");
    for (auto* p : ports) Check(sp_add_port_events(set, p, SP_EVENT_RX_READY), "add_port_events");
  }
  ~Events() { sp_free_event_set(set); }
  void Wait() { Check(sp_wait(set, 0), "wait"); }
};

void PrintStamps(const std::vector<std::int64_t>& stamps) {
  bench::Say("stamps %zu", stamps.size());
  for (auto t : stamps) std::printf("%lld\n", static_cast<long long>(t));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string mode = argv[1];
  static Names links;  // static: Check() leaves through exit(), which still removes them
  names = &links;
  if (mode == "latency") {
    sp_port* port = Open(names->For(argv[2]));
    const int count = std::atoi(argv[3]);
    Events ev({port});
    std::vector<std::int64_t> stamps;
    bench::Say("ready");
    char buf[256];
    while (static_cast<int>(stamps.size()) < count) {
      ev.Wait();
      const std::int64_t t = bench::NowNs();
      int n = Check(sp_nonblocking_read(port, buf, sizeof buf), "read");
      for (int i = 0; i < n; ++i) stamps.push_back(t);
      if (n > 0) Write(port, buf, static_cast<size_t>(n));
    }
    PrintStamps(stamps);
    bench::Say("end");
    bench::Hear();
    Close(port);
  } else if (mode == "rx") {
    sp_port* port = Open(names->For(argv[2]));
    const int trials = std::atoi(argv[3]);
    const std::uint64_t bytes = std::strtoull(argv[4], nullptr, 10);
    bench::Say("ready");
    std::vector<unsigned char> buf(1 << 16);
    for (int t = 0; t < trials; ++t) {
      bool good = true;
      for (std::uint64_t got = 0; got < bytes;) {
        const size_t want = static_cast<size_t>(std::min<std::uint64_t>(buf.size(), bytes - got));
        int n = Check(sp_blocking_read_next(port, buf.data(), want, 0), "read");
        good = good && bench::CheckPattern(got, buf.data(), static_cast<size_t>(n));
        got += static_cast<std::uint64_t>(n);
      }
      const char ack = good ? bench::kAckGood : bench::kAckBad;
      Write(port, &ack, 1);
    }
    bench::Hear();
    Close(port);
  } else if (mode == "tx") {
    sp_port* port = Open(names->For(argv[2]));
    const int trials = std::atoi(argv[3]);
    const std::uint64_t bytes = std::strtoull(argv[4], nullptr, 10);
    const bool perByte = std::string(argv[5]) == "byte";
    std::vector<unsigned char> data(bytes);
    for (std::uint64_t i = 0; i < bytes; ++i) data[i] = bench::PatternByte(i);
    bench::Say("ready");
    for (int t = 0; t < trials; ++t) {
      char go = 0;
      while (go != bench::kGo) Check(sp_blocking_read(port, &go, 1, 0), "read");
      if (perByte)
        for (std::uint64_t i = 0; i < bytes; ++i) Write(port, &data[i], 1);
      else
        Write(port, data.data(), data.size());
    }
    bench::Hear();
    Close(port);
  } else if (mode == "idle") {
    sp_port* port = Open(names->For(argv[2]));
    Events ev({port});
    const long long cpu0 = CpuUs();
    bench::Say("ready");
    ev.Wait();
    bench::Say("cpu_us %lld", CpuUs() - cpu0);
    Close(port);
  } else if (mode == "scale") {
    const int count = std::atoi(argv[2]);
    const int cycles = std::atoi(argv[3]);
    std::vector<std::string> paths;
    for (int i = 4; i < argc; ++i) paths.push_back(names->For(argv[i]));
    Close(Open(paths[0]));
    bench::Say("ready");
    if (bench::Hear() != "open") return 1;
    std::vector<sp_port*> ports;
    for (auto& p : paths) ports.push_back(Open(p));
    bench::Say("opened");
    if (bench::Hear() != "run") return 1;
    std::vector<std::int64_t> stamps;
    {
      Events ev(ports);
      std::vector<char> buf(1 << 16);
      while (static_cast<int>(stamps.size()) < count) {
        ev.Wait();
        const std::int64_t t = bench::NowNs();
        // The event set says that some port is ready, not which: ask each.
        for (size_t i = 0; i < ports.size(); ++i) {
          if (Check(sp_input_waiting(ports[i]), "input_waiting") <= 0) continue;
          int n = Check(sp_nonblocking_read(ports[i], buf.data(), buf.size()), "read");
          if (i == 0 && n > 0) {
            for (int k = 0; k < n; ++k) stamps.push_back(t);
            Write(ports[0], buf.data(), static_cast<size_t>(n));
          }
        }
      }
    }
    PrintStamps(stamps);
    bench::Say("end");
    bench::Hear();
    for (auto* p : ports) Close(p);
    const std::int64_t c0 = bench::NowNs();
    int done = 0;
    while (done < cycles) {
      for (size_t i = 0; i < paths.size(); ++i) ports[i] = Open(paths[i]);
      for (auto* p : ports) Close(p);
      done += static_cast<int>(paths.size());
    }
    bench::Say("cycles_per_s %.1f", done / ((bench::NowNs() - c0) / 1e9));
    bench::Say("end");
  } else {
    return 2;
  }
  return 0;
}
