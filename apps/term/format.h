// What quellin-term puts on the screen: received bytes in text or hex view with optional
// timestamps, line-error notes and the progress bar of a file being sent. Pure functions and
// small state machines, so each can be checked on its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace quellin::term {

// Turns received bytes into screen text. Bytes arrive in pieces of any size; the formatter
// remembers where the last piece left off (mid-line, mid hex row), so the result does not
// depend on how the bytes were split.
class ReceiveFormatter {
 public:
  static constexpr int kHexPerRow = 16;

  void SetHex(bool on);
  void SetTimestamps(bool on) { timestamps_ = on; }
  // What ends a hex row or a broken line: "\r\n" for a raw terminal, "\n" for a pipe.
  void SetNewline(std::string newline) { newline_ = std::move(newline); }
  bool Hex() const { return hex_; }
  bool Timestamps() const { return timestamps_; }

  // now is the arrival time of the piece; a timestamp shows the wall-clock time of the first byte
  // of its line.
  std::string Format(std::string_view bytes, std::chrono::system_clock::time_point now);
  // Call before writing anything else to the screen: ends a partly filled line so that the
  // next text starts at the left margin. Empty when the cursor is already there.
  std::string BreakLine();

 private:
  bool hex_ = false;
  bool timestamps_ = false;
  std::string newline_ = "\r\n";
  bool atLineStart_ = true;
  int column_ = 0;  // bytes in the current hex row
};

// "[12:34:56.789] " in local time.
std::string FormatTimestamp(std::chrono::system_clock::time_point t);

// The CE_ mask reported through OnErrorOccurred in words: "framing error, parity error".
std::string DescribeLineErrors(int mask);

// "512 B", "1.5 KiB", "3.0 MiB".
std::string FormatBytes(std::uint64_t bytes);
// "0:07", "1:02:03"; "--:--" when unknown (negative).
std::string FormatDuration(double seconds);

struct Progress {
  std::uint64_t sent = 0;
  std::uint64_t total = 0;
  double elapsedSeconds = 0;
};
// One line, at most width columns:
// "[#########...........]  45%  460.8 KiB/1.0 MiB  115.2 KiB/s  0:05 left"
std::string FormatProgress(const Progress& p, int width);
// "sent 1.0 MiB in 9.1 s (115.2 KiB/s)"
std::string FormatSendSummary(const Progress& p);

}  // namespace quellin::term
