// The serial services against raw poll()/read()/write() on the same kind of pty, in one run:
//   round trip    one byte far end -> WaitCommEvent + ReadFile -> WriteFile -> far end (median)
//   receive       bytes per second taken by ReadFile vs read()
//   per-byte send one WriteFile per byte vs one write() per byte
//   idle          wake-ups of the whole process while a WaitCommEvent waits 5 s with no traffic
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "platform/win32.h"

using namespace win32;
using Clock = std::chrono::steady_clock;

namespace {

using namespace quellin::bench;

void ReadAll(int fd, char* p, size_t n) {
  while (n) {
    pollfd q{fd, POLLIN, 0};
    poll(&q, 1, -1);
    ssize_t r = read(fd, p, n);
    if (r > 0) p += r, n -= static_cast<size_t>(r);
  }
}

HANDLE Open(const char* name) {
  HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "open %s failed: %u\n", name, GetLastError());
    std::exit(1);
  }
  return h;
}

// One overlapped transfer, waited for.
DWORD Transfer(HANDLE h, bool write, void* buf, DWORD n, OVERLAPPED& ov) {
  DWORD done = 0;
  BOOL ok = write ? WriteFile(h, buf, n, &done, &ov) : ReadFile(h, buf, n, &done, &ov);
  if (!ok && GetLastError() == ERROR_IO_PENDING) GetOverlappedResult(h, &ov, &done, TRUE);
  return done;
}

constexpr int kTrips = 2000;

double RawRoundTrip() {
  Pty p;
  std::atomic<bool> stop{false};
  std::thread echo([&] {
    char c;
    while (!stop) {
      pollfd q{p.slave, POLLIN, 0};
      if (poll(&q, 1, 100) <= 0) continue;
      if (read(p.slave, &c, 1) == 1) WriteAll(p.slave, &c, 1);
    }
  });
  std::vector<double> us;
  for (int i = 0; i < kTrips; ++i) {
    char c = static_cast<char>(i), back;
    auto t0 = Clock::now();
    WriteAll(p.master, &c, 1);
    ReadAll(p.master, &back, 1);
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  stop = true;
  echo.join();
  return Median(us);
}

double OurRoundTrip() {
  Pty p;
  p.DropSlave();
  HANDLE h = Open(p.name);
  COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};
  SetCommTimeouts(h, &t);
  SetCommMask(h, EV_RXCHAR);
  std::atomic<bool> stop{false};
  std::thread echo([&] {
    OVERLAPPED wait{}, rd{}, wr{};
    wait.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    rd.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    wr.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buf[64];
    while (!stop) {
      DWORD mask = 0, n = 0;
      if (!WaitCommEvent(h, &mask, &wait)) {
        if (GetLastError() != ERROR_IO_PENDING) break;
        GetOverlappedResult(h, &wait, &n, TRUE);
      }
      if (!(mask & EV_RXCHAR)) continue;
      DWORD got = Transfer(h, false, buf, sizeof buf, rd);
      if (got) Transfer(h, true, buf, got, wr);
    }
    CloseHandle(wait.hEvent);
    CloseHandle(rd.hEvent);
    CloseHandle(wr.hEvent);
  });
  std::vector<double> us;
  for (int i = 0; i < kTrips; ++i) {
    char c = static_cast<char>(i), back;
    auto t0 = Clock::now();
    WriteAll(p.master, &c, 1);
    ReadAll(p.master, &back, 1);
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  stop = true;
  SetCommMask(h, EV_RXCHAR);  // releases the pending wait
  echo.join();
  CloseHandle(h);
  return Median(us);
}

constexpr size_t kBulk = 32 << 20;

// Bytes per second received; the far end writes as fast as the pty takes it.
template <class Receive>
double Throughput(Pty& p, Receive receive) {
  std::thread feeder([&] {
    std::vector<char> chunk(4096, 'x');
    for (size_t sent = 0; sent < kBulk; sent += chunk.size())
      WriteAll(p.master, chunk.data(), chunk.size());
  });
  auto t0 = Clock::now();
  receive();
  double s = std::chrono::duration<double>(Clock::now() - t0).count();
  feeder.join();
  return kBulk / s;
}

double RawReceive() {
  Pty p;
  return Throughput(p, [&] {
    std::vector<char> buf(4096);
    for (size_t got = 0; got < kBulk;) {
      pollfd q{p.slave, POLLIN, 0};
      poll(&q, 1, -1);
      ssize_t r = read(p.slave, buf.data(), buf.size());
      if (r > 0) got += static_cast<size_t>(r);
    }
  });
}

double OurReceive() {
  Pty p;
  p.DropSlave();
  HANDLE h = Open(p.name);
  COMMTIMEOUTS t{MAXDWORD, MAXDWORD, 10000, 0, 0};  // return with whatever arrives first
  SetCommTimeouts(h, &t);
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  double r = Throughput(p, [&] {
    std::vector<char> buf(4096);
    for (size_t got = 0; got < kBulk;) got += Transfer(h, false, buf.data(), 4096, ov);
  });
  CloseHandle(ov.hEvent);
  CloseHandle(h);
  return r;
}

constexpr size_t kBytes = 200000;

template <class Send>
double PerByte(Pty& p, Send send) {
  std::thread drain([&] {
    std::vector<char> buf(kBytes);
    ReadAll(p.master, buf.data(), kBytes);
  });
  auto t0 = Clock::now();
  send();
  drain.join();
  return kBytes / std::chrono::duration<double>(Clock::now() - t0).count();
}

double RawPerByte() {
  Pty p;
  return PerByte(p, [&] {
    for (size_t i = 0; i < kBytes; ++i) {
      char c = static_cast<char>(i);
      WriteAll(p.slave, &c, 1);
    }
  });
}

double OurPerByte() {
  Pty p;
  p.DropSlave();
  HANDLE h = Open(p.name);
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  double r = PerByte(p, [&] {
    for (size_t i = 0; i < kBytes; ++i) {
      char c = static_cast<char>(i);
      Transfer(h, true, &c, 1, ov);
    }
  });
  CloseHandle(ov.hEvent);
  CloseHandle(h);
  return r;
}

long long IdleWakeups() {
  Pty p;
  p.DropSlave();
  HANDLE h = Open(p.name);
  SetCommMask(h, EV_RXCHAR);
  std::atomic<bool> waiting{false};
  std::thread monitor([&] {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD mask = 0, n = 0;
    if (!WaitCommEvent(h, &mask, &ov)) {
      waiting = true;
      GetOverlappedResult(h, &ov, &n, TRUE);
    }
    CloseHandle(ov.hEvent);
  });
  while (!waiting) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let everything settle
  long long before = OthersSwitches();
  std::this_thread::sleep_for(std::chrono::seconds(5));
  long long after = OthersSwitches();
  SetCommMask(h, 0);
  monitor.join();
  CloseHandle(h);
  return after - before;
}

}  // namespace

int main() {
  const double rawTrip = RawRoundTrip(), ourTrip = OurRoundTrip();
  const double rawRx = RawReceive(), ourRx = OurReceive();
  const double rawTx = RawPerByte(), ourTx = OurPerByte();
  const long long wakeups = IdleWakeups();
  std::printf(
      "round trip, median      raw %8.1f us   ours %8.1f us   ours/raw %.2f (target <= 1.5)\n",
      rawTrip, ourTrip, ourTrip / rawTrip);
  std::printf(
      "receive throughput      raw %8.1f MB/s ours %8.1f MB/s ours/raw %.2f (target >= 0.8)\n",
      rawRx / 1e6, ourRx / 1e6, ourRx / rawRx);
  std::printf(
      "per-byte write          raw %8.0f B/s  ours %8.0f B/s  ours/raw %.2f (target >= 0.8)\n",
      rawTx, ourTx, ourTx / rawTx);
  std::printf("idle wake-ups in 5 s with a WaitCommEvent pending: %lld (target 0)\n", wakeups);
  return 0;
}
