// The user's terminal in raw mode, and the guarantee that it comes back as it was: on a normal
// return, on exit(), on a termination signal (which the session turns into a normal return, see
// BlockTerminationSignals) and on a crash.
#pragma once

namespace quellin::term {

class RawTerminal {
 public:
  RawTerminal() = default;
  ~RawTerminal() { Restore(); }
  RawTerminal(const RawTerminal&) = delete;
  RawTerminal& operator=(const RawTerminal&) = delete;

  // Keys reach the program one by one and unprocessed (Ctrl-C is a byte, not a signal); output
  // processing stays on so "\n" still starts a new line. False when fd is not a terminal.
  bool Enter(int fd);
  void Restore();
  bool Active() const;
};

// Blocks SIGINT, SIGTERM, SIGHUP and SIGQUIT in the calling thread, and so in every thread it
// starts later, and returns a signalfd that becomes readable when one arrives (-1 on failure).
// Call first thing in main, before any thread exists; otherwise a signal could land in a thread
// that still has the default action and end the process with the terminal left raw.
int BlockTerminationSignals();

}  // namespace quellin::term
