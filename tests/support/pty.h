// A pseudo-terminal pair for tests: the slave path is what the code under test opens as a serial
// port; the master fd is the far end, driven directly or handed to another program.
#pragma once

#include <chrono>
#include <set>
#include <string>

namespace quellin::test {

class PtyPair {
 public:
  PtyPair();  // fails the current test (ADD_FAILURE) when no pty can be had
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& SlavePath() const { return slave_path_; }
  int Master() const { return master_; }

  // Far-end helpers on the master side. Write blocks until everything is written; ReadExactly
  // waits up to the bound for n bytes and returns what arrived.
  void Write(const std::string& bytes);
  std::string ReadExactly(std::size_t n, std::chrono::milliseconds bound);

 private:
  int master_ = -1;
  std::string slave_path_;
};

// Runs a command through /bin/sh and returns its standard output (empty on failure).
std::string RunCommand(const std::string& command);

// The settings of a tty as an independent program sees them: the words of `stty -F path -a`, with
// "speed 9600 baud" also as "speed=9600" and "start = ^Q" also as "start=^Q".
std::set<std::string> SttyWords(const std::string& path);

}  // namespace quellin::test
