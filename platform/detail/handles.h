// The process-wide handle table shared by every kernel-object-like thing of platform/ (events,
// devices). Not installed.
//
// A handle value carries a slot index and the slot's generation, so a value that was closed never
// reaches the object that later reuses the slot: it fails lookup like any garbage value.
#pragma once

#include <memory>

#include "platform/win32.h"

namespace win32::detail {

class Object {
 public:
  virtual ~Object() = default;
  // Runs once when the handle is closed, after it has left the table; may block briefly.
  virtual void OnClose() {}
};

// Null (with ERROR_NOT_ENOUGH_MEMORY set) when the table cannot grow.
HANDLE InsertHandle(std::shared_ptr<Object> object);
std::shared_ptr<Object> LookupHandle(HANDLE handle);

template <class T>
std::shared_ptr<T> Lookup(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

// An operation holds its completion event by reference from the moment it starts, as Windows
// does: closing the handle meanwhile does not make the completion signal some other object.
class Event;
std::shared_ptr<Event> LookupEvent(HANDLE handle);
void SignalEvent(Event& event);
void ResetEvent(Event& event);

}  // namespace win32::detail
