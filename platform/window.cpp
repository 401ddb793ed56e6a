// Window messages: message-only windows, per-thread message queues, PostMessageA / GetMessageA.
//
// Windows live in one process-wide table of slots; a handle is (generation << 32) | (index + 1),
// and a slot's generation moves on when its window is destroyed, so a released handle value never
// names a later window (a slot whose generation would wrap is retired).
//
// Each thread gets a queue the first time it needs one: a mutex, a deque and an eventfd. The
// eventfd is readable exactly while the queue holds something (messages or a pending quit): it is
// written on the empty -> non-empty transition and drained on the way back, both under the queue
// lock. Unfiltered GetMessageA waits in poll() on that eventfd; a filtered one waits on a condition
// variable that posters signal only while such a waiter exists. So a post costs a lock, a push and,
// only when the queue was empty, one eventfd write.
//
// Lock order: table, then queue. A poster finds the queue under the table lock and takes the queue
// lock before letting the table go, so a queue is never released under a poster's feet: the
// exiting thread unlinks its windows under the table lock, then takes its queue lock once to wait
// out any poster still inside, and only then frees the queue.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/win32.h"

namespace win32 {

namespace {

struct Queue {
  std::mutex lock;
  std::deque<MSG> messages;
  bool quit = false;
  int quit_code = 0;
  bool signalled = false;  // the eventfd counter is non-zero
  int filtered_waiters = 0;
  std::condition_variable filtered_wait;
  int event_fd = -1;
};

struct Slot {
  std::uint32_t generation = 1;
  bool live = false;
  bool destroying = false;  // WM_NCDESTROY is being sent
  Queue* owner = nullptr;
  WNDPROC proc = nullptr;
  LONG_PTR user_data = 0;
};

struct WindowTable {
  std::mutex lock;
  std::vector<Slot> slots;
  std::vector<std::uint32_t> free_slots;
};

WindowTable& Table() {
  // Never destroyed: threads may still exit (and release their windows) during process exit.
  static WindowTable* table = new WindowTable;
  return *table;
}

HWND MakeHandle(std::uint32_t index, std::uint32_t generation) {
  auto value =
      (static_cast<std::uintptr_t>(generation) << 32) | (static_cast<std::uintptr_t>(index) + 1);
  return reinterpret_cast<HWND>(value);
}

// The live slot a handle names, or null. Table lock held.
Slot* Lookup(WindowTable& t, HWND window) {
  auto value = reinterpret_cast<std::uintptr_t>(window);
  auto low = static_cast<std::uint32_t>(value & 0xFFFFFFFFu);
  auto generation = static_cast<std::uint32_t>(value >> 32);
  if (low == 0 || low > t.slots.size()) return nullptr;
  Slot& s = t.slots[low - 1];
  return (s.live && s.generation == generation) ? &s : nullptr;
}

// Releases a slot. Table lock held.
void FreeSlot(WindowTable& t, Slot& s) {
  s.live = false;
  s.destroying = false;
  s.owner = nullptr;
  s.proc = nullptr;
  s.user_data = 0;
  if (++s.generation != 0) t.free_slots.push_back(static_cast<std::uint32_t>(&s - t.slots.data()));
}

// Queue lock held for all of these.
void Signal(Queue& q) {
  if (!q.signalled) {
    std::uint64_t one = 1;
    ssize_t n;
    do {
      n = ::write(q.event_fd, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
    q.signalled = true;
  }
  if (q.filtered_waiters > 0) q.filtered_wait.notify_all();
}

void Unsignal(Queue& q) {
  if (q.signalled && q.messages.empty() && !q.quit) {
    std::uint64_t count;
    ssize_t n;
    do {
      n = ::read(q.event_fd, &count, sizeof count);
    } while (n < 0 && errno == EINTR);
    q.signalled = false;
  }
}

void Push(Queue& q, const MSG& m) {
  q.messages.push_back(m);
  Signal(q);
}

// ---- The calling thread's queue -----------------------------------------------------------------

thread_local Queue* tls_queue = nullptr;
thread_local bool tls_queue_closed = false;  // the thread is exiting: no new queue, no new windows

void ReleaseThreadQueue();

struct QueueCleanup {
  ~QueueCleanup() { ReleaseThreadQueue(); }
};
thread_local QueueCleanup tls_cleanup;

Queue* CurrentQueue(bool create) {
  if (tls_queue || !create) return tls_queue;
  if (tls_queue_closed) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return nullptr;
  }
  int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) {
    SetLastError(errno == EMFILE || errno == ENFILE ? ERROR_TOO_MANY_OPEN_FILES
                                                    : ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto* q = new Queue;
  q->event_fd = fd;
  tls_queue = q;
  (void)&tls_cleanup;  // odr-use: registers the thread-exit cleanup for this thread
  return q;
}

void ReleaseThreadQueue() {
  tls_queue_closed = true;
  Queue* q = tls_queue;
  if (!q) return;
  // Destroy every window the thread still owns: each procedure gets WM_NCDESTROY, then the
  // handles go.
  WindowTable& t = Table();
  std::vector<std::pair<HWND, WNDPROC>> doomed;
  {
    std::lock_guard guard(t.lock);
    for (std::size_t i = 0; i < t.slots.size(); ++i) {
      Slot& s = t.slots[i];
      if (s.live && s.owner == q && !s.destroying) {
        s.destroying = true;
        doomed.emplace_back(MakeHandle(static_cast<std::uint32_t>(i), s.generation), s.proc);
      }
    }
  }
  for (auto& [window, proc] : doomed) {
    if (proc) proc(window, WM_NCDESTROY, 0, 0);
  }
  {
    std::lock_guard guard(t.lock);
    for (Slot& s : t.slots) {
      if (s.live && s.owner == q) FreeSlot(t, s);
    }
  }
  { std::lock_guard wait_out_posters(q->lock); }
  ::close(q->event_fd);
  delete q;
  tls_queue = nullptr;
}

// ---- Taking messages
// ------------------------------------------------------------------------------

bool Matches(const MSG& m, HWND window, UINT filterMin, UINT filterMax) {
  if (window && m.hwnd != window) return false;
  if (filterMin == 0 && filterMax == 0) return true;
  return m.message >= filterMin && m.message <= filterMax;
}

// The first message that matches, or the pending quit; queue lock held.
bool Take(Queue& q, MSG* msg, HWND window, UINT filterMin, UINT filterMax, bool remove) {
  auto it = std::find_if(q.messages.begin(), q.messages.end(),
                         [&](const MSG& m) { return Matches(m, window, filterMin, filterMax); });
  if (it != q.messages.end()) {
    *msg = *it;
    if (remove) {
      q.messages.erase(it);
      Unsignal(q);
    }
    return true;
  }
  if (q.quit) {  // retrieved whatever the filter, once no matching message is left
    *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(q.quit_code), 0};
    if (remove) {
      q.quit = false;
      Unsignal(q);
    }
    return true;
  }
  return false;
}

// A filter window must be one of the calling thread's.
bool CheckFilterWindow(Queue* q, HWND window) {
  if (!window) return true;
  WindowTable& t = Table();
  std::lock_guard guard(t.lock);
  Slot* s = Lookup(t, window);
  if (!s || s->owner != q) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  return true;
}

}  // namespace

// ---- Windows
// --------------------------------------------------------------------------------------

HWND CreateMessageWindow(WNDPROC proc, LONG_PTR userData) {
  Queue* q = CurrentQueue(true);
  if (!q) return nullptr;
  WindowTable& t = Table();
  std::lock_guard guard(t.lock);
  std::uint32_t index;
  if (!t.free_slots.empty()) {
    index = t.free_slots.back();
    t.free_slots.pop_back();
  } else {
    if (t.slots.size() >= 0xFFFFFFFEu) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    index = static_cast<std::uint32_t>(t.slots.size());
    t.slots.emplace_back();
  }
  Slot& s = t.slots[index];
  s.live = true;
  s.owner = q;
  s.proc = proc;
  s.user_data = userData;
  return MakeHandle(index, s.generation);
}

BOOL DestroyWindow(HWND window) {
  Queue* q = CurrentQueue(false);
  WindowTable& t = Table();
  WNDPROC proc = nullptr;
  {
    std::lock_guard guard(t.lock);
    Slot* s = Lookup(t, window);
    if (!s || s->destroying) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    if (!q || s->owner != q) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    s->destroying = true;
    proc = s->proc;
  }
  // As on Windows, the window still exists while its procedure handles WM_NCDESTROY.
  if (proc) proc(window, WM_NCDESTROY, 0, 0);
  {
    std::lock_guard guard(t.lock);
    if (Slot* s = Lookup(t, window)) FreeSlot(t, *s);
  }
  {
    std::lock_guard guard(q->lock);
    std::erase_if(q->messages, [window](const MSG& m) { return m.hwnd == window; });
    Unsignal(*q);
  }
  return TRUE;
}

BOOL IsWindow(HWND window) {
  WindowTable& t = Table();
  std::lock_guard guard(t.lock);
  return Lookup(t, window) ? TRUE : FALSE;
}

LONG_PTR GetWindowLongPtrA(HWND window, int index) {
  WindowTable& t = Table();
  std::lock_guard guard(t.lock);
  Slot* s = Lookup(t, window);
  if (!s) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (index != GWLP_USERDATA) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return s->user_data;
}

// ---- Posting
// --------------------------------------------------------------------------------------

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  MSG m{window, message, wParam, lParam};
  if (!window) {
    Queue* own = CurrentQueue(true);
    if (!own) return FALSE;
    std::lock_guard guard(own->lock);
    Push(*own, m);
    return TRUE;
  }
  WindowTable& t = Table();
  std::unique_lock table_guard(t.lock);
  Slot* s = Lookup(t, window);
  if (!s) {
    table_guard.unlock();
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  Queue& q = *s->owner;
  std::lock_guard queue_guard(q.lock);
  table_guard.unlock();
  Push(q, m);
  return TRUE;
}

void PostQuitMessage(int exitCode) {
  Queue* q = CurrentQueue(true);
  if (!q) return;
  std::lock_guard guard(q->lock);
  q->quit = true;
  q->quit_code = exitCode;
  Signal(*q);
}

// ---- Receiving
// ------------------------------------------------------------------------------------

BOOL GetMessageA(MSG* msg, HWND window, UINT filterMin, UINT filterMax) {
  if (!msg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  Queue* q = CurrentQueue(true);
  if (!q) return -1;
  if (!CheckFilterWindow(q, window)) return -1;
  bool filtered = window || filterMin || filterMax;
  std::unique_lock guard(q->lock);
  for (;;) {
    if (Take(*q, msg, window, filterMin, filterMax, true)) return msg->message == WM_QUIT ? 0 : 1;
    if (filtered) {
      // Only this thread can destroy the filter window, and it is here: the window outlives the
      // wait.
      ++q->filtered_waiters;
      q->filtered_wait.wait(guard);
      --q->filtered_waiters;
    } else {
      // Empty, so the eventfd is drained: the next post makes it readable.
      guard.unlock();
      pollfd p{q->event_fd, POLLIN, 0};
      while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
      }
      guard.lock();
    }
  }
}

BOOL PeekMessageA(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags) {
  if (!msg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Queue* q = CurrentQueue(true);
  if (!q) return FALSE;
  if (!CheckFilterWindow(q, window)) return FALSE;
  std::lock_guard guard(q->lock);
  return Take(*q, msg, window, filterMin, filterMax, (removeFlags & PM_REMOVE) != 0) ? TRUE : FALSE;
}

LRESULT DispatchMessageA(const MSG* msg) {
  if (!msg || !msg->hwnd) return 0;
  Queue* q = CurrentQueue(false);
  WNDPROC proc = nullptr;
  {
    WindowTable& t = Table();
    std::lock_guard guard(t.lock);
    Slot* s = Lookup(t, msg->hwnd);
    if (!s) {  // destroyed since it was queued: dropped
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    if (s->owner != q) {
      SetLastError(ERROR_ACCESS_DENIED);
      return 0;
    }
    proc = s->proc;
  }
  return proc ? proc(msg->hwnd, msg->message, msg->wParam, msg->lParam) : 0;
}

int GetMessageQueueFd() {
  Queue* q = CurrentQueue(true);
  return q ? q->event_fd : -1;
}

}  // namespace win32
