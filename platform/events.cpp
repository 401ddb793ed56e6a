#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/detail/handles.h"

namespace win32 {
namespace detail {

class Event final : public Object {
 public:
  Event(bool manual, bool signalled) : manual_(manual), signalled_(signalled) {}

  void Set() {
    {
      std::lock_guard g(m_);
      signalled_ = true;
    }
    // An auto-reset event releases one waiter; the others go back to sleep on the predicate.
    if (manual_)
      cv_.notify_all();
    else
      cv_.notify_one();
  }
  void Reset() {
    std::lock_guard g(m_);
    signalled_ = false;
  }
  DWORD Wait(DWORD milliseconds) {
    std::unique_lock lock(m_);
    auto ready = [&] { return signalled_; };
    if (milliseconds == INFINITE) {
      cv_.wait(lock, ready);
    } else if (!cv_.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
      return WAIT_TIMEOUT;
    }
    if (!manual_) signalled_ = false;
    return WAIT_OBJECT_0;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  const bool manual_;
  bool signalled_;
};

std::shared_ptr<Event> LookupEvent(HANDLE handle) {
  return Lookup<Event>(handle);
}
void SignalEvent(Event& event) {
  event.Set();
}
void ResetEvent(Event& event) {
  event.Reset();
}

}  // namespace detail

HANDLE CreateEventA(void* /*security*/, BOOL manualReset, BOOL initialState, LPCSTR name) {
  if (name != nullptr && name[0] != '\0') {  // named (shared) events are not offered
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  return detail::InsertHandle(std::make_shared<detail::Event>(manualReset != 0, initialState != 0));
}

BOOL SetEvent(HANDLE event) {
  if (auto e = detail::LookupEvent(event)) return e->Set(), TRUE;
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

BOOL ResetEvent(HANDLE event) {
  if (auto e = detail::LookupEvent(event)) return e->Reset(), TRUE;
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  auto e = detail::Lookup<detail::Event>(object);
  if (!e) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return e->Wait(milliseconds);
}

}  // namespace win32
