// Near end on the component, used the way an application uses it: the main thread runs the
// application's message loop, OnDataAvailable reads Text, replies are assigned to Text.
//
// Besides the modes every near end has, "vscale" runs the scale workload on in-process virtual
// null-modem pairs: the component holds one end of each, a far end inside this process holds
// the other, so the near end reports its one-way latencies itself.
#include <sys/resource.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.h"
#include "component/Quellin.h"
#include "platform/virtual.h"

namespace {

// Line settings as every near end has them: 115200 8N1, no parity check, no flow control of
// any kind (XON/XOFF would swallow pattern bytes 0x11 and 0x13).
std::unique_ptr<TQuellin> Make(const std::string& port) {
  auto q = std::make_unique<TQuellin>(nullptr);
  q->Port = port.c_str();
  q->BaudRate = 115200;
  q->DataBits = databits8;
  q->Parity = no_parity;
  q->StopBits = stop1;
  q->EnableParity = false;
  q->XOuputFlowCtl = false;
  q->XInputFlowCtl = false;
  q->CTSFlowCtl = false;
  q->DSRFlowCtl = false;
  q->AbortOnError = false;
  // MaxReadLength stays at its default: a pty hands over less than 4 KiB per read anyway.
  return q;
}

void Open(TQuellin& q) {
  if (!q.OpenConnection()) {
    std::fprintf(stderr, "OpenConnection %s failed: %u\n", q.Port.c_str(), win32::GetLastError());
    std::exit(1);
  }
}

long long CpuUs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000LL + u.ru_utime.tv_usec +
         u.ru_stime.tv_usec;
}

void PrintStamps(const std::vector<std::int64_t>& stamps) {
  bench::Say("stamps %zu", stamps.size());
  for (auto t : stamps) std::printf("%lld\n", static_cast<long long>(t));
}

std::vector<unsigned char> Pattern(std::uint64_t n) {
  std::vector<unsigned char> v(n);
  for (std::uint64_t i = 0; i < n; ++i) v[i] = bench::PatternByte(i);
  return v;
}

// Port 0 of a scale run echoes and stamps; the others are read and dropped.
void WireScale(std::vector<std::unique_ptr<TQuellin>>& ports, std::vector<std::int64_t>& stamps,
               size_t count) {
  TQuellin* first = ports[0].get();
  first->OnDataAvailable = [first, &stamps, count](TObject*) {
    const std::int64_t t = bench::NowNs();
    AnsiString got = first->Text;
    stamps.insert(stamps.end(), static_cast<size_t>(got.Length()), t);
    if (got.Length()) first->Text = got;
    if (stamps.size() >= count) vcl::Application->Terminate();
  };
  for (size_t i = 1; i < ports.size(); ++i) {
    TQuellin* q = ports[i].get();
    q->OnDataAvailable = [q](TObject*) { AnsiString drop = q->Text; };
  }
}

double Cycles(std::vector<std::unique_ptr<TQuellin>>& ports, int cycles) {
  for (auto& q : ports) q->CloseConnection();
  const std::int64_t c0 = bench::NowNs();
  int done = 0;
  while (done < cycles) {
    for (auto& q : ports) Open(*q);
    for (auto& q : ports) q->CloseConnection();
    done += static_cast<int>(ports.size());
  }
  return done / ((bench::NowNs() - c0) / 1e9);
}

// ---- The far end of the virtual pairs ----------------------------------------------------------
using namespace win32;

HANDLE OpenEnd(const std::string& name) {
  HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "far end %s: %u\n", name.c_str(), GetLastError());
    std::exit(1);
  }
  // A read returns as soon as any byte is there.
  COMMTIMEOUTS t{MAXDWORD, MAXDWORD, 10000, 0, 10000};
  SetCommTimeouts(h, &t);
  return h;
}

DWORD Transfer(HANDLE h, bool write, void* buf, DWORD n, OVERLAPPED& ov) {
  DWORD done = 0;
  BOOL ok = write ? WriteFile(h, buf, n, &done, &ov) : ReadFile(h, buf, n, &done, &ov);
  if (!ok && GetLastError() == ERROR_IO_PENDING) GetOverlappedResult(h, &ov, &done, TRUE);
  return done;
}

struct FarEnds {
  std::vector<std::unique_ptr<quellin::VirtualNullModem>> cables;
  std::vector<HANDLE> ends;
  explicit FarEnds(size_t n) {
    const std::string tag = std::to_string(getpid());
    for (size_t i = 0; i < n; ++i) {
      const std::string a = "qbench" + tag + "a" + std::to_string(i);
      const std::string b = "qbench" + tag + "b" + std::to_string(i);
      cables.push_back(std::make_unique<quellin::VirtualNullModem>(a, b));
      ends.push_back(OpenEnd(b));
    }
  }
  ~FarEnds() {
    for (HANDLE h : ends) CloseHandle(h);
  }
  std::string Near(size_t i) const { return cables[i]->A().Name(); }
};

// Pings pair 0 and streams to the others at a serial line's pace, as far.cpp does on ptys.
void VirtualFarEnd(FarEnds& far, int warmup, int trials, std::vector<std::int64_t>& sent,
                   std::vector<std::int64_t>& back) {
  std::atomic<bool> stop{false};
  std::thread streamer([&] {
    if (far.ends.size() < 2) return;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    int tfd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    itimerspec its{{0, 10'000'000}, {0, 10'000'000}};
    timerfd_settime(tfd, 0, &its, nullptr);
    char chunk[115];
    std::fill(std::begin(chunk), std::end(chunk), 'x');
    while (!stop) {
      std::uint64_t ticks;
      if (read(tfd, &ticks, sizeof ticks) != sizeof ticks) continue;
      for (size_t i = 1; i < far.ends.size() && !stop; ++i)
        Transfer(far.ends[i], true, chunk, sizeof chunk, ov);
    }
    close(tfd);
    CloseHandle(ov.hEvent);
  });
  OVERLAPPED wr{}, rd{};
  wr.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  rd.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  for (int i = 0; i < warmup + trials; ++i) {
    timespec gap{0, 250'000};
    nanosleep(&gap, nullptr);
    unsigned char b = static_cast<unsigned char>(i), got = 0;
    const std::int64_t t0 = bench::NowNs();
    Transfer(far.ends[0], true, &b, 1, wr);
    while (Transfer(far.ends[0], false, &got, 1, rd) != 1) {
    }
    back.push_back(bench::NowNs());
    sent.push_back(t0);
  }
  stop = true;
  streamer.join();
  CloseHandle(wr.hEvent);
  CloseHandle(rd.hEvent);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string mode = argv[1];
  if (mode == "latency") {
    auto q = Make(argv[2]);
    const size_t count = std::strtoul(argv[3], nullptr, 10);
    std::vector<std::int64_t> stamps;
    stamps.reserve(count);
    TQuellin* p = q.get();
    q->OnDataAvailable = [p, &stamps, count](TObject*) {
      const std::int64_t t = bench::NowNs();
      AnsiString got = p->Text;
      stamps.insert(stamps.end(), static_cast<size_t>(got.Length()), t);
      if (got.Length()) p->Text = got;
      if (stamps.size() >= count) vcl::Application->Terminate();
    };
    Open(*q);
    bench::Say("ready");
    vcl::Application->Run();
    PrintStamps(stamps);
    bench::Say("end");
    bench::Hear();
    q->CloseConnection();
  } else if (mode == "rx") {
    auto q = Make(argv[2]);
    const int trials = std::atoi(argv[3]);
    const std::uint64_t bytes = std::strtoull(argv[4], nullptr, 10);
    std::uint64_t got = 0;
    int done = 0;
    bool good = true;
    TQuellin* p = q.get();
    q->OnDataAvailable = [&, p](TObject*) {
      AnsiString text = p->Text;
      const auto n = static_cast<std::uint64_t>(text.Length());
      good = good && bench::CheckPattern(got, reinterpret_cast<const unsigned char*>(text.data()),
                                         text.Length());
      got += n;
      if (got >= bytes) {
        p->Text = AnsiString(good && got == bytes ? "K" : "E");
        got = 0, good = true;
        if (++done == trials) vcl::Application->Terminate();
      }
    };
    Open(*q);
    bench::Say("ready");
    vcl::Application->Run();
    bench::Hear();
    q->CloseConnection();
  } else if (mode == "tx") {
    auto q = Make(argv[2]);
    const int trials = std::atoi(argv[3]);
    const std::uint64_t bytes = std::strtoull(argv[4], nullptr, 10);
    const bool viaText = std::string(argv[5]) == "byte";
    auto data = Pattern(bytes);
    const AnsiString text(reinterpret_cast<const char*>(data.data()),
                          static_cast<int>(data.size()));
    int done = 0;
    TQuellin* p = q.get();
    q->OnDataAvailable = [&, p](TObject*) {
      AnsiString got = p->Text;
      for (int i = 0; i < got.Length(); ++i) {
        if (got.data()[i] != bench::kGo) continue;
        if (viaText)
          p->Text = text;
        else
          p->WriteComm(data.data(), static_cast<std::int32_t>(data.size()));
        if (++done == trials) vcl::Application->Terminate();
      }
    };
    Open(*q);
    bench::Say("ready");
    vcl::Application->Run();
    bench::Hear();
    q->CloseConnection();
  } else if (mode == "idle") {
    auto q = Make(argv[2]);
    long long cpu0 = 0;
    TQuellin* p = q.get();
    q->OnDataAvailable = [&, p](TObject*) {
      bench::Say("cpu_us %lld", CpuUs() - cpu0);
      AnsiString drop = p->Text;
      vcl::Application->Terminate();
    };
    Open(*q);
    cpu0 = CpuUs();
    bench::Say("ready");
    vcl::Application->Run();
    q->CloseConnection();
  } else if (mode == "scale") {
    const size_t count = std::strtoul(argv[2], nullptr, 10);
    const int cycles = std::atoi(argv[3]);
    std::vector<std::string> paths(argv + 4, argv + argc);
    {
      auto warm = Make(paths[0]);
      Open(*warm);
      warm->CloseConnection();
    }
    bench::Say("ready");
    if (bench::Hear() != "open") return 1;
    std::vector<std::unique_ptr<TQuellin>> ports;
    for (auto& p : paths) ports.push_back(Make(p));
    for (auto& q : ports) Open(*q);
    bench::Say("opened");
    if (bench::Hear() != "run") return 1;
    std::vector<std::int64_t> stamps;
    WireScale(ports, stamps, count);
    vcl::Application->Run();
    PrintStamps(stamps);
    bench::Say("end");
    bench::Hear();
    const double rate = Cycles(ports, cycles);
    bench::Say("cycles_per_s %.1f", rate);
    bench::Say("end");
  } else if (mode == "vscale") {
    const int warmup = std::atoi(argv[2]);
    const int trials = std::atoi(argv[3]);
    const int cycles = std::atoi(argv[4]);
    const size_t n = std::strtoul(argv[5], nullptr, 10);
    FarEnds far(n);
    {
      auto warm = Make(far.Near(0));
      Open(*warm);
      warm->CloseConnection();
    }
    bench::Say("ready");
    if (bench::Hear() != "open") return 1;
    std::vector<std::unique_ptr<TQuellin>> ports;
    for (size_t i = 0; i < n; ++i) ports.push_back(Make(far.Near(i)));
    for (auto& q : ports) Open(*q);
    bench::Say("opened");
    if (bench::Hear() != "run") return 1;
    std::vector<std::int64_t> stamps, sent, back;
    WireScale(ports, stamps, static_cast<size_t>(warmup + trials));
    std::thread farEnd([&] { VirtualFarEnd(far, warmup, trials, sent, back); });
    vcl::Application->Run();
    farEnd.join();
    // One-way latencies of the measured trials, already in ns.
    std::vector<std::int64_t> oneWay;
    for (size_t i = static_cast<size_t>(warmup); i < sent.size() && i < stamps.size(); ++i)
      oneWay.push_back(stamps[i] - sent[i]);
    PrintStamps(oneWay);
    bench::Say("end");
    bench::Hear();
    const double rate = Cycles(ports, cycles);
    bench::Say("cycles_per_s %.1f", rate);
    bench::Say("end");
  } else {
    return 2;
  }
  return 0;
}
