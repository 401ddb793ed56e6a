#include "vcl/thread.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "vcl/sysutils.h"

namespace vcl {

VCL_IMPLEMENT_CLASS(TThread)

TThreadID GetCurrentThreadID() { return static_cast<TThreadID>(::gettid()); }

namespace {
int NiceOffset(TThreadPriority p) {
  switch (p) {
    case tpIdle: return 19;  // absolute: the lowest
    case tpLowest: return 2;
    case tpLower: return 1;
    case tpNormal: return 0;
    case tpHigher: return -1;
    case tpHighest: return -2;
    case tpTimeCritical: return -3;
  }
  return 0;
}
}  // namespace

TThread::TThread(bool CreateSuspended) : FCreateSuspended(CreateSuspended) {
  try {
    FThread = std::thread(&TThread::ThreadMain, this);
  } catch (const std::system_error& e) {
    throw EThread(AnsiString("Thread creation error: ") + e.what());
  }
  std::unique_lock lock(FLock);
  FChanged.wait(lock, [this] { return FHasThreadID; });
}

TThread::~TThread() {
  {
    std::unique_lock lock(FLock);
    if (!FStarted) {
      FAbandoned = true;
      FChanged.notify_all();
    } else if (!FFinished) {
      FTerminated = true;
      if (FThread.get_id() != std::this_thread::get_id()) FChanged.wait(lock, [this] { return FFinished; });
    }
  }
  if (FThread.joinable()) {
    if (FThread.get_id() == std::this_thread::get_id()) {
      FThread.detach();  // FreeOnTerminate: the thread is deleting its own object
    } else {
      FThread.join();
    }
  }
}

void TThread::ThreadMain() {
  {
    std::unique_lock lock(FLock);
    FThreadID = GetCurrentThreadID();
    errno = 0;
    int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(FThreadID));
    FBaseNice = (nice == -1 && errno != 0) ? 0 : nice;
    FHasThreadID = true;
    FChanged.notify_all();
    // Suspended: sleep until Resume or destruction.
    FChanged.wait(lock, [this] { return FStarted || FAbandoned; });
    if (FAbandoned) return;
  }
  try {
    Execute();
  } catch (...) {
    FatalException = std::current_exception();
  }
  try {
    DoTerminate();
  } catch (...) {
    if (!FatalException) FatalException = std::current_exception();
  }
  bool freeSelf = FreeOnTerminate;
  {
    std::lock_guard lock(FLock);
    FFinished = true;
    FChanged.notify_all();  // under the lock: a waiter may delete the object once it is released
  }
  if (freeSelf) delete this;
}

void TThread::AfterConstruction() {
  if (!FCreateSuspended) Resume();
}

void TThread::Resume() {
  std::lock_guard lock(FLock);
  if (FStarted || FAbandoned) return;
  FStarted = true;
  FChanged.notify_all();
}

void TThread::Terminate() {
  {
    std::lock_guard lock(FLock);
    FTerminated = true;
  }
  TerminatedSet();
}

int TThread::WaitFor() {
  if (std::this_thread::get_id() == FThread.get_id()) throw EThread("A thread cannot wait for itself");
  std::unique_lock lock(FLock);
  if (!FStarted) {
    if (FCreateSuspended) throw EThread("WaitFor on a suspended thread that was never resumed");
    FStarted = true;  // created running, and construction is over: start it now
    FChanged.notify_all();
  }
  FChanged.wait(lock, [this] { return FFinished; });
  return ReturnValue;
}

bool TThread::GetTerminated() const {
  std::lock_guard lock(FLock);
  return FTerminated;
}

bool TThread::GetFinished() const {
  std::lock_guard lock(FLock);
  return FFinished;
}

bool TThread::GetSuspended() const {
  std::lock_guard lock(FLock);
  return !FStarted;
}

TThreadPriority TThread::GetPriority() const {
  std::lock_guard lock(FLock);
  return FPriority;
}

void TThread::SetPriority(TThreadPriority value) {
  std::lock_guard lock(FLock);
  FPriority = value;
  ApplyPriority();
}

void TThread::ApplyPriority() {
  // Only while the kernel thread surely exists: it cannot pass FFinished without this lock.
  if (FFinished || FAbandoned) return;
  int nice = FPriority == tpIdle ? 19 : std::clamp(FBaseNice + NiceOffset(FPriority), -20, 19);
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(FThreadID), nice);  // raising may be refused
}

}  // namespace vcl
