// The state behind the virtual devices of "platform/virtual.h": one line (a single port, a
// loopback, or the two ends of a null modem) under one lock. Not installed.
//
// Lock order: a port's lock, then the line's. The far end takes only the line's lock; nothing
// here calls into a port: an end tells its port about a change by writing to the eventfd the
// port's I/O thread watches.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/detail/device.h"
#include "platform/virtual.h"

namespace quellin::detail {

using win32::DWORD;

struct VirtualEndState {
  std::string name;
  VirtualEndState* peer = nullptr;  // the other end, this one for a loopback, none for a port
  bool registered = false;

  // The device as the program sees it.
  bool open = false;
  bool gone = false;
  int fd = -1;       // the open device's eventfd
  win32::DCB dcb{};  // in force; the framing and flow members outlast a close, as a tty's do
  std::deque<unsigned char> input;
  std::size_t capacity = 0;
  DWORD events = 0, errors = 0;  // not yet collected
  bool dtr = false, rts = false, brk = false;
  bool cts = false, dsr = false, rlsd = false, ring = false;
  bool xoffHeld = false;      // output held: XOFF received or SETXOFF
  bool xoffSent = false;      // fInX: this end has asked its sender to stop
  bool writeBlocked = false;  // a write found no room: wake this end when room frees

  // The far end's script.
  std::string output;
  bool stalled = false;
  DWORD failWrites = 0;
  std::function<bool(const win32::DCB&)> refuse;
  std::map<std::string, std::map<unsigned, DWORD>, std::less<>> failures;  // call number -> error

  // Observations.
  std::map<std::string, unsigned, std::less<>> calls;
  std::vector<VirtualEnd::LineChange> history;
  std::vector<DWORD> escapes;
  std::optional<win32::DCB> lastState;
  std::optional<win32::COMMTIMEOUTS> lastTimeouts;
  std::optional<DWORD> mask;
  std::vector<DWORD> purges;
  std::optional<VirtualEnd::QueueSizes> queueSizes;
};

struct VirtualLine {
  enum class Kind { kPort, kLoopback, kNullModem };
  explicit VirtualLine(Kind kind);

  std::mutex m;
  std::condition_variable changed;  // output, opens and closes, for the far end's waits
  VirtualEndState ends[2];
};

// Everything below: with line.m held.
void Inject(VirtualLine& line, VirtualEndState& e, const unsigned char* bytes, std::size_t n,
            DWORD errors);
void SetIncoming(VirtualEndState& e, bool VirtualEndState::*level, DWORD event, bool on);
// Tells the open end's port to look again (a hold was lifted).
void Wake(VirtualEndState& e);
void Vanish(VirtualLine& line, VirtualEndState& e);

// Registers end under its name; false when the name is taken.
bool RegisterEnd(const std::shared_ptr<VirtualLine>& line, int end);
// Withdraws the name and unplugs the end: open handles fail from now on, and nothing opens it.
void UnregisterEnd(const std::shared_ptr<VirtualLine>& line, int end);

}  // namespace quellin::detail
