// quellin-term: a serial terminal on TQuellin. See UsageText() in options.cpp, or run with --help.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "apps/term/exit_codes.h"
#include "apps/term/options.h"
#include "apps/term/ports.h"
#include "apps/term/rawtty.h"
#include "apps/term/session.h"
#include "component/Quellin.h"

using namespace quellin::term;

int main(int argc, char** argv) {
  // Before anything starts a thread (the component's monitor, the device services' I/O thread).
  const int signalFd = BlockTerminationSignals();

  const ParseResult parsed = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "quellin-term: %s (see quellin-term --help)\n", parsed.error.c_str());
    return kExitUsage;
  }
  const Options& o = parsed.options;
  if (o.help) {
    std::fputs(UsageText().c_str(), stdout);
    return kExitOk;
  }
  if (o.version) {
    TQuellin probe(nullptr);
    std::printf("quellin-term, TQuellin %s\n", AnsiString(probe.Version).c_str());
    return kExitOk;
  }
  if (o.list) {
    const std::vector<SerialPortInfo> ports = ListSerialPorts();
    if (ports.empty()) std::fputs("quellin-term: no serial ports found on this machine\n", stderr);
    for (const SerialPortInfo& p : ports) std::printf("%s\n", FormatPort(p).c_str());
    return kExitOk;
  }

  SessionIo io;
  io.signalFd = signalFd;
  io.interactive = !o.pipe && isatty(STDIN_FILENO);
  winsize ws{};
  if (ioctl(io.interactive ? STDOUT_FILENO : STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
    io.columns = ws.ws_col;
  Session session(o, io);
  const int rc = session.Run();
  if (signalFd >= 0) close(signalFd);
  return rc;
}
