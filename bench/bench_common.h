// Shared by the far-end driver and the near ends written in C++: the byte pattern every bulk
// transfer carries, the clock every timestamp is taken on, and the control channel.
//
// The far end and the near end are separate processes; they agree on time through
// CLOCK_MONOTONIC (steady_clock on Linux, time.monotonic_ns() in Python), so a one-way latency
// is the near end's timestamp minus the far end's.
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace bench {

inline std::int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

// Byte i of every bulk stream. Period 16 MiB; a lost, duplicated or reordered block of up to
// 64 KiB changes the bytes that follow, so checking each byte against it catches all three.
inline std::uint8_t PatternByte(std::uint64_t i) {
  return static_cast<std::uint8_t>(i + (i >> 8) + (i >> 16));
}

// Checks a received run against the pattern; returns false on the first mismatch.
inline bool CheckPattern(std::uint64_t offset, const unsigned char* p, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k)
    if (p[k] != PatternByte(offset + k)) return false;
  return true;
}

// Control lines go to stdout unbuffered-by-line, so the far end sees "ready" the moment the
// port is open.
inline void Say(const char* fmt, auto... args) {
  std::printf(fmt, args...);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Waits for the next control word from the far end on stdin. A near end waits for "close"
// before it closes its port: closing may discard output the far end has not read yet (the
// component purges at close, as it must), and the far end decides when it has everything.
inline std::string Hear() {
  char line[256];
  if (!std::fgets(line, sizeof line, stdin)) return {};
  std::string s(line);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

// Start byte the far end sends before each send-throughput trial, and the byte that ends the
// idle window.
inline constexpr char kGo = 'S';
inline constexpr char kAckGood = 'K';
inline constexpr char kAckBad = 'E';

}  // namespace bench
