// Two pseudo-terminals joined by socat, so that what the code under test writes to one reaches an
// independent program on the other.
#pragma once

#include <cstdio>
#include <string>

#include <sys/types.h>

namespace quellin::test {

class SocatPair {
 public:
  // The two ends appear as links near and far in a folder named after dir and this process, so
  // test programs running side by side never share one.
  explicit SocatPair(const std::string& dir);
  ~SocatPair();
  SocatPair(const SocatPair&) = delete;
  SocatPair& operator=(const SocatPair&) = delete;

  bool ready() const { return ready_; }  // both ends exist and socat moves data
  const std::string& near() const { return near_; }
  const std::string& far() const { return far_; }

 private:
  std::string near_, far_;
  pid_t pid_ = -1;
  FILE* log_ = nullptr;
  bool ready_ = false;
};

}  // namespace quellin::test
