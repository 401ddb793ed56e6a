// Bounded waits for tests: wait for a condition, never for a fixed time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace quellin::test {

using namespace std::chrono_literals;

// Re-evaluates pred whenever the condition variable is notified, up to the bound.
template <class Pred>
bool WaitFor(std::mutex& m, std::condition_variable& cv, std::chrono::milliseconds bound,
             Pred pred) {
  std::unique_lock lock(m);
  return cv.wait_for(lock, bound, pred);
}

// A one-shot flag a test can wait on from another thread.
class Latch {
 public:
  void Set() {
    {
      std::lock_guard g(m_);
      set_ = true;
    }
    cv_.notify_all();
  }
  bool Wait(std::chrono::milliseconds bound = 5s) {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, bound, [&] { return set_; });
  }
  bool IsSet() {
    std::lock_guard g(m_);
    return set_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool set_ = false;
};

}  // namespace quellin::test
