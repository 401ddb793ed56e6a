// TThread: a thread object with a virtual Execute, as in the VCL.
//
//   class TMonitor : public vcl::TThread {
//    public:
//     TMonitor() : TThread(true) {}
//     ~TMonitor() override { Terminate(); WaitFor(); }   // see "Destruction" below
//    protected:
//     void Execute() override { while (!Terminated) { ... } }
//   };
//   auto* t = new TMonitor;
//   t->Priority = vcl::tpLower;
//   t->Resume();
//   ...
//   t->Terminate();
//   t->WaitFor();
//   delete t;
//
// Start. The operating-system thread exists from construction on (ThreadID is valid, Priority can
// be set) but blocks on a condition until Resume(); Execute never runs before. C++ runs a derived
// class's constructor after TThread's, so a thread created with CreateSuspended = false cannot
// start inside TThread's constructor: it starts in AfterConstruction(), which vcl::NewThread<T>()
// calls, or at the first Resume() or WaitFor(). Creating suspended and calling Resume() is the
// plain way.
//
// Priority sets the thread's nice value relative to the one it was created with: tpLower is one
// step lower (nice + 1), tpLowest + 2, tpIdle the lowest (19); tpHigher - 1, tpHighest - 2,
// tpTimeCritical - 3, which the system may refuse without privileges (then the nice value stays;
// Priority still reads what was asked).
//
// Destruction. Destroying a thread that runs terminates it and waits for it; one never resumed is
// released without running Execute. C++ destroys the derived part before TThread's destructor
// runs, so a class whose Execute uses anything of its own (members, virtual functions) stops the
// thread in its own destructor (Terminate(); WaitFor();) as in the example above.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include "vcl/classes.h"

namespace vcl {

enum TThreadPriority : std::uint8_t { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

using TThreadID = std::uint32_t;
// The kernel thread id of the calling thread (comparable with TThread::ThreadID).
TThreadID GetCurrentThreadID();

class TThread : public TObject {
  VCL_DECLARE_CLASS(TThread, TObject)

  bool GetTerminated() const;
  bool GetFinished() const;
  bool GetSuspended() const;
  TThreadID GetThreadID() const { return FThreadID; }
  TThreadPriority GetPriority() const;
  void SetPriority(TThreadPriority value);

 public:
  explicit TThread(bool CreateSuspended);
  ~TThread() override;

  // Starts a thread created with CreateSuspended = false (see "Start" above).
  void AfterConstruction() override;
  // Lets a suspended thread run Execute; does nothing once it runs or has finished.
  void Resume();
  void Start() { Resume(); }
  // Asks Execute to end: sets Terminated, which Execute tests.
  void Terminate();
  // Waits until Execute has returned and gives ReturnValue; at once for a finished thread.
  // EThread when called from the thread itself or on a suspended thread that was never resumed
  // (which would never return).
  int WaitFor();

  ReadOnlyProperty<TThread, bool, &TThread::GetTerminated> Terminated{this};
  ReadOnlyProperty<TThread, bool, &TThread::GetFinished> Finished{this};
  ReadOnlyProperty<TThread, bool, &TThread::GetSuspended> Suspended{this};
  ReadOnlyProperty<TThread, TThreadID, &TThread::GetThreadID> ThreadID{this};
  Property<TThread, TThreadPriority, &TThread::GetPriority, &TThread::SetPriority> Priority{this};
  // Set before the thread finishes: the thread deletes its object once Execute has returned
  // (nobody may WaitFor or delete it then).
  bool FreeOnTerminate = false;
  // The exception that escaped Execute, if any.
  std::exception_ptr FatalException;

 protected:
  virtual void Execute() = 0;
  // Runs on the thread right after Execute (also after an exception).
  virtual void DoTerminate() {}
  // Called by Terminate() on the terminating thread, after Terminated is set: wake an Execute
  // that sleeps on something of its own.
  virtual void TerminatedSet() {}
  int ReturnValue = 0;

 private:
  void ThreadMain();
  void ApplyPriority();  // lock held

  mutable std::mutex FLock;
  std::condition_variable FChanged;
  bool FCreateSuspended;
  bool FStarted = false;    // released to run Execute
  bool FAbandoned = false;  // destroyed before it ever ran
  bool FFinished = false;
  bool FTerminated = false;
  bool FHasThreadID = false;
  TThreadPriority FPriority = tpNormal;
  int FBaseNice = 0;
  TThreadID FThreadID = 0;
  std::thread FThread;
};

// Creates a thread object and completes its construction: one created with
// CreateSuspended = false starts running.
template <class T, class... Args>
T* NewThread(Args&&... args) {
  T* thread = new T(std::forward<Args>(args)...);
  thread->AfterConstruction();
  return thread;
}

}  // namespace vcl
