#include "apps/term/options.h"

#include <charconv>
#include <cstring>
#include <optional>

namespace quellin::term {

namespace {

template <class T>
std::optional<T> ParseNumber(const std::string& text) {
  T value{};
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

struct Choice {
  const char* name;
  int value;
};

std::optional<int> Pick(const std::string& text, std::initializer_list<Choice> choices) {
  for (const Choice& c : choices)
    if (text == c.name) return c.value;
  return std::nullopt;
}

std::string Names(std::initializer_list<Choice> choices) {
  std::string out;
  for (const Choice& c : choices) {
    if (!out.empty()) out += "|";
    out += c.name;
  }
  return out;
}

const std::initializer_list<Choice> kParities = {{"none", int(ParityOpt::kNone)},
                                                 {"odd", int(ParityOpt::kOdd)},
                                                 {"even", int(ParityOpt::kEven)},
                                                 {"mark", int(ParityOpt::kMark)},
                                                 {"space", int(ParityOpt::kSpace)}};
const std::initializer_list<Choice> kStops = {
    {"1", int(StopOpt::kOne)}, {"1.5", int(StopOpt::kOneAndHalf)}, {"2", int(StopOpt::kTwo)}};
const std::initializer_list<Choice> kFlows = {{"none", int(FlowOpt::kNone)},
                                              {"xonxoff", int(FlowOpt::kXonXoff)},
                                              {"rtscts", int(FlowOpt::kRtsCts)},
                                              {"dsrdtr", int(FlowOpt::kDsrDtr)}};

}  // namespace

ParseResult ParseCommandLine(const std::vector<std::string>& args) {
  ParseResult r;
  Options& o = r.options;
  bool positionalOnly = false;

  for (std::size_t i = 0; i < args.size() && r.error.empty(); ++i) {
    std::string arg = args[i];
    if (positionalOnly || arg.empty() || arg[0] != '-' || arg == "-") {
      if (!o.port.empty()) {
        r.error = "only one port may be given ('" + o.port + "' and '" + arg + "')";
      } else if (arg.empty()) {
        r.error = "the port name is empty";
      } else {
        o.port = arg;
      }
      continue;
    }
    if (arg == "--") {
      positionalOnly = true;
      continue;
    }

    // "--name=value", "--name value", "-b value" and "-b9600" all work.
    std::string name = arg, value;
    bool hasValue = false;
    if (arg.rfind("--", 0) == 0) {
      if (auto eq = arg.find('='); eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
        hasValue = true;
      }
    } else if (arg.size() > 2) {
      name = arg.substr(0, 2);
      value = arg.substr(2);
      hasValue = true;
    }
    auto takeValue = [&]() -> bool {
      if (hasValue) return true;
      if (i + 1 >= args.size()) {
        r.error = "option " + name + " needs a value";
        return false;
      }
      value = args[++i];
      return true;
    };
    auto flag = [&](bool& target) {
      if (hasValue) {
        r.error = "option " + name + " takes no value";
        return;
      }
      target = true;
    };

    if (name == "-h" || name == "--help") {
      flag(o.help);
    } else if (name == "-V" || name == "--version") {
      flag(o.version);
    } else if (name == "-l" || name == "--list") {
      flag(o.list);
    } else if (name == "--pipe") {
      flag(o.pipe);
    } else if (name == "-e" || name == "--echo") {
      flag(o.echo);
    } else if (name == "-x" || name == "--hex") {
      flag(o.hex);
    } else if (name == "-t" || name == "--timestamps") {
      flag(o.timestamps);
    } else if (name == "-b" || name == "--baud") {
      if (!takeValue()) break;
      auto baud = ParseNumber<std::uint32_t>(value);
      if (!baud || *baud == 0 || *baud > 0x7fffffffu)
        r.error = "baud rate '" + value + "' is not a positive number of bits per second";
      else
        o.baud = *baud;
    } else if (name == "--databits") {
      if (!takeValue()) break;
      auto bits = ParseNumber<int>(value);
      if (!bits || *bits < 5 || *bits > 8)
        r.error = "data bits '" + value + "' must be 5, 6, 7 or 8";
      else
        o.dataBits = *bits;
    } else if (name == "--parity") {
      if (!takeValue()) break;
      if (auto p = Pick(value, kParities))
        o.parity = ParityOpt(*p);
      else
        r.error = "parity '" + value + "' must be one of " + Names(kParities);
    } else if (name == "--stopbits") {
      if (!takeValue()) break;
      if (auto s = Pick(value, kStops))
        o.stopBits = StopOpt(*s);
      else
        r.error = "stop bits '" + value + "' must be one of " + Names(kStops);
    } else if (name == "--flow") {
      if (!takeValue()) break;
      if (auto f = Pick(value, kFlows))
        o.flow = FlowOpt(*f);
      else
        r.error = "flow control '" + value + "' must be one of " + Names(kFlows);
    } else if (name == "--log") {
      if (!takeValue()) break;
      if (value.empty()) r.error = "the log file name is empty";
      o.logPath = value;
    } else if (name == "--send") {
      if (!takeValue()) break;
      if (value.empty()) r.error = "the name of the file to send is empty";
      o.sendPath = value;
    } else if (name == "--quiet") {
      if (!takeValue()) break;
      auto ms = ParseNumber<int>(value);
      if (!ms || *ms < 0 || *ms > 3600000)
        r.error = "--quiet '" + value + "' must be a number of milliseconds (0 to 3600000)";
      else
        o.quietMs = *ms;
    } else {
      r.error = "unknown option '" + arg + "'";
    }
  }
  if (r.error.empty() && o.list && !o.port.empty()) r.error = "--list takes no port";
  return r;
}

std::string UsageText() {
  return "usage: quellin-term [PORT] [options]\n"
         "       quellin-term --list\n"
         "\n"
         "Talks to the serial device PORT (for instance /dev/ttyUSB0): what you type goes to\n"
         "the device, what it sends appears on the screen. Without PORT it uses a built-in\n"
         "virtual device that echoes everything back, so you can try it with no hardware.\n"
         "\n"
         "line settings:\n"
         "  -b, --baud N            bits per second (default 115200)\n"
         "      --databits 5..8     data bits (default 8)\n"
         "      --parity P          none|odd|even|mark|space (default none)\n"
         "      --stopbits S        1|1.5|2 (default 1; 1.5 needs 5 data bits)\n"
         "      --flow F            none|xonxoff|rtscts|dsrdtr (default none)\n"
         "display and files:\n"
         "  -e, --echo              show what you type (local echo)\n"
         "  -x, --hex               show received bytes in hexadecimal\n"
         "  -t, --timestamps        put the time at the start of each received line\n"
         "      --log FILE          append every received byte to FILE\n"
         "      --send FILE         send FILE once connected, with a progress bar\n"
         "scripts:\n"
         "      --pipe              standard input to the port, the port to standard output;\n"
         "                          the default when standard input is not a terminal\n"
         "      --quiet MS          in pipe mode, once input has ended, exit after the port has\n"
         "                          been silent this long (default 500)\n"
         "other:\n"
         "  -l, --list              list the serial ports of this machine\n"
         "  -h, --help              this text\n"
         "  -V, --version           the version\n"
         "\n"
         "keys while connected:\n"
         "  Ctrl-]                  quit\n"
         "  Ctrl-T then e|x|t       local echo | hex view | timestamps on or off\n"
         "  Ctrl-T then s           send a file (asks for its name)\n"
         "  Ctrl-T then b           send a break\n"
         "  Ctrl-T then c           cancel a file being sent\n"
         "  Ctrl-T then Ctrl-T      send Ctrl-T itself (Ctrl-T Ctrl-] sends Ctrl-])\n"
         "  Ctrl-T then ?           this list\n"
         "\n"
         "exit status: 0 done, 1 other failure, 2 wrong command line, 3 no such port,\n"
         "4 port busy, 5 permission denied, 6 settings refused by the device, 7 not a serial\n"
         "port, 8 device lost, 9 a file could not be used, 128+N ended by signal N\n";
}

std::string DescribeFraming(const Options& o) {
  static const char kParity[] = {'N', 'O', 'E', 'M', 'S'};
  static const char* const kStop[] = {"1", "1.5", "2"};
  return std::to_string(o.baud) + " " + std::to_string(o.dataBits) + kParity[int(o.parity)] +
         kStop[int(o.stopBits)];
}

const char* FlowName(FlowOpt flow) {
  switch (flow) {
    case FlowOpt::kXonXoff:
      return "XON/XOFF";
    case FlowOpt::kRtsCts:
      return "RTS/CTS";
    case FlowOpt::kDsrDtr:
      return "DSR/DTR";
    case FlowOpt::kNone:
      break;
  }
  return "none";
}

}  // namespace quellin::term
