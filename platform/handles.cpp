#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/detail/handles.h"

namespace win32 {
namespace detail {

namespace {

// Slot numbers are kept below 2^24 and generations below 2^31, so a handle is never null and never
// INVALID_HANDLE_VALUE.
constexpr std::uint64_t kMaxSlots = 1u << 24;

struct Slot {
  std::uint32_t generation = 1;
  std::shared_ptr<Object> object;
};

struct Table {
  std::mutex lock;
  std::vector<Slot> slots;
  std::vector<std::uint32_t> free;
};

Table& TheTable() {
  static Table* table = new Table;  // handles may be closed from other statics' destructors
  return *table;
}

HANDLE Encode(std::uint32_t index, std::uint32_t generation) {
  const std::uint64_t v = (std::uint64_t{generation} << 32) | (std::uint64_t{index} + 1);
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(v));
}

bool Decode(HANDLE h, std::uint32_t& index, std::uint32_t& generation) {
  const auto v = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(h));
  const std::uint64_t low = v & 0xFFFFFFFFu;
  if (low == 0 || low > kMaxSlots) return false;
  index = static_cast<std::uint32_t>(low - 1);
  generation = static_cast<std::uint32_t>(v >> 32);
  return true;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<Object> object) {
  Table& t = TheTable();
  std::lock_guard g(t.lock);
  std::uint32_t index;
  if (!t.free.empty()) {
    index = t.free.back();
    t.free.pop_back();
  } else {
    if (t.slots.size() >= kMaxSlots) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    index = static_cast<std::uint32_t>(t.slots.size());
    t.slots.emplace_back();
  }
  Slot& s = t.slots[index];
  s.object = std::move(object);
  return Encode(index, s.generation);
}

std::shared_ptr<Object> LookupHandle(HANDLE handle) {
  std::uint32_t index, generation;
  if (!Decode(handle, index, generation)) return nullptr;
  Table& t = TheTable();
  std::lock_guard g(t.lock);
  if (index >= t.slots.size() || t.slots[index].generation != generation) return nullptr;
  return t.slots[index].object;
}

namespace {

std::shared_ptr<Object> RemoveHandle(HANDLE handle) {
  std::uint32_t index, generation;
  if (!Decode(handle, index, generation)) return nullptr;
  Table& t = TheTable();
  std::lock_guard g(t.lock);
  if (index >= t.slots.size()) return nullptr;
  Slot& s = t.slots[index];
  if (s.generation != generation || !s.object) return nullptr;
  std::shared_ptr<Object> out = std::move(s.object);
  s.object.reset();
  // A slot whose generation would wrap is retired rather than reused.
  if (++s.generation < 0x7FFFFFFFu) t.free.push_back(index);
  return out;
}

}  // namespace
}  // namespace detail

BOOL CloseHandle(HANDLE object) {
  std::shared_ptr<detail::Object> o = detail::RemoveHandle(object);
  if (!o) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  o->OnClose();
  return TRUE;
}

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) {
  if ((flags & ~GPTR) != 0) {  // movable blocks are not offered
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // A request larger than the machine's memory cannot succeed; refusing it here keeps the
  // allocator (and sanitizers' allocators, which abort instead of failing) out of it.
  static const std::uint64_t physical = static_cast<std::uint64_t>(sysconf(_SC_PHYS_PAGES)) *
                                        static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  if (bytes > physical) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  const std::size_t n = bytes == 0 ? 1 : bytes;
  void* p = (flags & GMEM_ZEROINIT) ? std::calloc(1, n) : std::malloc(n);
  if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return p;
}

HGLOBAL GlobalFree(HGLOBAL block) {
  std::free(block);
  return nullptr;
}

}  // namespace win32
