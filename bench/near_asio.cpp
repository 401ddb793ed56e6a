// Near end on boost::asio's serial_port in its usual style: one io_context, async_read_some
// handlers that re-arm themselves, synchronous asio::write for replies and output.
#include <sys/resource.h>

#include <utility>  // Boost 1.74's asio uses std::exchange without including it under C++20

#include <boost/asio.hpp>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench_common.h"

namespace asio = boost::asio;

namespace {

std::unique_ptr<asio::serial_port> Open(asio::io_context& io, const char* path) {
  auto port = std::make_unique<asio::serial_port>(io, path);
  port->set_option(asio::serial_port::baud_rate(115200));
  port->set_option(asio::serial_port::character_size(8));
  port->set_option(asio::serial_port::parity(asio::serial_port::parity::none));
  port->set_option(asio::serial_port::stop_bits(asio::serial_port::stop_bits::one));
  port->set_option(asio::serial_port::flow_control(asio::serial_port::flow_control::none));
  return port;
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

// Reads port i until done() says so; port 0 echoes what it gets and stamps it.
struct Reader {
  explicit Reader(asio::serial_port& p) : port(p) {}
  asio::serial_port& port;
  std::vector<char> buf = std::vector<char>(1 << 16);
  std::function<bool(const char*, size_t)> onData;  // false: stop reading
  void Arm() {
    port.async_read_some(asio::buffer(buf), [this](boost::system::error_code ec, size_t n) {
      if (ec) return;
      if (onData(buf.data(), n)) Arm();
    });
  }
};

}  // namespace

int main(int argc, char** argv) try {
  if (argc < 3) return 2;
  const std::string mode = argv[1];
  asio::io_context io;
  if (mode == "latency") {
    auto port = Open(io, argv[2]);
    const size_t count = std::strtoul(argv[3], nullptr, 10);
    std::vector<std::int64_t> stamps;
    Reader r(*port);
    r.onData = [&](const char* p, size_t n) {
      const std::int64_t t = bench::NowNs();
      stamps.insert(stamps.end(), n, t);
      asio::write(*port, asio::buffer(p, n));
      return stamps.size() < count;
    };
    r.Arm();
    bench::Say("ready");
    io.run();
    PrintStamps(stamps);
    bench::Say("end");
    bench::Hear();
  } else if (mode == "rx") {
    auto port = Open(io, argv[2]);
    const int trials = std::atoi(argv[3]);
    const std::uint64_t bytes = std::strtoull(argv[4], nullptr, 10);
    std::uint64_t got = 0;
    int done = 0;
    bool good = true;
    Reader r(*port);
    r.onData = [&](const char* p, size_t n) {
      good = good && bench::CheckPattern(got, reinterpret_cast<const unsigned char*>(p), n);
      got += n;
      if (got >= bytes) {
        const char ack = good && got == bytes ? bench::kAckGood : bench::kAckBad;
        asio::write(*port, asio::buffer(&ack, 1));
        got = 0, good = true;
        return ++done < trials;
      }
      return true;
    };
    r.Arm();
    bench::Say("ready");
    io.run();
    bench::Hear();
  } else if (mode == "tx") {
    auto port = Open(io, argv[2]);
    const int trials = std::atoi(argv[3]);
    const std::uint64_t bytes = std::strtoull(argv[4], nullptr, 10);
    const bool perByte = std::string(argv[5]) == "byte";
    std::vector<unsigned char> data(bytes);
    for (std::uint64_t i = 0; i < bytes; ++i) data[i] = bench::PatternByte(i);
    bench::Say("ready");
    for (int t = 0; t < trials; ++t) {
      char go = 0;
      while (go != bench::kGo) asio::read(*port, asio::buffer(&go, 1));
      if (perByte)
        for (std::uint64_t i = 0; i < bytes; ++i) asio::write(*port, asio::buffer(&data[i], 1));
      else
        asio::write(*port, asio::buffer(data));
    }
    bench::Hear();
  } else if (mode == "idle") {
    auto port = Open(io, argv[2]);
    long long cpu0 = 0;
    Reader r(*port);
    r.onData = [&](const char*, size_t) {
      bench::Say("cpu_us %lld", CpuUs() - cpu0);
      return false;
    };
    r.Arm();
    cpu0 = CpuUs();
    bench::Say("ready");
    io.run();
  } else if (mode == "scale") {
    const size_t count = std::strtoul(argv[2], nullptr, 10);
    const int cycles = std::atoi(argv[3]);
    std::vector<const char*> paths(argv + 4, argv + argc);
    Open(io, paths[0]).reset();
    bench::Say("ready");
    if (bench::Hear() != "open") return 1;
    std::vector<std::unique_ptr<asio::serial_port>> ports;
    for (auto* p : paths) ports.push_back(Open(io, p));
    bench::Say("opened");
    if (bench::Hear() != "run") return 1;
    std::vector<std::int64_t> stamps;
    std::vector<std::unique_ptr<Reader>> readers;
    for (size_t i = 0; i < ports.size(); ++i) {
      readers.push_back(std::make_unique<Reader>(*ports[i]));
      if (i == 0)
        readers[0]->onData = [&](const char* p, size_t n) {
          stamps.insert(stamps.end(), n, bench::NowNs());
          asio::write(*ports[0], asio::buffer(p, n));
          if (stamps.size() >= count) io.stop();
          return true;
        };
      else
        readers[i]->onData = [](const char*, size_t) { return true; };
      readers[i]->Arm();
    }
    io.run();
    PrintStamps(stamps);
    bench::Say("end");
    bench::Hear();
    ports.clear();
    readers.clear();
    io.restart();
    const std::int64_t c0 = bench::NowNs();
    int done = 0;
    while (done < cycles) {
      for (auto* p : paths) ports.push_back(Open(io, p));
      ports.clear();
      done += static_cast<int>(paths.size());
    }
    bench::Say("cycles_per_s %.1f", done / ((bench::NowNs() - c0) / 1e9));
    bench::Say("end");
  } else {
    return 2;
  }
  return 0;
} catch (const std::exception& e) {
  std::fprintf(stderr, "asio near end: %s\n", e.what());
  return 1;
}
