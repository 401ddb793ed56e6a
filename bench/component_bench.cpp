// The component on a pseudo-terminal against the raw pty, measured in the same run:
//   latency     one byte written at the far end -> OnDataAvailable on the main thread, against
//               write() -> a reader blocked in poll() on the slave waking (median of many)
//   receive     bytes per second through OnDataAvailable + Text, against poll() + read()
//   idle        wake-ups of the process while a connected component waits 5 s with no traffic
//   memory      heap, resident memory, threads and descriptors per open component
// Prints each figure and its ratio to the raw one with the target beside it.
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "component/Quellin.h"

using Clock = std::chrono::steady_clock;

namespace {

using namespace quellin::bench;

double Micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

// Waits on the calling thread's message queue and dispatches what comes, until done or the bound.
template <class Pred>
bool Pump(Pred done, int boundMs = 10000) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(boundMs);
  while (!done()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{vcl::Application->MessageFd(), POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) > 0) vcl::Application->ProcessMessages();
  }
  return true;
}

std::unique_ptr<TQuellin> OpenComponent(const char* port) {
  auto q = std::make_unique<TQuellin>(nullptr);
  q->Port = port;
  // Raw bytes: no byte value is taken as flow control.
  q->XOuputFlowCtl = false;
  q->XInputFlowCtl = false;
  if (!q->OpenConnection()) {
    std::fprintf(stderr, "open %s failed: %u\n", port, win32::GetLastError());
    std::exit(1);
  }
  return q;
}

constexpr int kSamples = 500;  // per round

// Median of one round: a byte written by this thread wakes a reader blocked in poll() on the
// slave, on another thread.
double RawLatency() {
  Pty p;
  std::mutex m;
  std::condition_variable cv;
  int seen = 0;
  Clock::time_point t1;
  std::thread reader([&] {
    char buf[16];
    for (int i = 0; i < kSamples; ++i) {
      pollfd q{p.slave, POLLIN, 0};
      poll(&q, 1, -1);
      const auto now = Clock::now();
      (void)!read(p.slave, buf, sizeof buf);
      std::lock_guard g(m);
      t1 = now;
      ++seen;
      cv.notify_one();
    }
  });
  std::vector<double> us;
  char c = 'x';
  for (int i = 0; i < kSamples; ++i) {
    const auto t0 = Clock::now();
    WriteAll(p.master, &c, 1);
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return seen > i; });
    us.push_back(Micros(t1 - t0));
  }
  reader.join();
  return Median(us);
}

// The same with the component: the main thread waits in its message loop, another thread writes.
double ComponentLatency() {
  Pty p;
  p.DropSlave();
  auto q = OpenComponent(p.name);
  std::atomic<Clock::rep> t0{0};
  std::atomic<int> turn{0};  // the writer's go, sample by sample
  Clock::time_point t1;
  bool arrived = false;
  q->OnDataAvailable = [&](TObject*) {
    if (!arrived) t1 = Clock::now();
    arrived = true;
    AnsiString drained = q->Text;
  };
  std::thread writer([&] {
    char c = 'x';
    for (int i = 0; i < kSamples; ++i) {
      while (turn.load() <= i) turn.wait(i);
      t0 = Clock::now().time_since_epoch().count();
      WriteAll(p.master, &c, 1);
    }
  });
  std::vector<double> us;
  for (int i = 0; i < kSamples; ++i) {
    arrived = false;
    turn = i + 1;
    turn.notify_one();
    if (!Pump([&] { return arrived; })) {
      std::fprintf(stderr, "latency: no notification\n");
      std::exit(1);
    }
    us.push_back(Micros(t1 - Clock::time_point(Clock::duration(t0.load()))));
  }
  writer.join();
  q->CloseConnection();
  return Median(us);
}

constexpr size_t kVolume = 16u << 20;  // per round

// The far end writes kVolume bytes as fast as the pty takes them.
std::thread Flood(int master) {
  return std::thread([master] {
    std::vector<char> block(65536, 'q');
    for (size_t sent = 0; sent < kVolume; sent += block.size())
      WriteAll(master, block.data(), block.size());
  });
}

double RawReceive() {
  Pty p;
  std::vector<char> buf(65536);
  const auto t0 = Clock::now();
  std::thread far = Flood(p.master);
  size_t got = 0;
  while (got < kVolume) {
    pollfd q{p.slave, POLLIN, 0};
    poll(&q, 1, -1);
    ssize_t r = read(p.slave, buf.data(), buf.size());
    if (r > 0) got += static_cast<size_t>(r);
  }
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  far.join();
  return static_cast<double>(kVolume) / s;
}

double ComponentReceive() {
  Pty p;
  p.DropSlave();
  auto q = OpenComponent(p.name);
  size_t got = 0;
  q->OnDataAvailable = [&](TObject*) {
    for (;;) {
      const AnsiString s = q->Text;
      if (s.IsEmpty()) break;
      got += static_cast<size_t>(s.Length());
    }
  };
  const auto t0 = Clock::now();
  std::thread far = Flood(p.master);
  if (!Pump([&] { return got >= kVolume; }, 120000)) {
    std::fprintf(stderr, "receive: only %zu bytes\n", got);
    std::exit(1);
  }
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  far.join();
  q->CloseConnection();
  return static_cast<double>(kVolume) / s;
}

// Wake-ups in 5 s with a connected component and no traffic: switches of the other threads,
// plus one if the main thread's message wait returned before its time.
long long IdleWakeups() {
  Pty p;
  p.DropSlave();
  auto q = OpenComponent(p.name);
  vcl::Application->ProcessMessages();
  // Let the monitor reach its wait (it is the only thing that may still be starting).
  pollfd settle{vcl::Application->MessageFd(), POLLIN, 0};
  poll(&settle, 1, 200);
  const long long before = OthersSwitches();
  pollfd idle{vcl::Application->MessageFd(), POLLIN, 0};
  const int woke = poll(&idle, 1, 5000);
  const long long after = OthersSwitches();
  q->CloseConnection();
  return (after - before) + (woke > 0 ? 1 : 0);
}

long long Resident() {
  std::ifstream f("/proc/self/statm");
  long long size = 0, resident = 0;
  f >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

int CountEntries(const char* dir) {
  int n = 0;
  DIR* d = opendir(dir);
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

struct PerComponent {
  double heap, resident, threads, fds;
};

PerComponent Memory() {
  constexpr int kCount = 50;
  std::vector<std::unique_ptr<Pty>> ptys;
  for (int i = 0; i < kCount; ++i) {
    ptys.push_back(std::make_unique<Pty>());
    ptys.back()->DropSlave();
  }
  const long long heap0 = static_cast<long long>(mallinfo2().uordblks), rss0 = Resident();
  const int threads0 = CountEntries("/proc/self/task"), fds0 = CountEntries("/proc/self/fd");
  std::vector<std::unique_ptr<TQuellin>> open;
  for (auto& p : ptys) open.push_back(OpenComponent(p->name));
  PerComponent r{static_cast<double>(static_cast<long long>(mallinfo2().uordblks) - heap0) / kCount,
                 static_cast<double>(Resident() - rss0) / kCount,
                 static_cast<double>(CountEntries("/proc/self/task") - threads0) / kCount,
                 static_cast<double>(CountEntries("/proc/self/fd") - fds0) / kCount};
  for (auto& q : open) q->CloseConnection();
  return r;
}

}  // namespace

int main() {
  // Warm up what exists once per process (the I/O thread, the message queue).
  {
    Pty p;
    p.DropSlave();
    OpenComponent(p.name)->CloseConnection();
  }
  // The machine's load moves both figures; alternating the two in rounds and taking medians keeps
  // each ratio between measurements made under the same conditions.
  constexpr int kRounds = 5;
  std::vector<double> rawLat, ourLat, rawRx, ourRx;
  for (int round = 0; round < kRounds; ++round) {
    rawLat.push_back(RawLatency());
    ourLat.push_back(ComponentLatency());
    rawRx.push_back(RawReceive());
    ourRx.push_back(ComponentReceive());
  }
  const long long wakeups = IdleWakeups();
  const PerComponent mem = Memory();

  const double rl = Median(rawLat), ol = Median(ourLat), rr = Median(rawRx), orx = Median(ourRx);
  std::printf(
      "byte arrival -> OnDataAvailable, median: %.1f us; raw pty %.1f us; ratio %.2fx "
      "(target <= 2x)\n",
      ol, rl, ol / rl);
  std::printf(
      "receive through OnDataAvailable + Text: %.1f MB/s; raw pty %.1f MB/s; ratio %.2fx "
      "(target >= 0.5x)\n",
      orx / 1e6, rr / 1e6, orx / rr);
  std::printf("idle connected component, wake-ups in 5 s: %lld (target 0)\n", wakeups);
  std::printf(
      "per open component: heap %.0f B, resident %.0f KiB, threads %.2f, descriptors "
      "%.2f\n",
      mem.heap, mem.resident / 1024.0, mem.threads, mem.fds);
  return 0;
}
