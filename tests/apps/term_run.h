// Running quellin-term (and its far ends) from the tests: child processes with pipes, and tmux
// sessions driven by keys. Every wait has a deadline and blocks in the kernel until something
// happens; nothing sleeps for a fixed time.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace quellin::test {

using namespace std::chrono_literals;

std::string TermPath();                         // the quellin-term under test
std::string TestFile(const std::string& name);  // a file next to the tests' sources
std::string ShellQuote(const std::string& s);

// A temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A child process whose standard streams are pipes to the test (stdin may be closed early).
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv);
  ~Child();  // kills the child if it still runs
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  int Pid() const { return pid_; }
  void Write(const std::string& bytes);
  void CloseInput();
  // Waits for a whole line on stdout (without its newline); nullopt when the bound ran out.
  std::optional<std::string> ReadLine(std::chrono::milliseconds bound);
  // Collects stdout and stderr until the child ends; its exit status (128+N for signal N), or
  // nullopt when the bound ran out.
  std::optional<int> Wait(std::chrono::milliseconds bound);
  const std::string& Out() const { return out_; }
  const std::string& Err() const { return err_; }

 private:
  bool Pump(std::chrono::steady_clock::time_point deadline, bool untilExit);

  int pid_ = -1;
  int pidfd_ = -1;
  int in_ = -1, outFd_ = -1, errFd_ = -1;
  std::string out_, err_;
  std::size_t lineStart_ = 0;
  std::optional<int> status_;
};

struct RunResult {
  std::optional<int> status;  // nullopt: did not end in time (and was killed)
  std::string out, err;
};
// Runs quellin-term with args, feeding input on stdin, until it ends.
RunResult RunTerm(const std::vector<std::string>& args, const std::string& input,
                  std::chrono::milliseconds bound = 20s);

// A python3 far end on a fresh pseudo-terminal (see far_end.py); Port() is the path to open.
class FarEnd {
 public:
  explicit FarEnd(const std::vector<std::string>& args);
  const std::string& Port() const { return port_; }
  Child& Process() { return child_; }

 private:
  Child child_;
  std::string port_;
};

// A tmux server of its own running one command in a pane of the given size. What the pane's
// program writes is copied to a log (pipe-pane), which WaitForOutput watches.
class TmuxSession {
 public:
  TmuxSession(const std::string& command, int width = 100, int height = 30);
  ~TmuxSession();
  bool Ok() const { return ok_; }
  // tmux send-keys arguments, each passed as one key name or string ("C-]", "Enter", "hello").
  void SendKeys(const std::vector<std::string>& keys);
  void Type(const std::string& text);  // literal text
  std::string CapturePane();
  // Waits until the program's output so far contains needle; the output (escape sequences and
  // all) is returned either way.
  bool WaitForOutput(const std::string& needle, std::chrono::milliseconds bound = 20s);
  std::string Output() const;

 private:
  std::string Tmux(const std::string& args) const;
  std::string socket_;
  TempDir dir_;
  bool ok_ = false;
};

// The command to run in a tmux pane: quellin-term with args, and after it ends a line
// "[rc=N tty=same]" (or "tty=changed" when the terminal's settings differ from before).
std::string TermInPane(const std::vector<std::string>& args);

}  // namespace quellin::test
