// The common layer above every device: Windows' rules for overlapped transfers, time-outs, the
// event history of WaitCommEvent, the error state, and the one I/O thread that completes whatever
// could not finish at once.
//
// Each open device is a Port. All of a port's state is guarded by its mutex; the I/O thread and
// callers take it alike, so an operation either finds the data or is queued before the edge that
// announces the data is handled: nothing is lost between "try now" and "wait".
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

#include "platform/detail/device.h"
#include "platform/detail/handles.h"
#include "platform/detail/tty.h"

namespace win32 {
namespace detail {

namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, as the timerfds use
constexpr Clock::time_point kNever = Clock::time_point::max();

// OVERLAPPED.Internal holds an NT-style status, as on Windows. Failures that are not a
// cancellation carry their Win32 code in an error-severity, customer-flagged status.
constexpr ULONG_PTR kStatusSuccess = 0;
constexpr ULONG_PTR kStatusTimeout = 0x102;  // success: a timed-out transfer keeps its short count
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;
constexpr ULONG_PTR kCodedError = 0xE0000000;

ULONG_PTR StatusFromError(DWORD error) {
  return error == ERROR_OPERATION_ABORTED ? kStatusCancelled : (kCodedError | (error & 0xFFFFFFF));
}
bool IsFailure(ULONG_PTR status) {
  return ((status >> 30) & 3) == 3;
}
DWORD ErrorFromStatus(ULONG_PTR status) {
  if (status == kStatusCancelled) return ERROR_OPERATION_ABORTED;
  if ((status & 0xF0000000) == kCodedError) return static_cast<DWORD>(status & 0xFFFFFFF);
  return ERROR_GEN_FAILURE;
}

// The caller owns the OVERLAPPED and may look at it (GetOverlappedResult) while the I/O thread
// fills it in, so its two status words are only ever touched atomically. The release store of
// Internal publishes the count and the event mask written before it.
ULONG_PTR LoadStatus(OVERLAPPED* ov) {
  return std::atomic_ref<ULONG_PTR>(ov->Internal).load(std::memory_order_acquire);
}
ULONG_PTR LoadCount(OVERLAPPED* ov) {
  return std::atomic_ref<ULONG_PTR>(ov->InternalHigh).load(std::memory_order_relaxed);
}
void Publish(OVERLAPPED* ov, ULONG_PTR status, ULONG_PTR count) {
  std::atomic_ref<ULONG_PTR>(ov->InternalHigh).store(count, std::memory_order_relaxed);
  std::atomic_ref<ULONG_PTR>(ov->Internal).store(status, std::memory_order_release);
}

constexpr DWORD kAllEvents = EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY | EV_CTS | EV_DSR | EV_RLSD |
                             EV_BREAK | EV_ERR | EV_RING | EV_PERR | EV_RX80FULL | EV_EVENT1 |
                             EV_EVENT2;

// Milliseconds as a deadline; totals beyond a few decades mean "never".
Clock::time_point After(Clock::time_point now, std::uint64_t ms) {
  if (ms > (std::uint64_t{1} << 40)) return kNever;
  return now + std::chrono::milliseconds(ms);
}
std::uint64_t Total(DWORD multiplier, DWORD constant, std::uint64_t bytes) {
  return std::uint64_t{multiplier} * bytes + constant;  // < 2^65 only if both near max; see After
}

struct Op {
  enum Kind { kRead, kWrite, kWait } kind = kRead;
  OVERLAPPED* ov = nullptr;
  std::shared_ptr<Event> event;
  unsigned char* buffer = nullptr;
  std::size_t size = 0;
  std::size_t done = 0;
  DWORD* mask = nullptr;
  bool returnOnAny = false;
  Clock::time_point total = kNever;
  Clock::duration interval{0};
  Clock::time_point intervalAt = kNever;
  std::thread::id issuer;
};

class Port;

// Edge-triggered for the device's whole life: a tty raises an edge on every arrival. Output space
// is watched only while a write waits for it, or every byte written would wake the I/O thread when
// the far end takes it.
constexpr std::uint32_t kInputEvents = EPOLLIN | EPOLLPRI | EPOLLRDHUP | EPOLLET;

// The one I/O thread of the process. It sleeps in epoll_wait until a device edge or a port's
// time-out timer fires; nothing wakes it while every port is idle.
class Engine {
 public:
  static Engine& Get() {
    static Engine* engine = new Engine;  // its thread runs for the process's life
    return *engine;
  }
  DWORD Add(const std::shared_ptr<Port>& port, int deviceFd, int timerFd, std::uint64_t& id);
  void Remove(std::uint64_t id, int deviceFd, int timerFd);
  void Watch(std::uint64_t id, int deviceFd, bool output);

 private:
  Engine() {
    ep_ = epoll_create1(EPOLL_CLOEXEC);
    if (ep_ >= 0) std::thread([this] { Run(); }).detach();
  }
  void Run();

  int ep_ = -1;
  std::mutex m_;
  std::unordered_map<std::uint64_t, std::weak_ptr<Port>> ports_;
  std::uint64_t next_ = 1;
};

class Port final : public Object {
 public:
  Port(std::unique_ptr<Device> device, DWORD access, bool overlapped)
      : device_(std::move(device)), access_(access), overlapped_(overlapped) {}
  ~Port() override {
    if (timer_ >= 0) ::close(timer_);
  }

  DWORD Start(const std::shared_ptr<Port>& self);
  void OnClose() override;
  void OnReady();
  void OnTimer();

  std::mutex m;
  std::condition_variable completed;  // every completion; for waits with no event of their own
  bool closed = false;

  // Everything below: only with m held.
  Device& device() { return *device_; }
  bool overlapped() const { return overlapped_; }
  DWORD access() const { return access_; }

  DWORD StartRead(Op op, Clock::time_point now);
  DWORD StartWrite(Op op, Clock::time_point now);
  DWORD StartWait(Op op);
  void Service(Clock::time_point now);
  bool Cancel(OVERLAPPED* ov, bool onlyThisThread);
  void AbortReads() {
    AbortAll(reads_);
    ArmTimer();
  }
  void AbortWrites() {
    AbortAll(writes_);
    ArmTimer();
  }
  void Refresh(Clock::time_point now) {
    Service(now);
    ArmTimer();
  }

  DWORD SetMask(DWORD mask);
  DWORD mask() const { return mask_; }
  DWORD TakeErrors() {
    DWORD e = errors_;
    errors_ = 0;
    errorLock_ = false;
    return e;
  }

  DCB dcb{};
  COMMTIMEOUTS timeouts{};
  DWORD inQueue = 4096;

 private:
  void Complete(Op& op, ULONG_PTR status, ULONG_PTR count);
  void Apply(const Happenings& h);
  void Collect() { Apply(device_->Collect()); }
  DWORD TryRead(Op& op, Clock::time_point now);
  DWORD TryWrite(Op& op);
  void ProgressReads(Clock::time_point now);
  void ProgressWrites();
  void Expire(Clock::time_point now);
  void ArmTimer();
  void AbortAll(std::deque<Op>& ops) {
    while (!ops.empty()) {
      Complete(ops.front(), kStatusCancelled, ops.front().done);
      ops.pop_front();
    }
  }

  std::unique_ptr<Device> device_;
  const DWORD access_;
  const bool overlapped_;
  int timer_ = -1;
  Clock::time_point armed_ = kNever;
  bool watchingOutput_ = false;
  std::uint64_t id_ = 0;

  std::deque<Op> reads_, writes_;
  std::optional<Op> wait_;
  DWORD mask_ = 0;
  DWORD history_ = 0;
  DWORD errors_ = 0;
  bool errorLock_ = false;  // fAbortOnError tripped: transfers refused until ClearCommError
};

DWORD Engine::Add(const std::shared_ptr<Port>& port, int deviceFd, int timerFd, std::uint64_t& id) {
  if (ep_ < 0) return ERROR_TOO_MANY_OPEN_FILES;
  std::lock_guard g(m_);
  id = next_++;
  epoll_event ev{};
  if (deviceFd >= 0) {
    ev.events = kInputEvents;
    ev.data.u64 = id << 1;
    if (epoll_ctl(ep_, EPOLL_CTL_ADD, deviceFd, &ev) != 0) return ERROR_GEN_FAILURE;
  }
  ev.events = EPOLLIN;
  ev.data.u64 = (id << 1) | 1;
  if (epoll_ctl(ep_, EPOLL_CTL_ADD, timerFd, &ev) != 0) {
    if (deviceFd >= 0) epoll_ctl(ep_, EPOLL_CTL_DEL, deviceFd, nullptr);
    return ERROR_GEN_FAILURE;
  }
  ports_.emplace(id, port);
  return ERROR_SUCCESS;
}

void Engine::Watch(std::uint64_t id, int deviceFd, bool output) {
  epoll_event ev{};
  ev.events = kInputEvents | (output ? std::uint32_t{EPOLLOUT} : 0u);
  ev.data.u64 = id << 1;
  // Re-arming reports the fd at once if it is writable already, so no freed space is missed.
  epoll_ctl(ep_, EPOLL_CTL_MOD, deviceFd, &ev);
}

void Engine::Remove(std::uint64_t id, int deviceFd, int timerFd) {
  std::lock_guard g(m_);
  if (deviceFd >= 0) epoll_ctl(ep_, EPOLL_CTL_DEL, deviceFd, nullptr);
  if (timerFd >= 0) epoll_ctl(ep_, EPOLL_CTL_DEL, timerFd, nullptr);
  ports_.erase(id);
}

void Engine::Run() {
  epoll_event events[64];
  for (;;) {
    int n = epoll_wait(ep_, events, 64, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (int i = 0; i < n; ++i) {
      std::shared_ptr<Port> port;
      {
        std::lock_guard g(m_);
        auto it = ports_.find(events[i].data.u64 >> 1);
        if (it != ports_.end()) port = it->second.lock();
      }
      if (!port) continue;  // closed after the event was queued
      if (events[i].data.u64 & 1)
        port->OnTimer();
      else
        port->OnReady();
    }
  }
}

DWORD Port::Start(const std::shared_ptr<Port>& self) {
  // What a port reports before anyone sets it: the device's own settings, Windows' usual values
  // for what the device cannot hold.
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = 9600;
  dcb.fBinary = 1;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  dcb.ByteSize = 8;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  if (device_->IsCommDevice()) {
    DWORD e = device_->ReadState(dcb);
    if (e != ERROR_SUCCESS) return e;
  }
  timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (timer_ < 0) return ERROR_TOO_MANY_OPEN_FILES;
  return Engine::Get().Add(self, device_->ReadyFd(), timer_, id_);
}

void Port::OnClose() {
  std::lock_guard g(m);
  closed = true;
  AbortAll(reads_);
  AbortAll(writes_);
  if (wait_) {
    Complete(*wait_, kStatusCancelled, 0);
    wait_.reset();
  }
  Engine::Get().Remove(id_, device_->ReadyFd(), timer_);
  device_.reset();
  completed.notify_all();
}

void Port::OnReady() {
  std::lock_guard g(m);
  if (closed) return;
  Service(Clock::now());
  ArmTimer();
}

void Port::OnTimer() {
  std::lock_guard g(m);
  if (closed) return;
  std::uint64_t expirations;
  while (::read(timer_, &expirations, sizeof expirations) > 0) {
  }
  armed_ = kNever;
  const auto now = Clock::now();
  Service(now);  // data that raced the timer still counts
  Expire(now);
  ArmTimer();
}

void Port::Complete(Op& op, ULONG_PTR status, ULONG_PTR count) {
  if (op.kind == Op::kWait && op.mask) *op.mask = static_cast<DWORD>(op.done);
  const std::shared_ptr<Event> event = std::move(op.event);
  Publish(op.ov, status, op.kind == Op::kWait ? 0 : count);
  // The record may be reused by its owner from here on; only the event held since the start is
  // touched.
  if (event) SignalEvent(*event);
  completed.notify_all();
}

void Port::Apply(const Happenings& h) {
  if (h.errors) {
    errors_ |= h.errors;
    if (dcb.fAbortOnError) {
      errorLock_ = true;
      AbortAll(reads_);
      AbortAll(writes_);
    }
  }
  history_ |= h.events & mask_;
  if (wait_ && history_) {
    wait_->done = history_;
    history_ = 0;
    Complete(*wait_, kStatusSuccess, 0);
    wait_.reset();
  }
}

void Port::Service(Clock::time_point now) {
  Collect();
  ProgressReads(now);
  ProgressWrites();
  if (DWORD e = device_->Failure(); e != ERROR_SUCCESS && wait_) {
    Complete(*wait_, StatusFromError(e), 0);
    wait_.reset();
  }
}

DWORD Port::TryRead(Op& op, Clock::time_point now) {
  std::size_t before = op.done;
  while (op.done < op.size) {
    std::size_t n = 0;
    DWORD e = device_->Read(op.buffer + op.done, op.size - op.done, n);
    if (e != ERROR_SUCCESS) return e;
    if (n == 0) break;
    op.done += n;
  }
  if (op.done > before && op.interval.count() > 0) op.intervalAt = now + op.interval;
  return ERROR_SUCCESS;
}

DWORD Port::TryWrite(Op& op) {
  while (op.done < op.size) {
    std::size_t n = 0;
    DWORD e = device_->Write(op.buffer + op.done, op.size - op.done, n);
    if (e != ERROR_SUCCESS) return e;
    if (n == 0) break;
    op.done += n;
  }
  return ERROR_SUCCESS;
}

void Port::ProgressReads(Clock::time_point now) {
  while (!reads_.empty()) {
    Op& op = reads_.front();
    DWORD e = TryRead(op, now);
    if (e != ERROR_SUCCESS) {
      Complete(op, StatusFromError(e), op.done);
    } else if (op.done == op.size || (op.returnOnAny && op.done > 0)) {
      Complete(op, kStatusSuccess, op.done);
    } else {
      break;
    }
    reads_.pop_front();
  }
}

void Port::ProgressWrites() {
  while (!writes_.empty()) {
    Op& op = writes_.front();
    DWORD e = TryWrite(op);
    if (e != ERROR_SUCCESS)
      Complete(op, StatusFromError(e), op.done);
    else if (op.done == op.size)
      Complete(op, kStatusSuccess, op.done);
    else
      break;
    writes_.pop_front();
  }
}

void Port::Expire(Clock::time_point now) {
  auto expire = [&](std::deque<Op>& ops) {
    for (auto it = ops.begin(); it != ops.end();) {
      if (it->total <= now || it->intervalAt <= now) {
        Complete(*it, kStatusTimeout, it->done);
        it = ops.erase(it);
      } else {
        ++it;
      }
    }
  };
  expire(reads_);
  expire(writes_);
}

void Port::ArmTimer() {
  const bool output = !writes_.empty();
  if (output != watchingOutput_ && device_->ReadyFd() >= 0) {
    Engine::Get().Watch(id_, device_->ReadyFd(), output);
    watchingOutput_ = output;
  }
  Clock::time_point next = kNever;
  for (const Op& op : reads_) next = std::min({next, op.total, op.intervalAt});
  for (const Op& op : writes_) next = std::min(next, op.total);
  if (next == armed_) return;
  itimerspec when{};
  if (next != kNever) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(next.time_since_epoch()).count();
    if (ns <= 0) ns = 1;
    when.it_value.tv_sec = ns / 1000000000;
    when.it_value.tv_nsec = ns % 1000000000;
  }
  timerfd_settime(timer_, TFD_TIMER_ABSTIME, &when, nullptr);
  armed_ = next;
}

DWORD Port::StartRead(Op op, Clock::time_point now) {
  Collect();  // bytes about to be read are reported as arrived (EV_RXCHAR) before they go
  if (errorLock_) return ERROR_OPERATION_ABORTED;
  if (op.size == 0) {
    Complete(op, kStatusSuccess, 0);
    return ERROR_SUCCESS;
  }
  const COMMTIMEOUTS& t = timeouts;
  bool immediate = false;
  if (t.ReadIntervalTimeout == MAXDWORD) {
    if (t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
      immediate = true;  // whatever is queued, even nothing
    } else if (t.ReadTotalTimeoutMultiplier == MAXDWORD && t.ReadTotalTimeoutConstant != 0 &&
               t.ReadTotalTimeoutConstant != MAXDWORD) {
      op.returnOnAny = true;  // first byte, or the constant runs out
      op.total = After(now, t.ReadTotalTimeoutConstant);
    } else if (t.ReadTotalTimeoutMultiplier != MAXDWORD && t.ReadTotalTimeoutConstant != MAXDWORD) {
      op.returnOnAny = true;
      op.total =
          After(now, Total(t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant, op.size));
    } else {
      op.total =
          After(now, Total(t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant, op.size));
    }
  } else {
    if (t.ReadTotalTimeoutMultiplier || t.ReadTotalTimeoutConstant)
      op.total =
          After(now, Total(t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant, op.size));
    // The interval clock starts with the first byte, not with the request.
    if (t.ReadIntervalTimeout != 0) op.interval = std::chrono::milliseconds(t.ReadIntervalTimeout);
  }
  if (reads_.empty()) {
    DWORD e = TryRead(op, now);
    if (e != ERROR_SUCCESS) {
      Complete(op, StatusFromError(e), op.done);
      return ERROR_SUCCESS;
    }
    if (op.done == op.size || immediate || (op.returnOnAny && op.done > 0) ||
        device_->ReadyFd() < 0) {
      Complete(op, kStatusSuccess, op.done);
      return ERROR_SUCCESS;
    }
  }
  reads_.push_back(op);
  ArmTimer();
  return ERROR_IO_PENDING;
}

DWORD Port::StartWrite(Op op, Clock::time_point now) {
  // An error that arrived before its edge was handled still refuses the write. Only then does a
  // write need to look, so the common case stays one write() per WriteFile.
  if (dcb.fAbortOnError) Collect();
  if (errorLock_) return ERROR_OPERATION_ABORTED;
  if (op.size == 0) {
    Complete(op, kStatusSuccess, 0);
    return ERROR_SUCCESS;
  }
  const COMMTIMEOUTS& t = timeouts;
  if (t.WriteTotalTimeoutMultiplier || t.WriteTotalTimeoutConstant)
    op.total =
        After(now, Total(t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant, op.size));
  if (writes_.empty()) {
    DWORD e = TryWrite(op);
    if (e != ERROR_SUCCESS) {
      Complete(op, StatusFromError(e), op.done);
      return ERROR_SUCCESS;
    }
    if (op.done == op.size || device_->ReadyFd() < 0) {
      Complete(op, kStatusSuccess, op.done);
      return ERROR_SUCCESS;
    }
  }
  writes_.push_back(op);
  ArmTimer();
  return ERROR_IO_PENDING;
}

DWORD Port::StartWait(Op op) {
  if (mask_ == 0 || wait_) return ERROR_INVALID_PARAMETER;
  Collect();
  if (history_) {
    op.done = history_;
    history_ = 0;
    Complete(op, kStatusSuccess, 0);
    return ERROR_SUCCESS;
  }
  wait_ = op;
  return ERROR_IO_PENDING;
}

DWORD Port::SetMask(DWORD mask) {
  if (mask & ~kAllEvents) return ERROR_INVALID_PARAMETER;
  Collect();  // what happened under the old mask is reported under it
  if (wait_) {
    wait_->done = 0;
    Complete(*wait_, kStatusSuccess, 0);
    wait_.reset();
  }
  const DWORD before = mask_;
  mask_ = mask;
  history_ &= mask;
  // Bytes that were already queued when receive events were first asked for have never been
  // reported; without this, a reply that arrived just before the mask was set would raise no
  // event until some later byte came in, and a program waiting for events would not see it.
  if ((mask & EV_RXCHAR) && !(before & EV_RXCHAR)) {
    COMSTAT queued{};
    if (device_->GetQueues(queued) == ERROR_SUCCESS && queued.cbInQue) history_ |= EV_RXCHAR;
  }
  device_->OnMask(mask);
  return ERROR_SUCCESS;
}

bool Port::Cancel(OVERLAPPED* ov, bool onlyThisThread) {
  bool any = false;
  auto match = [&](const Op& op) {
    return (ov == nullptr || op.ov == ov) &&
           (!onlyThisThread || op.issuer == std::this_thread::get_id());
  };
  for (auto* ops : {&reads_, &writes_}) {
    for (auto it = ops->begin(); it != ops->end();) {
      if (match(*it)) {
        Complete(*it, kStatusCancelled, it->done);
        it = ops->erase(it);
        any = true;
      } else {
        ++it;
      }
    }
  }
  if (wait_ && match(*wait_)) {
    Complete(*wait_, kStatusCancelled, 0);
    wait_.reset();
    any = true;
  }
  if (any) ArmTimer();
  return any;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Runs f on a live port with its lock held; f returns a Win32 error code (0 for success).
template <class F>
BOOL WithPort(const char* service, HANDLE file, bool commOnly, F f) {
  auto port = Lookup<Port>(file);
  if (!port) return Fail(ERROR_INVALID_HANDLE);
  std::lock_guard g(port->m);
  if (port->closed) return Fail(ERROR_INVALID_HANDLE);
  if (commOnly && !port->device().IsCommDevice()) return Fail(ERROR_INVALID_FUNCTION);
  if (DWORD e = port->device().OnService(service)) return Fail(e);
  DWORD e = f(*port);
  return e == ERROR_SUCCESS ? TRUE : Fail(e);
}

// Issues one transfer or event wait. Without an OVERLAPPED, or on a handle opened without
// FILE_FLAG_OVERLAPPED, the call waits for the completion itself.
BOOL Submit(HANDLE file, Op op, LPDWORD count, LPOVERLAPPED overlapped) {
  auto port = Lookup<Port>(file);
  if (!port) return Fail(ERROR_INVALID_HANDLE);
  if (op.kind != Op::kWait &&
      !(port->access() & (op.kind == Op::kRead ? GENERIC_READ : GENERIC_WRITE)))
    return Fail(ERROR_ACCESS_DENIED);
  OVERLAPPED local{};
  op.ov = overlapped ? overlapped : &local;
  if (overlapped && overlapped->hEvent) {
    op.event = LookupEvent(overlapped->hEvent);
    if (!op.event) return Fail(ERROR_INVALID_HANDLE);
  }
  op.issuer = std::this_thread::get_id();
  const bool wait = overlapped == nullptr || !port->overlapped();
  std::unique_lock lock(port->m);
  if (port->closed) return Fail(ERROR_INVALID_HANDLE);
  if (op.kind == Op::kWait ? !port->device().IsCommDevice() : false)
    return Fail(ERROR_INVALID_FUNCTION);
  static constexpr const char* kService[] = {"ReadFile", "WriteFile", "WaitCommEvent"};
  if (DWORD refused = port->device().OnService(kService[op.kind])) {
    if (count) *count = 0;
    return Fail(refused);
  }
  if (op.event) ResetEvent(*op.event);  // as Windows does when an operation starts
  Publish(op.ov, STATUS_PENDING, 0);
  DWORD e;
  switch (op.kind) {
    case Op::kRead:
      e = port->StartRead(op, Clock::now());
      break;
    case Op::kWrite:
      e = port->StartWrite(op, Clock::now());
      break;
    default:
      e = port->StartWait(op);
      break;
  }
  if (e == ERROR_IO_PENDING) {
    if (!wait) {
      if (count) *count = 0;
      return Fail(ERROR_IO_PENDING);
    }
    port->completed.wait(lock, [&] { return LoadStatus(op.ov) != STATUS_PENDING; });
  } else if (e != ERROR_SUCCESS) {
    Publish(op.ov, StatusFromError(e), 0);
    if (count) *count = 0;
    return Fail(e);
  }
  const ULONG_PTR status = LoadStatus(op.ov);
  if (count) *count = static_cast<DWORD>(LoadCount(op.ov));
  return IsFailure(status) ? Fail(ErrorFromStatus(status)) : TRUE;
}

}  // namespace
}  // namespace detail

using detail::Port;
using detail::WithPort;

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD /*shareMode*/, void* /*security*/,
                   DWORD /*creationDisposition*/, DWORD flagsAndAttributes,
                   HANDLE /*templateFile*/) {
  if (name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (name[0] == '\0') {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::unique_ptr<detail::Device> device;
  DWORD e = detail::OpenRegisteredDevice(name, device);
  if (e == ERROR_FILE_NOT_FOUND) e = detail::OpenPathDevice(name, access, device);
  if (e != ERROR_SUCCESS) {
    SetLastError(e);
    return INVALID_HANDLE_VALUE;
  }
  auto port = std::make_shared<Port>(std::move(device), access,
                                     (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0);
  {
    std::lock_guard g(port->m);
    e = port->Start(port);
  }
  HANDLE h = e == ERROR_SUCCESS ? detail::InsertHandle(port) : nullptr;
  if (!h) {
    port->OnClose();
    SetLastError(e != ERROR_SUCCESS ? e : ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              LPOVERLAPPED overlapped) {
  if (!overlapped && !bytesRead) return detail::Fail(ERROR_INVALID_PARAMETER);
  if (!buffer && bytesToRead) return detail::Fail(ERROR_NOACCESS);
  detail::Op op;
  op.kind = detail::Op::kRead;
  op.buffer = static_cast<unsigned char*>(buffer);
  op.size = bytesToRead;
  return detail::Submit(file, op, bytesRead, overlapped);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped) {
  if (!overlapped && !bytesWritten) return detail::Fail(ERROR_INVALID_PARAMETER);
  if (!buffer && bytesToWrite) return detail::Fail(ERROR_NOACCESS);
  detail::Op op;
  op.kind = detail::Op::kWrite;
  // The device only reads from a write's buffer.
  op.buffer = static_cast<unsigned char*>(const_cast<void*>(buffer));
  op.size = bytesToWrite;
  return detail::Submit(file, op, bytesWritten, overlapped);
}

BOOL WaitCommEvent(HANDLE file, LPDWORD mask, LPOVERLAPPED overlapped) {
  if (!mask) return detail::Fail(ERROR_INVALID_PARAMETER);
  detail::Op op;
  op.kind = detail::Op::kWait;
  op.mask = mask;
  return detail::Submit(file, op, nullptr, overlapped);
}

BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred,
                         BOOL wait) {
  if (!overlapped) return detail::Fail(ERROR_INVALID_PARAMETER);
  ULONG_PTR status = detail::LoadStatus(overlapped);
  if (status == STATUS_PENDING) {
    if (!wait) return detail::Fail(ERROR_IO_INCOMPLETE);
    if (overlapped->hEvent) {
      if (WaitForSingleObject(overlapped->hEvent, INFINITE) != WAIT_OBJECT_0) return FALSE;
      status = detail::LoadStatus(overlapped);
      // Someone else signalled the event: the operation is still running.
      if (status == STATUS_PENDING) return detail::Fail(ERROR_IO_INCOMPLETE);
    } else {
      auto port = detail::Lookup<Port>(file);
      if (!port) return detail::Fail(ERROR_INVALID_HANDLE);
      std::unique_lock lock(port->m);
      port->completed.wait(lock, [&] { return detail::LoadStatus(overlapped) != STATUS_PENDING; });
      status = detail::LoadStatus(overlapped);
    }
  }
  if (bytesTransferred) *bytesTransferred = static_cast<DWORD>(detail::LoadCount(overlapped));
  if (detail::IsFailure(status)) return detail::Fail(detail::ErrorFromStatus(status));
  return TRUE;
}

BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) {
  return WithPort("CancelIoEx", file, false, [&](Port& p) {
    return p.Cancel(overlapped, false) ? ERROR_SUCCESS : ERROR_NOT_FOUND;
  });
}

BOOL CancelIo(HANDLE file) {
  // Windows succeeds even when the thread had nothing outstanding.
  return WithPort("CancelIo", file, false, [&](Port& p) {
    p.Cancel(nullptr, true);
    return ERROR_SUCCESS;
  });
}

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
  return WithPort("SetupComm", file, true, [&](Port& p) {
    DWORD e = p.device().SetQueueSizes(inQueue, outQueue);
    // Asking for less than the driver already has leaves its queue as it is.
    if (e == ERROR_SUCCESS) p.inQueue = std::max(p.inQueue, inQueue);
    return e;
  });
}

BOOL GetCommState(HANDLE file, DCB* dcb) {
  if (!dcb) return detail::Fail(ERROR_INVALID_PARAMETER);
  return WithPort("GetCommState", file, true, [&](Port& p) {
    *dcb = p.dcb;
    dcb->DCBlength = sizeof(DCB);
    return ERROR_SUCCESS;
  });
}

BOOL SetCommState(HANDLE file, DCB* dcb) {
  if (!dcb) return detail::Fail(ERROR_INVALID_PARAMETER);
  const DCB next = *dcb;
  return WithPort("SetCommState", file, true, [&](Port& p) {
    DWORD e = detail::ValidateDcb(next, p.inQueue);
    if (e == ERROR_SUCCESS) e = p.device().ApplyState(next, p.dcb);
    if (e == ERROR_SUCCESS) p.dcb = next;
    return e;
  });
}

BOOL GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
  if (!timeouts) return detail::Fail(ERROR_INVALID_PARAMETER);
  return WithPort("GetCommTimeouts", file, true, [&](Port& p) {
    *timeouts = p.timeouts;
    return ERROR_SUCCESS;
  });
}

BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
  if (!timeouts) return detail::Fail(ERROR_INVALID_PARAMETER);
  const COMMTIMEOUTS t = *timeouts;
  if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
      t.ReadTotalTimeoutConstant == MAXDWORD)
    return detail::Fail(ERROR_INVALID_PARAMETER);
  return WithPort("SetCommTimeouts", file, true, [&](Port& p) {
    p.timeouts = t;
    p.device().OnTimeouts(t);
    return ERROR_SUCCESS;
  });
}

BOOL SetCommMask(HANDLE file, DWORD mask) {
  return WithPort("SetCommMask", file, true, [&](Port& p) { return p.SetMask(mask); });
}

BOOL GetCommMask(HANDLE file, LPDWORD mask) {
  if (!mask) return detail::Fail(ERROR_INVALID_PARAMETER);
  return WithPort("GetCommMask", file, true, [&](Port& p) {
    *mask = p.mask();
    return ERROR_SUCCESS;
  });
}

BOOL ClearCommError(HANDLE file, LPDWORD errors, COMSTAT* stat) {
  DWORD e = 0;
  COMSTAT s{};
  BOOL ok = WithPort("ClearCommError", file, true, [&](Port& p) {
    p.Refresh(detail::Clock::now());
    DWORD r = p.device().GetQueues(s);
    if (r == ERROR_SUCCESS) e = p.TakeErrors();
    return r;
  });
  if (ok) {
    if (errors) *errors = e;
    if (stat) *stat = s;
  }
  return ok;
}

BOOL PurgeComm(HANDLE file, DWORD flags) {
  constexpr DWORD all = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
  if (flags == 0 || (flags & ~all)) return detail::Fail(ERROR_INVALID_PARAMETER);
  return WithPort("PurgeComm", file, true, [&](Port& p) {
    p.device().OnPurge(flags);
    if (flags & PURGE_TXABORT) p.AbortWrites();
    if (flags & PURGE_RXABORT) p.AbortReads();
    if (flags & (PURGE_TXCLEAR | PURGE_RXCLEAR))
      return p.device().Purge((flags & PURGE_RXCLEAR) != 0, (flags & PURGE_TXCLEAR) != 0);
    return ERROR_SUCCESS;
  });
}

BOOL EscapeCommFunction(HANDLE file, DWORD function) {
  return WithPort("EscapeCommFunction", file, true, [&](Port& p) -> DWORD {
    switch (function) {
      case SETDTR:
      case CLRDTR:
        // Under handshake the driver owns the line.
        if (p.dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) return ERROR_INVALID_PARAMETER;
        break;
      case SETRTS:
      case CLRRTS:
        if (p.dcb.fRtsControl == RTS_CONTROL_HANDSHAKE || p.dcb.fRtsControl == RTS_CONTROL_TOGGLE)
          return ERROR_INVALID_PARAMETER;
        break;
      case SETXOFF:
      case SETXON:
      case SETBREAK:
      case CLRBREAK:
        break;
      default:
        return ERROR_INVALID_PARAMETER;
    }
    return p.device().Escape(function);
  });
}

BOOL GetCommModemStatus(HANDLE file, LPDWORD status) {
  if (!status) return detail::Fail(ERROR_INVALID_PARAMETER);
  DWORD s = 0;
  BOOL ok = WithPort("GetCommModemStatus", file, true,
                     [&](Port& p) { return p.device().GetModemStatus(s); });
  if (ok) *status = s;
  return ok;
}

}  // namespace win32
