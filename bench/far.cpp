// The far end of every workload, and the runner that puts the results side by side.
//
// For each implementation (a near-end program given on the command line) it opens fresh
// pseudo-terminal pairs, starts the near end on the slave names, plays the far end on the
// masters, and keeps the figures. The near ends share one protocol: argv selects the workload,
// control lines travel over the near end's stdin/stdout so the measured ttys carry nothing but
// the workload's bytes. At the end it prints one table in which every figure is also given as a
// ratio to the raw near end of the same run, writes it to a file, and writes the latency samples
// for the plot.
//
//   bench-far --out DIR [--quick] --impl raw=CMD --impl NAME=CMD ... [--absent NAME=REASON]
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.h"

namespace {

using bench::NowNs;

// Trials run in rounds: each round gives every implementation its share in turn, so a burst of
// load from elsewhere on the machine falls on all of them rather than on whichever ran then.
struct Config {
  int latencyRounds = 8, latencyWarmup = 50, latencyTrials = 250;  // per round
  int rxRounds = 5, rxTrials = 1;
  std::uint64_t rxBytes = 64ull << 20;
  int txByteRounds = 3, txBlockRounds = 5, txByteTrials = 1, txBlockTrials = 1;
  std::uint64_t txBytes = 1ull << 20;
  int idleSeconds = 5;
  std::vector<int> scalePorts{1, 16, 64, 256};
  int scaleRounds = 2, scaleWarmup = 100, scaleTrials = 500, scaleCycles = 1024;
  int streamBytesPerTick = 115;  // 10 ms ticks: 11.5 KB/s, a 115200-baud line kept busy
  int timeoutMs = 60000;
};
Config cfg;

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// ---- Pseudo-terminals ----------------------------------------------------------------------
// The far end holds the slave open as well, so the near end closing its side never hangs the
// line up under the master while the far end is still working it.
struct Pty {
  int master = -1, slave = -1;
  std::string name;
  Pty() {
    termios raw{};
    cfmakeraw(&raw);
    cfsetspeed(&raw, B115200);
    char buf[128];
    if (openpty(&master, &slave, buf, &raw, nullptr) != 0) throw Failure("openpty failed");
    name = buf;
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  }
  ~Pty() {
    close(slave);
    close(master);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
};

// The running near end's control pipe: while the far end waits on a pty, a near end that dies
// shows up as a hang-up here rather than as a time-out.
int nearEndOutput = -1;
// The last line the latest near end wrote to stderr: why it failed, when it did.
std::string nearEndLastWords;

void WaitFd(int fd, short events) {
  pollfd q[2]{{fd, events, 0}, {nearEndOutput, 0, 0}};
  for (;;) {
    int r = poll(q, nearEndOutput >= 0 && nearEndOutput != fd ? 2 : 1, cfg.timeoutMs);
    if (r > 0 && q[0].revents) return;
    if (r > 0 && (q[1].revents & (POLLHUP | POLLERR))) throw Failure("near end died");
    if (r == 0) throw Failure("near end stopped responding");
    if (errno != EINTR) throw Failure("poll failed");
  }
}

void WriteAll(int fd, const void* p, size_t n) {
  auto* c = static_cast<const unsigned char*>(p);
  while (n) {
    ssize_t w = write(fd, c, n);
    if (w > 0) {
      c += w, n -= static_cast<size_t>(w);
    } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
      throw Failure("write to pty failed");
    } else {
      WaitFd(fd, POLLOUT);
    }
  }
}

size_t ReadSome(int fd, void* p, size_t n) {
  for (;;) {
    ssize_t r = read(fd, p, n);
    if (r > 0) return static_cast<size_t>(r);
    if (r < 0 && errno != EAGAIN && errno != EINTR) throw Failure("read from pty failed");
    WaitFd(fd, POLLIN);
  }
}

// ---- Near-end processes ----------------------------------------------------------------------
struct Impl {
  std::string name;
  std::vector<std::string> argv;  // empty: not available
  std::string absent;             // why not
};

class Child {
 public:
  Child(const Impl& impl, const std::vector<std::string>& args) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
      throw Failure("pipe failed");
    std::vector<std::string> all = impl.argv;
    all.insert(all.end(), args.begin(), args.end());
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      std::vector<char*> v;
      for (auto& s : all) v.push_back(s.data());
      v.push_back(nullptr);
      execvp(v[0], v.data());
      std::perror(v[0]);
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    fcntl(err_, F_SETFL, O_NONBLOCK);
    nearEndOutput = out_;
  }
  ~Child() {
    nearEndOutput = -1;
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    // Passed on, and the last line kept for the failure report.
    std::string said;
    char tmp[4096];
    for (ssize_t r; (r = read(err_, tmp, sizeof tmp)) > 0;)
      said.append(tmp, static_cast<size_t>(r));
    std::fputs(said.c_str(), stderr);
    while (!said.empty() && said.back() == '\n') said.pop_back();
    nearEndLastWords = said.substr(said.find_last_of('\n') + 1);
    close(in_);
    close(out_);
    close(err_);
  }
  pid_t Pid() const { return pid_; }

  std::string Line() {
    for (;;) {
      auto nl = buf_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        return line;
      }
      char tmp[8192];
      WaitFd(out_, POLLIN);
      ssize_t r = read(out_, tmp, sizeof tmp);
      if (r <= 0) throw Failure("near end exited early");
      buf_.append(tmp, static_cast<size_t>(r));
    }
  }
  void Expect(const std::string& word) {
    std::string l = Line();
    if (l != word) throw Failure("near end said '" + l + "', expected '" + word + "'");
  }
  // "key value" from the near end.
  double Value(const std::string& key) {
    std::string l = Line();
    if (l.rfind(key + " ", 0) != 0) throw Failure("near end said '" + l + "', expected " + key);
    return std::stod(l.substr(key.size() + 1));
  }
  std::vector<std::int64_t> Stamps() {
    const auto n = static_cast<size_t>(Value("stamps"));
    std::vector<std::int64_t> v;
    for (size_t i = 0; i < n; ++i) v.push_back(std::stoll(Line()));
    return v;
  }
  void Tell(const std::string& word) {
    std::string s = word + "\n";
    WriteAll(in_, s.data(), s.size());
  }
  void Finish() {
    int status = 0;
    pollfd q{out_, POLLIN, 0};
    poll(&q, 1, cfg.timeoutMs);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    if (WIFSIGNALED(status))
      throw Failure(std::string("near end killed by ") + strsignal(WTERMSIG(status)));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw Failure("near end failed");
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  std::string buf_;
};

// ---- Measures of a process from outside ------------------------------------------------------
long long ProcField(const std::string& file, const std::string& key) {
  std::ifstream f(file);
  std::string line;
  while (std::getline(f, line))
    if (line.rfind(key, 0) == 0) return std::stoll(line.substr(key.size()));
  return -1;
}

// Voluntary plus involuntary context switches of every task: each one is a wake-up.
long long ContextSwitches(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  long long total = 0;
  DIR* d = opendir(dir.c_str());
  if (!d) return -1;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const std::string status = dir + "/" + e->d_name + "/status";
    total += ProcField(status, "voluntary_ctxt_switches:");
    total += ProcField(status, "nonvoluntary_ctxt_switches:");
  }
  closedir(d);
  return total;
}

struct Footprint {
  long long rssKiB, threads;
};
Footprint Measure(pid_t pid) {
  const std::string status = "/proc/" + std::to_string(pid) + "/status";
  return {ProcField(status, "VmRSS:"), ProcField(status, "Threads:")};
}

// ---- Statistics ------------------------------------------------------------------------------
struct Cell {
  bool ok = false;
  double median = 0, p99 = 0;
  std::string note;  // shown instead of a figure when !ok
};

// Nearest rank; for rates the tail is the slow end, so it is taken from the bottom.
double Rank(std::vector<double> v, double q) {
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size())));
  return v[std::clamp<size_t>(i, 1, v.size()) - 1];
}
Cell Summary(const std::vector<double>& v, bool higherIsBetter) {
  Cell c;
  c.ok = !v.empty();
  if (!c.ok) return c;
  c.median = Rank(v, 0.5);
  c.p99 = higherIsBetter ? Rank(v, 0.01) : Rank(v, 0.99);
  return c;
}

struct Metric {
  std::string key, label, unit;
  bool higherIsBetter, tail;
  bool componentOnly = false;  // in-process virtual devices: nobody else can open them
};
std::vector<Metric> metrics;
struct Samples {
  std::vector<double> v;
  std::string note;  // set when the figures cannot be trusted (bytes wrong)
};
std::map<std::string, std::map<std::string, Samples>> results;  // metric -> impl -> samples
std::vector<std::string> failures;

void Define(const std::string& key, const std::string& label, const std::string& unit,
            bool higherIsBetter, bool tail, bool componentOnly = false) {
  for (auto& m : metrics)
    if (m.key == key) return;
  metrics.push_back({key, label, unit, higherIsBetter, tail, componentOnly});
}
void Add(const std::string& key, const std::string& impl, const std::vector<double>& v) {
  auto& s = results[key][impl];
  s.v.insert(s.v.end(), v.begin(), v.end());
}
void Add(const std::string& key, const std::string& impl, double v) {
  results[key][impl].v.push_back(v);
}
void Spoil(const std::string& key, const std::string& impl, const std::string& why) {
  results[key][impl].note = why;
}
const Metric& MetricOf(const std::string& key) {
  for (auto& m : metrics)
    if (m.key == key) return m;
  throw std::logic_error("no metric " + key);
}
// The summary of one implementation's samples for one metric; null when there are none.
std::optional<Cell> CellOf(const std::string& key, const std::string& impl) {
  auto m = results.find(key);
  if (m == results.end()) return std::nullopt;
  auto s = m->second.find(impl);
  if (s == m->second.end()) return std::nullopt;
  if (!s->second.note.empty()) return Cell{false, 0, 0, s->second.note};
  if (s->second.v.empty()) return std::nullopt;
  return Summary(s->second.v, MetricOf(key).higherIsBetter);
}

// ---- Workloads -------------------------------------------------------------------------------
void Nap(std::int64_t ns) {
  timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// The near end is back in its wait before each byte: the figure is a notification, not a
// byte that was already there when the handler came round again.
constexpr std::int64_t kGapNs = 250'000;

struct Trips {
  std::vector<double> oneWay, roundTrip;
};

// Pings port 0 of a near end that is already running; returns the per-trial latencies in us.
Trips Ping(Child& c, int master, int warmup, int trials) {
  std::vector<std::int64_t> sent, back;
  for (int i = 0; i < warmup + trials; ++i) {
    Nap(kGapNs);
    const unsigned char b = static_cast<unsigned char>(i), expect = b;
    unsigned char got = 0;
    const std::int64_t t0 = NowNs();
    WriteAll(master, &b, 1);
    ReadSome(master, &got, 1);
    const std::int64_t t2 = NowNs();
    if (got != expect) throw Failure("echo carried the wrong byte");
    sent.push_back(t0);
    back.push_back(t2);
  }
  auto stamps = c.Stamps();
  if (stamps.size() != sent.size()) throw Failure("near end saw a different number of bytes");
  Trips t;
  for (size_t i = static_cast<size_t>(warmup); i < sent.size(); ++i) {
    t.oneWay.push_back((stamps[i] - sent[i]) / 1e3);
    t.roundTrip.push_back((back[i] - sent[i]) / 1e3);
  }
  return t;
}

void Latency(const Impl& impl) {
  Pty p;
  Child c(impl, {"latency", p.name, std::to_string(cfg.latencyWarmup + cfg.latencyTrials)});
  c.Expect("ready");
  Trips t = Ping(c, p.master, cfg.latencyWarmup, cfg.latencyTrials);
  c.Expect("end");
  c.Tell("close");
  c.Finish();
  Add("lat1", impl.name, t.oneWay);
  Add("lat2", impl.name, t.roundTrip);
}

const std::vector<unsigned char>& Period() {
  static const std::vector<unsigned char> period = [] {
    constexpr size_t kPeriod = 16u << 20, kSlack = 1u << 16;
    std::vector<unsigned char> v(kPeriod + kSlack);
    for (size_t i = 0; i < v.size(); ++i) v[i] = bench::PatternByte(i);
    return v;
  }();
  return period;
}

void Receive(const Impl& impl) {
  Pty p;
  Child c(impl, {"rx", p.name, std::to_string(cfg.rxTrials), std::to_string(cfg.rxBytes)});
  c.Expect("ready");
  const auto& period = Period();
  std::vector<double> mbs;
  bool corrupt = false;
  for (int t = 0; t < cfg.rxTrials; ++t) {
    const std::int64_t t0 = NowNs();
    for (std::uint64_t off = 0; off < cfg.rxBytes;) {
      const size_t chunk =
          static_cast<size_t>(std::min<std::uint64_t>(1u << 16, cfg.rxBytes - off));
      const unsigned char* p0 = &period[off % (16u << 20)];
      ssize_t w = write(p.master, p0, chunk);
      if (w > 0)
        off += static_cast<std::uint64_t>(w);
      else if (errno == EAGAIN || errno == EINTR)
        WaitFd(p.master, POLLOUT);
      else
        throw Failure("write to pty failed");
    }
    char ack = 0;
    ReadSome(p.master, &ack, 1);
    const std::int64_t t1 = NowNs();
    corrupt = corrupt || ack != bench::kAckGood;
    mbs.push_back(static_cast<double>(cfg.rxBytes) / ((t1 - t0) / 1e9) / 1e6);
  }
  c.Tell("close");
  c.Finish();
  Add("rx", impl.name, mbs);
  if (corrupt) Spoil("rx", impl.name, "BYTES WRONG");
}

void Send(const Impl& impl, bool perByte) {
  Pty p;
  const int trials = perByte ? cfg.txByteTrials : cfg.txBlockTrials;
  Child c(impl, {"tx", p.name, std::to_string(trials), std::to_string(cfg.txBytes),
                 perByte ? "byte" : "block"});
  c.Expect("ready");
  std::vector<double> rate;
  std::vector<unsigned char> buf(1 << 16);
  bool corrupt = false;
  for (int t = 0; t < trials; ++t) {
    const std::int64_t t0 = NowNs();
    WriteAll(p.master, &bench::kGo, 1);
    for (std::uint64_t got = 0; got < cfg.txBytes;) {
      size_t n =
          ReadSome(p.master, buf.data(),
                   static_cast<size_t>(std::min<std::uint64_t>(buf.size(), cfg.txBytes - got)));
      corrupt = corrupt || !bench::CheckPattern(got, buf.data(), n);
      got += n;
    }
    const std::int64_t t1 = NowNs();
    rate.push_back(static_cast<double>(cfg.txBytes) / ((t1 - t0) / 1e9) / 1e6);
  }
  c.Tell("close");
  c.Finish();
  Add(perByte ? "txbyte" : "txblock", impl.name, rate);
  if (corrupt) Spoil(perByte ? "txbyte" : "txblock", impl.name, "BYTES WRONG");
}

void Idle(const Impl& impl) {
  Pty p;
  Child c(impl, {"idle", p.name});
  c.Expect("ready");
  Nap(500'000'000);  // whatever the open set in motion settles
  const long long s0 = ContextSwitches(c.Pid());
  Nap(std::int64_t{cfg.idleSeconds} * 1'000'000'000);
  const long long s1 = ContextSwitches(c.Pid());
  WriteAll(p.master, &bench::kGo, 1);
  const double cpu = c.Value("cpu_us");
  c.Finish();
  Add("idlewake", impl.name, static_cast<double>(s1 - s0));
  Add("idlecpu", impl.name, cpu);
}

// Streams to every port but the first at a serial line's pace while the first is pinged.
class Streamer {
 public:
  explicit Streamer(std::vector<int> masters) : masters_(std::move(masters)) {
    if (masters_.empty()) return;
    thread_ = std::thread([this] { Run(); });
  }
  ~Streamer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run() {
    int tfd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    itimerspec its{{0, 10'000'000}, {0, 10'000'000}};
    timerfd_settime(tfd, 0, &its, nullptr);
    std::vector<char> chunk(static_cast<size_t>(cfg.streamBytesPerTick), 'x');
    while (!stop_) {
      std::uint64_t ticks;
      if (read(tfd, &ticks, sizeof ticks) != sizeof ticks) continue;
      // A port whose reader has fallen behind drops the tick, as a line without flow control
      // would; the far end never waits on it.
      for (int m : masters_)
        if (write(m, chunk.data(), chunk.size()) < 0 && errno != EAGAIN) break;
    }
    close(tfd);
  }
  std::vector<int> masters_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

void Scale(const Impl& impl, int ports, const std::string& tag = "") {
  std::vector<std::unique_ptr<Pty>> ptys;
  std::vector<std::string> args{"scale", std::to_string(cfg.scaleWarmup + cfg.scaleTrials),
                                std::to_string(std::max(cfg.scaleCycles, ports))};
  for (int i = 0; i < ports; ++i) {
    ptys.push_back(std::make_unique<Pty>());
    args.push_back(ptys.back()->name);
  }
  Child c(impl, args);
  // The near end has opened and closed the first port once before "ready", so what a library
  // sets up on first use (and keeps) is not counted against every port.
  c.Expect("ready");
  const Footprint before = Measure(c.Pid());
  c.Tell("open");
  c.Expect("opened");
  const Footprint open = Measure(c.Pid());
  Trips t;
  {
    std::vector<int> others;
    for (int i = 1; i < ports; ++i) others.push_back(ptys[static_cast<size_t>(i)]->master);
    c.Tell("run");
    Streamer s(others);
    t = Ping(c, ptys[0]->master, cfg.scaleWarmup, cfg.scaleTrials);
  }
  c.Expect("end");
  c.Tell("close");
  const double cycles = c.Value("cycles_per_s");
  c.Expect("end");
  c.Finish();
  const std::string k = tag + std::to_string(ports);
  Add("mem" + k, impl.name, (open.rssKiB - before.rssKiB) / static_cast<double>(ports));
  Add("thr" + k, impl.name, (open.threads - before.threads) / static_cast<double>(ports));
  Add("cyc" + k, impl.name, cycles);
  Add("slat" + k, impl.name, t.oneWay);
}

// The same on in-process virtual pairs: only the component can open them, and its far end
// lives in the near-end process, which therefore reports the one-way latencies itself.
void VirtualScale(const Impl& impl, int ports) {
  Child c(impl, {"vscale", std::to_string(cfg.scaleWarmup), std::to_string(cfg.scaleTrials),
                 std::to_string(std::max(cfg.scaleCycles, ports)), std::to_string(ports)});
  c.Expect("ready");
  const Footprint before = Measure(c.Pid());
  c.Tell("open");
  c.Expect("opened");
  const Footprint open = Measure(c.Pid());
  c.Tell("run");
  std::vector<double> oneWay;
  for (auto ns : c.Stamps()) oneWay.push_back(ns / 1e3);
  c.Expect("end");
  c.Tell("close");
  const double cycles = c.Value("cycles_per_s");
  c.Expect("end");
  c.Finish();
  const std::string k = "v" + std::to_string(ports);
  Add("mem" + k, impl.name, (open.rssKiB - before.rssKiB) / static_cast<double>(ports));
  Add("thr" + k, impl.name, (open.threads - before.threads) / static_cast<double>(ports));
  Add("cyc" + k, impl.name, cycles);
  Add("slat" + k, impl.name, oneWay);
}

void DefineMetrics() {
  Define("lat1", "latency: byte -> handler", "us", false, true);
  Define("lat2", "latency: round trip (echo)", "us", false, true);
  Define("rx", "receive throughput", "MB/s", true, true);
  Define("txbyte", "send, one write per byte", "MB/s", true, true);
  Define("txblock", "send, one block write", "MB/s", true, true);
  Define("idlewake", "idle: wake-ups in 5 s", "count", false, false);
  Define("idlecpu", "idle: CPU time, 5.5 s", "us", false, false);
  for (int n : cfg.scalePorts) {
    const std::string k = std::to_string(n);
    Define("mem" + k, k + " ports: memory per port", "KiB", false, false);
    Define("thr" + k, k + " ports: threads per port", "", false, false);
    Define("cyc" + k, k + " ports: open+close", "/s", true, false);
    Define("slat" + k, k + " ports: latency, others streaming", "us", false, true);
  }
  for (int n : cfg.scalePorts) {
    const std::string k = std::to_string(n), v = "v" + k;
    Define("mem" + v, k + " virtual pairs: memory per port", "KiB", false, false, true);
    Define("thr" + v, k + " virtual pairs: threads per port", "", false, false, true);
    Define("cyc" + v, k + " virtual pairs: open+close", "/s", true, false, true);
    Define("slat" + v, k + " virtual: latency, others streaming", "us", false, true, true);
  }
}

// ---- Report ----------------------------------------------------------------------------------
std::string Fmt(double v) {
  char b[64];
  if (std::fabs(v) >= 1000)
    std::snprintf(b, sizeof b, "%.0f", v);
  else if (std::fabs(v) >= 10)
    std::snprintf(b, sizeof b, "%.1f", v);
  else
    std::snprintf(b, sizeof b, "%.2f", v);
  return b;
}

std::string Pad(std::string s, size_t w) {
  if (s.size() < w) s.append(w - s.size(), ' ');
  return s;
}

std::string LoadAverage() {
  std::ifstream f("/proc/loadavg");
  std::string one, five, fifteen;
  f >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

std::string Table(const std::vector<Impl>& impls, const std::vector<std::string>& checks,
                  const std::string& loadBefore) {
  std::ostringstream o;
  o << "cores " << std::thread::hardware_concurrency() << ", load average " << loadBefore
    << " before the run, " << LoadAverage() << " after\n\n";
  constexpr size_t kLabel = 46, kUnit = 6, kCol = 18;
  o << Pad("", kLabel) << Pad("unit", kUnit);
  for (auto& i : impls) o << Pad(i.name, kCol);
  o << "\n";
  for (auto& m : metrics) {
    if (!results.count(m.key)) continue;  // not run
    for (int row = 0; row < (m.tail ? 2 : 1); ++row) {
      std::string label = m.label;
      if (m.tail) label += row == 0 ? "  median" : (m.higherIsBetter ? "  p99 (slow)" : "  p99");
      o << Pad(label, kLabel) << Pad(m.unit, kUnit);
      const std::optional<Cell> raw = CellOf(m.key, "raw");
      for (auto& i : impls) {
        std::string cell;
        const std::optional<Cell> mine = CellOf(m.key, i.name);
        if (!i.absent.empty()) {
          cell = i.absent;
        } else if (m.componentOnly && i.name != "quellin") {
          cell = "n/a";
        } else if (!mine) {
          cell = "failed";
        } else if (const Cell& c = *mine; !c.ok) {
          cell = c.note;
        } else {
          const double v = row == 0 ? c.median : c.p99;
          cell = Fmt(v);
          const double r = raw && raw->ok ? (row == 0 ? raw->median : raw->p99) : 0;
          // A ratio to the raw near end's footprint (next to nothing) would say nothing.
          const bool footprint = m.key.rfind("mem", 0) == 0 || m.key.rfind("thr", 0) == 0;
          if (i.name != "raw" && r != 0 && !footprint) cell += " (" + Fmt(v / r) + "x)";
        }
        o << Pad(cell, kCol);
      }
      o << "\n";
    }
  }
  o << "\n(x) is the ratio to raw in the same row. p99 of a rate is its slowest 1%.\n"
       "quellin sends through Text in the per-byte row and through WriteComm in the block row;\n"
       "both write one byte per system call. Handler = OnDataAvailable on the main thread; for\n"
       "the others the first moment the program's own code holds the data or the readiness.\n"
       "Memory per port: growth of the process's resident set when the ports open; threads\n"
       "likewise. Streaming ports get 115 bytes every 10 ms (a busy 115200-baud line).\n";
  std::set<std::string> told;  // a failure repeated in every round is told once
  for (auto& f : failures)
    if (told.insert(f).second) o << "failed: " << f << "\n";
  for (auto& line : checks) o << line << "\n";
  return o.str();
}

// Verdicts for the component's targets, each a ratio against the same run.
std::vector<std::string> Checks(const std::vector<Impl>& impls) {
  std::vector<std::string> out;
  const std::string us = "quellin";
  std::map<std::string, Cell> kept;
  auto cell = [&](const std::string& key, const std::string& impl) -> const Cell* {
    auto c = CellOf(key, impl);
    if (!c || !c->ok) return nullptr;
    return &(kept[key + "/" + impl] = *c);
  };
  auto verdict = [&](const std::string& what, bool measured, bool pass, const std::string& fig) {
    out.push_back("target: " + Pad(what, 56) +
                  (measured ? (pass ? "met     " : "MISSED  ") + fig : "not measured"));
  };
  for (const char* key : {"lat1", "lat2"}) {
    const Cell *q = cell(key, us), *r = cell(key, "raw");
    bool pass = q && r && q->median <= 2 * r->median;
    std::string fig = q && r ? Fmt(q->median / r->median) + "x raw" : "";
    for (auto& i : impls) {
      if (i.name == "raw" || i.name == us) continue;
      const Cell* peer = cell(key, i.name);
      if (!peer) continue;
      pass = pass && q->median < peer->median;
      fig += ", " + i.name + " " + Fmt(peer->median / r->median) + "x";
    }
    verdict(std::string(key == std::string("lat1") ? "byte -> handler" : "round trip") +
                " median <= 2x raw, ahead of every peer",
            q && r, pass, fig);
  }
  auto ratio = [&](const std::string& key, const std::string& base, double floor,
                   const std::string& what) {
    const Cell *q = cell(key, us), *r = cell(base, "raw");
    verdict(what, q && r, q && r && q->median >= floor * r->median,
            q && r ? Fmt(q->median / r->median) + "x raw" : "");
  };
  ratio("rx", "rx", 0.5, "receive throughput >= 0.5x raw");
  ratio("txbyte", "txbyte", 0.8, "per-byte send >= 0.8x raw per-byte");
  if (const Cell* w = cell("idlewake", us); true)
    verdict("idle wake-ups in 5 s == 0", w, w && w->median == 0, w ? Fmt(w->median) : "");
  for (const char* key : {"mem256", "memv256"}) {
    const Cell* m = cell(key, us);
    verdict(std::string("memory per open port < 256 KiB (") +
                (key[3] == 'v' ? "256 virtual)" : "256 ptys)"),
            m, m && m->median < 256, m ? Fmt(m->median) + " KiB" : "");
  }
  return out;
}

void WriteSamples(const std::string& dir, const std::vector<Impl>& impls) {
  for (auto& i : impls) {
    if (!results["lat1"].count(i.name) || !results["lat2"].count(i.name)) continue;
    auto a = results["lat1"][i.name].v, b = results["lat2"][i.name].v;
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    std::ofstream f(dir + "/latency-" + i.name + ".dat");
    f << "# quantile  byte_to_handler_us  round_trip_us\n";
    for (size_t k = 0; k < a.size(); ++k)
      f << (k + 0.5) / static_cast<double>(a.size()) << " " << a[k] << " " << b[k] << "\n";
  }
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  std::string out = ".";
  std::vector<Impl> impls;
  std::vector<std::string> only;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
      return argv[++i];
    };
    if (a == "--out") {
      out = next();
    } else if (a == "--quick") {
      cfg.latencyRounds = 2, cfg.latencyTrials = 100, cfg.latencyWarmup = 20;
      cfg.rxRounds = 2, cfg.rxBytes = 4 << 20, cfg.txByteRounds = 2, cfg.txBlockRounds = 2;
      cfg.txBytes = 64 << 10, cfg.idleSeconds = 1;
      cfg.scalePorts = {1, 16};
      cfg.scaleRounds = 1, cfg.scaleTrials = 100, cfg.scaleWarmup = 10, cfg.scaleCycles = 64;
    } else if (a == "--only") {
      only.push_back(next());
    } else if (a == "--impl" || a == "--absent") {
      std::string v = next();
      auto eq = v.find('=');
      Impl impl{v.substr(0, eq), {}, {}};
      if (a == "--absent") {
        impl.absent = v.substr(eq + 1);
      } else {
        std::istringstream words(v.substr(eq + 1));
        for (std::string w; words >> w;) impl.argv.push_back(w);
      }
      impls.push_back(impl);
    } else {
      std::fprintf(stderr, "unknown argument %s\n", a.c_str());
      return 2;
    }
  }
  DefineMetrics();
  const std::string loadBefore = LoadAverage();
  struct Workload {
    std::string name;
    int rounds;
    std::function<void(const Impl&)> run;
  };
  const std::vector<Workload> workloads{
      {"latency", cfg.latencyRounds, Latency},
      {"rx", cfg.rxRounds, Receive},
      {"txbyte", cfg.txByteRounds, [](const Impl& i) { Send(i, true); }},
      {"txblock", cfg.txBlockRounds, [](const Impl& i) { Send(i, false); }},
      {"idle", 1, Idle},
      {"scale", cfg.scaleRounds,
       [](const Impl& i) {
         for (int n : cfg.scalePorts) {
           try {
             Scale(i, n);
           } catch (const Failure& e) {
             std::fprintf(stderr, "  %s, %d ports: %s\n", i.name.c_str(), n, e.what());
             failures.push_back("scale " + std::to_string(n) + " " + i.name + ": " + e.what() +
                                (nearEndLastWords.empty() ? "" : " (" + nearEndLastWords + ")"));
           }
         }
         if (i.name != "quellin") return;
         for (int n : cfg.scalePorts) {
           try {
             VirtualScale(i, n);
           } catch (const Failure& e) {
             std::fprintf(stderr, "  %s, %d virtual pairs: %s\n", i.name.c_str(), n, e.what());
             failures.push_back("virtual scale " + std::to_string(n) + ": " + e.what() +
                                (nearEndLastWords.empty() ? "" : " (" + nearEndLastWords + ")"));
           }
         }
       }},
  };
  for (auto& [name, rounds, run] : workloads) {
    if (!only.empty() && std::find(only.begin(), only.end(), name) == only.end()) continue;
    std::set<std::string> failed;
    for (int round = 0; round < rounds; ++round) {
      for (auto& impl : impls) {
        if (!impl.absent.empty() || failed.count(impl.name)) continue;
        std::fprintf(stderr, "%-8s %d/%d %-14s ...", name.c_str(), round + 1, rounds,
                     impl.name.c_str());
        const std::int64_t t0 = NowNs();
        try {
          run(impl);
          std::fprintf(stderr, " %.1f s\n", (NowNs() - t0) / 1e9);
        } catch (const Failure& e) {
          std::fprintf(stderr, " FAILED: %s\n", e.what());
          failures.push_back(name + " " + impl.name + ": " + e.what() +
                             (nearEndLastWords.empty() ? "" : " (" + nearEndLastWords + ")"));
          failed.insert(impl.name);
        }
      }
    }
  }
  const std::string table = Table(impls, Checks(impls), loadBefore);
  std::fputs(table.c_str(), stdout);
  std::ofstream(out + "/table.txt") << table;
  WriteSamples(out, impls);
  return 0;
}
