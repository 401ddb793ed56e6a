#include "tests/apps/term_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

extern char** environ;

namespace quellin::test {

namespace {

using Clock = std::chrono::steady_clock;

int MsUntil(Clock::time_point deadline) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::max<long long>(ms, 0));
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

std::string TermPath() {
  return QUELLIN_TERM;
}
std::string TestFile(const std::string& name) {
  return std::string(QUELLIN_TERM_TEST_DIR) + "/" + name;
}

std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "quellin-term-test-XXXXXX").string();
  if (mkdtemp(tmpl.data()))
    path_ = tmpl;
  else
    ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

// ---- Child --------------------------------------------------------------------------------

Child::Child(const std::vector<std::string>& argv) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) {
    ADD_FAILURE() << "pipe2: " << std::strerror(errno);
    return;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  in_ = in[1];
  outFd_ = out[0];
  errFd_ = err[0];
  if (rc != 0) {
    ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(rc);
    return;
  }
  pid_ = pid;
  pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  if (pidfd_ < 0) ADD_FAILURE() << "pidfd_open: " << std::strerror(errno);
}

Child::~Child() {
  if (pid_ > 0 && !status_) {
    kill(pid_, SIGKILL);
    int st;
    waitpid(pid_, &st, 0);
  }
  for (int fd : {in_, outFd_, errFd_, pidfd_})
    if (fd >= 0) close(fd);
}

void Child::Write(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size() && in_ >= 0) {
    const ssize_t n = write(in_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (errno != EINTR) {
      ADD_FAILURE() << "writing to the child: " << std::strerror(errno);
      return;
    }
  }
}

void Child::CloseInput() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

bool Child::Pump(Clock::time_point deadline, bool untilExit) {
  pollfd fds[3];
  nfds_t n = 0;
  if (outFd_ >= 0) fds[n++] = {outFd_, POLLIN, 0};
  if (errFd_ >= 0) fds[n++] = {errFd_, POLLIN, 0};
  if (untilExit && !status_ && pidfd_ >= 0) fds[n++] = {pidfd_, POLLIN, 0};
  if (n == 0) return false;
  if (poll(fds, n, MsUntil(deadline)) <= 0) return false;
  for (nfds_t i = 0; i < n; ++i) {
    if (!fds[i].revents) continue;
    if (fds[i].fd == pidfd_) {
      int st = 0;
      if (waitpid(pid_, &st, WNOHANG) == pid_)
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      continue;
    }
    char buf[65536];
    const ssize_t got = read(fds[i].fd, buf, sizeof buf);
    int& fd = fds[i].fd == outFd_ ? outFd_ : errFd_;
    if (got > 0) {
      (fd == outFd_ ? out_ : err_).append(buf, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      close(fd);
      fd = -1;
    }
  }
  return true;
}

std::optional<std::string> Child::ReadLine(std::chrono::milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  for (;;) {
    const std::size_t nl = out_.find('\n', lineStart_);
    if (nl != std::string::npos) {
      std::string line = out_.substr(lineStart_, nl - lineStart_);
      lineStart_ = nl + 1;
      return line;
    }
    if (!Pump(deadline, false)) return std::nullopt;
  }
}

std::optional<int> Child::Wait(std::chrono::milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  while (!status_ || outFd_ >= 0 || errFd_ >= 0)
    if (!Pump(deadline, true)) break;
  return status_;
}

RunResult RunTerm(const std::vector<std::string>& args, const std::string& input,
                  std::chrono::milliseconds bound) {
  std::vector<std::string> argv{TermPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  Child child(argv);
  child.Write(input);
  child.CloseInput();
  RunResult r;
  r.status = child.Wait(bound);
  r.out = child.Out();
  r.err = child.Err();
  return r;
}

FarEnd::FarEnd(const std::vector<std::string>& args)
    : child_([&] {
        std::vector<std::string> argv{"/usr/bin/python3", TestFile("far_end.py")};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
      }()) {
  if (auto line = child_.ReadLine(10s))
    port_ = *line;
  else
    ADD_FAILURE() << "the far end did not start: " << child_.Err();
}

// ---- tmux -----------------------------------------------------------------------------------

TmuxSession::TmuxSession(const std::string& command, int width, int height) {
  static std::atomic<int> counter{0};
  socket_ = "quellin-term-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
  const std::string log = dir_ / "pane.log";
  std::ofstream(log).close();
  // The pane waits for a first Enter, so its output is copied from the very first byte.
  const std::string held = "read _; " + command;
  if (std::system(("tmux -L " + socket_ + " -f /dev/null new-session -d -s t -x " +
                   std::to_string(width) + " -y " + std::to_string(height) + " " +
                   ShellQuote("sh -c " + ShellQuote(held)))
                      .c_str()) != 0) {
    ADD_FAILURE() << "tmux did not start";
    return;
  }
  Tmux("set-option -t t remain-on-exit on");
  Tmux("pipe-pane -t t " + ShellQuote("cat >> " + ShellQuote(log)));
  SendKeys({"Enter"});
  ok_ = true;
}

TmuxSession::~TmuxSession() {
  std::system(("tmux -L " + socket_ + " kill-server 2>/dev/null").c_str());
}

std::string TmuxSession::Tmux(const std::string& args) const {
  std::string out;
  FILE* p = popen(("tmux -L " + socket_ + " " + args + " 2>&1").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

void TmuxSession::SendKeys(const std::vector<std::string>& keys) {
  std::string args = "send-keys -t t";
  for (const std::string& k : keys) args += " " + ShellQuote(k);
  Tmux(args);
}

void TmuxSession::Type(const std::string& text) {
  Tmux("send-keys -t t -l " + ShellQuote(text));
}

std::string TmuxSession::CapturePane() {
  return Tmux("capture-pane -p -t t");
}

std::string TmuxSession::Output() const {
  return ReadWholeFile(dir_ / "pane.log");
}

bool TmuxSession::WaitForOutput(const std::string& needle, std::chrono::milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  const int in = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (in < 0) return false;
  inotify_add_watch(in, (dir_ / "pane.log").c_str(), IN_MODIFY);
  bool found = false;
  for (;;) {
    // Looked at after the watch is in place, so no write can fall between look and wait.
    if (Output().find(needle) != std::string::npos) {
      found = true;
      break;
    }
    pollfd p{in, POLLIN, 0};
    if (poll(&p, 1, MsUntil(deadline)) <= 0) break;
    char events[4096];
    while (read(in, events, sizeof events) > 0) {
    }
  }
  close(in);
  return found;
}

std::string TermInPane(const std::vector<std::string>& args) {
  std::string cmd = ShellQuote(TermPath());
  for (const std::string& a : args) cmd += " " + ShellQuote(a);
  return "before=$(stty -g); " + cmd +
         "; rc=$?; after=$(stty -g); "
         "if [ \"$before\" = \"$after\" ]; then t=same; else t=changed; fi; "
         "echo \"[rc=$rc tty=$t]\"; read _";
}

}  // namespace quellin::test
