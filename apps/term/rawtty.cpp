#include "apps/term/rawtty.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <fcntl.h>
#include <atomic>
#include <cstdlib>

namespace quellin::term {

namespace {

// One saved state for the process; the crash handler can only reach globals. The fd is -1 while
// nothing is to be restored.
termios g_saved{};
std::atomic<int> g_fd{-1};

void RestoreNow() {
  const int fd = g_fd.exchange(-1);
  if (fd >= 0) tcsetattr(fd, TCSAFLUSH, &g_saved);  // async-signal-safe
}

void OnCrash(int sig) {
  RestoreNow();
  // The handler was installed with SA_RESETHAND: re-raising ends the process as the signal would
  // have, core dump included.
  raise(sig);
}

void InstallOnce() {
  static bool done = false;
  if (done) return;
  done = true;
  std::atexit(RestoreNow);
  struct sigaction sa {};
  sa.sa_handler = OnCrash;
  sa.sa_flags = SA_RESETHAND | SA_NODEFER;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) {
    struct sigaction old {};
    // A handler that is already there (a sanitizer's) keeps the signal; it ends the process
    // through abort or _exit, which the atexit hook does not see, so the tty is restored on the
    // next normal start at the latest. Ours only goes where nothing else is.
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_DFL)
      sigaction(sig, &sa, nullptr);
  }
}

}  // namespace

bool RawTerminal::Enter(int fd) {
  termios t{};
  if (!isatty(fd) || tcgetattr(fd, &t) != 0) return false;
  InstallOnce();
  g_saved = t;
  t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
  t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~(CSIZE | PARENB);
  t.c_cflag |= CS8;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  g_fd.store(fd);
  if (tcsetattr(fd, TCSAFLUSH, &t) != 0) {
    g_fd.store(-1);
    return false;
  }
  return true;
}

void RawTerminal::Restore() {
  RestoreNow();
}

bool RawTerminal::Active() const {
  return g_fd.load() >= 0;
}

int BlockTerminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&set, sig);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return -1;
  // Writing to a reader that has gone must be an error to handle, not a silent death.
  signal(SIGPIPE, SIG_IGN);
  return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

}  // namespace quellin::term
