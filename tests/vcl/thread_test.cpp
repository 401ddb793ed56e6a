#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>

#include <gtest/gtest.h>

#include "tests/support/wait.h"
#include "vcl/vcl.h"

namespace {

using namespace std::chrono_literals;
using quellin::test::Latch;

int NiceOf(vcl::TThreadID tid) {
  errno = 0;
  return ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
}

// Records what Execute saw; sleeps on its own condition until terminated when asked to.
class TProbe : public vcl::TThread {
 public:
  explicit TProbe(bool suspended, bool waitForTerminate = false, bool fail = false)
      : TThread(suspended), wait_(waitForTerminate), fail_(fail) {}
  ~TProbe() override {
    Terminate();
    if (!Finished && !Suspended) WaitFor();
  }

  std::atomic<int> runs{0};
  std::atomic<bool> terminated_at_start{false};
  std::atomic<vcl::TThreadID> ran_on{0};
  std::atomic<int> nice_inside{-100};
  Latch running;

 protected:
  void Execute() override {
    ++runs;
    terminated_at_start = static_cast<bool>(Terminated);
    ran_on = vcl::GetCurrentThreadID();
    nice_inside = NiceOf(vcl::GetCurrentThreadID());
    running.Set();
    if (fail_) throw std::runtime_error("execute failed");
    if (wait_) {
      std::unique_lock lock(m_);
      cv_.wait(lock, [this] { return static_cast<bool>(Terminated); });
    }
    ReturnValue = 42;
  }
  void TerminatedSet() override {
    std::lock_guard lock(m_);
    cv_.notify_all();
  }

 private:
  bool wait_;
  bool fail_;
  std::mutex m_;
  std::condition_variable cv_;
};

TEST(Thread, SuspendedThreadRunsOnlyAfterResume) {
  TProbe t(true);
  EXPECT_TRUE(t.Suspended);
  EXPECT_NE(t.ThreadID, 0u);
  EXPECT_NE(t.ThreadID, vcl::GetCurrentThreadID());
  EXPECT_FALSE(t.running.Wait(50ms));
  EXPECT_EQ(t.runs, 0);
  t.Resume();
  EXPECT_EQ(t.WaitFor(), 42);
  EXPECT_TRUE(t.Finished);
  EXPECT_EQ(t.runs, 1);
  EXPECT_EQ(t.ran_on, t.ThreadID);
  EXPECT_EQ(t.WaitFor(), 42) << "WaitFor on a finished thread returns at once";
  t.Resume();  // no effect once finished
  EXPECT_EQ(t.runs, 1);
}

TEST(Thread, TerminateBeforeResume) {
  TProbe t(true, true);
  t.Terminate();
  EXPECT_TRUE(t.Terminated);
  t.Resume();
  EXPECT_EQ(t.WaitFor(), 42);
  EXPECT_TRUE(t.terminated_at_start);
}

TEST(Thread, TerminateWakesAnExecuteThatSleeps) {
  TProbe t(true, true);
  t.Resume();
  ASSERT_TRUE(t.running.Wait());
  EXPECT_FALSE(t.Finished);
  t.Terminate();
  EXPECT_EQ(t.WaitFor(), 42);
  EXPECT_FALSE(t.terminated_at_start);
}

TEST(Thread, NeverResumedThreadIsReleasedWithoutRunning) {
  auto* t = new TProbe(true);
  EXPECT_THROW(t->WaitFor(), vcl::EThread);
  std::atomic<int>* runs = &t->runs;
  EXPECT_EQ(*runs, 0);
  delete t;  // must not hang, leak or run Execute
}

TEST(Thread, DestroyingARunningThreadTerminatesAndWaits) {
  // No destructor of its own stops this thread, so TThread's destructor must. The derived part
  // is gone by then: after starting, Execute touches only the TThread base and its locals.
  struct TSpinner : vcl::TThread {
    TSpinner() : TThread(true) {}
    std::atomic<bool>* ended = nullptr;
    Latch* started = nullptr;
    void Execute() override {
      std::atomic<bool>* done = ended;
      vcl::TThread* self = this;
      started->Set();
      while (!self->Terminated) std::this_thread::sleep_for(1ms);
      *done = true;
    }
  };
  std::atomic<bool> ended{false};
  Latch started;
  auto* t = new TSpinner;
  t->ended = &ended;
  t->started = &started;
  t->Resume();
  ASSERT_TRUE(started.Wait());
  delete t;
  EXPECT_TRUE(ended);
}

TEST(Thread, PriorityLowerIsOneNiceStepDown) {
  TProbe t(true);
  int base = NiceOf(t.ThreadID);
  EXPECT_EQ(t.Priority, vcl::tpNormal);
  t.Priority = vcl::tpLower;
  EXPECT_EQ(t.Priority, vcl::tpLower);
  EXPECT_EQ(NiceOf(t.ThreadID), std::min(base + 1, 19));
  t.Resume();
  t.WaitFor();
  EXPECT_EQ(t.nice_inside, std::min(base + 1, 19));

  TProbe u(true);
  u.Priority = vcl::tpLowest;
  EXPECT_EQ(NiceOf(u.ThreadID), std::min(base + 2, 19));
  u.Priority = vcl::tpIdle;
  EXPECT_EQ(NiceOf(u.ThreadID), 19);
  u.Priority = vcl::tpHighest;  // may be refused without privileges; must not fail
  EXPECT_EQ(u.Priority, vcl::tpHighest);
}

TEST(Thread, ExceptionInExecuteIsKept) {
  TProbe t(true, false, true);
  t.Resume();
  t.WaitFor();
  ASSERT_TRUE(t.FatalException);
  EXPECT_THROW(std::rethrow_exception(t.FatalException), std::runtime_error);
}

TEST(Thread, CreatedRunningStartsOnceConstructed) {
  TProbe* t = vcl::NewThread<TProbe>(false);
  ASSERT_TRUE(t->running.Wait());
  EXPECT_EQ(t->WaitFor(), 42);
  delete t;
  TProbe plain(false);  // created with new/automatic storage: starts at the first WaitFor
  EXPECT_EQ(plain.WaitFor(), 42);
}

TEST(Thread, FreeOnTerminateDeletesTheObject) {
  // The latch is shared: the thread may still be inside Set() when the test moves on.
  struct TSelfFreeing : vcl::TThread {
    explicit TSelfFreeing(std::shared_ptr<Latch> gone) : TThread(true), gone_(std::move(gone)) {}
    ~TSelfFreeing() override { gone_->Set(); }
    void Execute() override {}
    std::shared_ptr<Latch> gone_;
  };
  auto gone = std::make_shared<Latch>();
  auto* t = new TSelfFreeing(gone);
  t->FreeOnTerminate = true;
  t->Resume();
  EXPECT_TRUE(gone->Wait());
}

TEST(Thread, ClassInfo) {
  EXPECT_EQ(vcl::TThread::StaticClass()->ClassName(), "TThread");
  EXPECT_FALSE(vcl::TThread::StaticClass()->CanCreate());
}

}  // namespace
