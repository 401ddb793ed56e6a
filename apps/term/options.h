// The command line of quellin-term.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quellin::term {

enum class ParityOpt { kNone, kOdd, kEven, kMark, kSpace };
enum class StopOpt { kOne, kOneAndHalf, kTwo };
enum class FlowOpt { kNone, kXonXoff, kRtsCts, kDsrDtr };

struct Options {
  std::string port;  // empty: the built-in virtual null modem with an echo peer
  std::uint32_t baud = 115200;
  int dataBits = 8;
  ParityOpt parity = ParityOpt::kNone;
  StopOpt stopBits = StopOpt::kOne;
  FlowOpt flow = FlowOpt::kNone;

  bool list = false;
  bool help = false;
  bool version = false;
  bool pipe = false;  // also implied when standard input is not a terminal
  bool echo = false;
  bool hex = false;
  bool timestamps = false;
  std::string logPath;
  std::string sendPath;
  int quietMs = 500;  // pipe mode: how long the port must stay silent after input ends
};

struct ParseResult {
  Options options;
  std::string error;  // empty when the command line was understood
};

ParseResult ParseCommandLine(const std::vector<std::string>& args);  // without the program name

std::string UsageText();

// "115200 8N1", "9600 7E2", "300 5N1.5": the framing as people write it.
std::string DescribeFraming(const Options& o);
const char* FlowName(FlowOpt flow);

}  // namespace quellin::term
