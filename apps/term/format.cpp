#include "apps/term/format.h"

#include <cstdio>
#include <ctime>

#include "platform/win32.h"

namespace quellin::term {

void ReceiveFormatter::SetHex(bool on) {
  hex_ = on;
  column_ = 0;
}

std::string ReceiveFormatter::Format(std::string_view bytes,
                                     std::chrono::system_clock::time_point now) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(hex_ ? bytes.size() * 3 + 16 : bytes.size() + 16);
  for (unsigned char b : bytes) {
    if (atLineStart_ && timestamps_) out += FormatTimestamp(now);
    atLineStart_ = false;
    if (hex_) {
      out += kDigits[b >> 4];
      out += kDigits[b & 15];
      if (++column_ == kHexPerRow) {
        out += newline_;
        column_ = 0;
        atLineStart_ = true;
      } else {
        out += ' ';
      }
    } else {
      out += static_cast<char>(b);
      if (b == '\n') atLineStart_ = true;
    }
  }
  return out;
}

std::string ReceiveFormatter::BreakLine() {
  if (atLineStart_) return {};
  atLineStart_ = true;
  column_ = 0;
  return newline_;
}

std::string FormatTimestamp(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const std::time_t secs = system_clock::to_time_t(t);
  const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&secs, &local);
  char buf[32];
  std::snprintf(buf, sizeof buf, "[%02d:%02d:%02d.%03d] ", local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<int>(ms < 0 ? ms + 1000 : ms));
  return buf;
}

std::string DescribeLineErrors(int mask) {
  struct Name {
    int bit;
    const char* text;
  };
  static const Name kNames[] = {{int(win32::CE_FRAME), "framing error"},
                                {int(win32::CE_RXPARITY), "parity error"},
                                {int(win32::CE_OVERRUN), "overrun (bytes lost in the UART)"},
                                {int(win32::CE_RXOVER), "input queue overflow (bytes lost)"},
                                {int(win32::CE_BREAK), "break received"}};
  std::string out;
  int known = 0;
  for (const Name& n : kNames) {
    if (!(mask & n.bit)) continue;
    known |= n.bit;
    if (!out.empty()) out += ", ";
    out += n.text;
  }
  if (mask & ~known) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%sline error 0x%x", out.empty() ? "" : ", ",
                  static_cast<unsigned>(mask & ~known));
    out += buf;
  }
  return out;
}

std::string FormatBytes(std::uint64_t bytes) {
  char buf[32];
  if (bytes < 1024) {
    std::snprintf(buf, sizeof buf, "%llu B", static_cast<unsigned long long>(bytes));
  } else if (bytes < 1024ull * 1024) {
    std::snprintf(buf, sizeof buf, "%.1f KiB", bytes / 1024.0);
  } else if (bytes < 1024ull * 1024 * 1024) {
    std::snprintf(buf, sizeof buf, "%.1f MiB", bytes / (1024.0 * 1024));
  } else {
    std::snprintf(buf, sizeof buf, "%.1f GiB", bytes / (1024.0 * 1024 * 1024));
  }
  return buf;
}

std::string FormatDuration(double seconds) {
  if (!(seconds >= 0) || seconds > 359999) return "--:--";
  const long s = static_cast<long>(seconds + 0.5);
  char buf[32];
  if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
  return buf;
}

namespace {

// Bytes per second, or a negative value while there is too little to go by.
double Rate(const Progress& p) {
  if (p.elapsedSeconds < 0.05 || p.sent == 0) return -1;
  return p.sent / p.elapsedSeconds;
}

}  // namespace

std::string FormatProgress(const Progress& p, int width) {
  const double fraction = p.total ? double(p.sent) / double(p.total) : 1.0;
  const double rate = Rate(p);
  const double left = rate > 0 ? double(p.total - std::min(p.sent, p.total)) / rate : -1;

  char pct[8];
  std::snprintf(pct, sizeof pct, "%3d%%", static_cast<int>(fraction * 100));
  std::string tail = std::string("  ") + pct + "  " + FormatBytes(p.sent) + "/" +
                     FormatBytes(p.total) + "  " +
                     (rate > 0 ? FormatBytes(static_cast<std::uint64_t>(rate)) : "-") + "/s  " +
                     FormatDuration(left) + " left";

  // The bar takes what the numbers leave, between 10 and 40 cells; with less room the numbers
  // alone are shown.
  const int room = width - static_cast<int>(tail.size()) - 2;
  if (room < 10) return tail.substr(2, std::max(0, width));
  const int cells = std::min(room, 40);
  const int filled = static_cast<int>(fraction * cells);
  return "[" + std::string(filled, '#') + std::string(cells - filled, '.') + "]" + tail;
}

std::string FormatSendSummary(const Progress& p) {
  char secs[32];
  std::snprintf(secs, sizeof secs, "%.1f s", p.elapsedSeconds);
  const double rate = Rate(p);
  return "sent " + FormatBytes(p.sent) + " in " + secs +
         (rate > 0 ? " (" + FormatBytes(static_cast<std::uint64_t>(rate)) + "/s)" : std::string());
}

}  // namespace quellin::term
