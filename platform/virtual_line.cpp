// The virtual line: how bytes, modem lines, flow control and faults move between the ends of a
// virtual device, and the Device the common layer drives for each open end.
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "platform/detail/virtual_line.h"

namespace quellin::detail {

using namespace win32;
using Signal = VirtualEnd::Signal;
using Cause = VirtualEnd::Cause;

// An edge for the port's I/O thread. Each write to an eventfd is one, drained or not.
void Wake(VirtualEndState& e) {
  if (e.fd < 0) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(e.fd, &one, sizeof one);
}

namespace {

// Larger than Windows' usual 4096 so that a test can queue a good deal without reading; SetupComm
// can ask for more.
constexpr std::size_t kMinCapacity = 64 * 1024;

// What a port reports before anyone sets it, as the common layer seeds its shadow DCB.
DCB Defaults() {
  DCB d{};
  d.DCBlength = sizeof(DCB);
  d.BaudRate = 9600;
  d.fBinary = 1;
  d.fDtrControl = DTR_CONTROL_ENABLE;
  d.fRtsControl = RTS_CONTROL_ENABLE;
  d.XonLim = 2048;
  d.XoffLim = 512;
  d.ByteSize = 8;
  d.XonChar = 0x11;
  d.XoffChar = 0x13;
  return d;
}

// The members a device holds itself (a tty's termios); the rest live in the common layer.
void CopyHeld(const DCB& from, DCB& to) {
  to.BaudRate = from.BaudRate;
  to.ByteSize = from.ByteSize;
  to.Parity = from.Parity;
  to.StopBits = from.StopBits;
  to.fParity = from.fParity;
  to.fOutX = from.fOutX;
  to.fInX = from.fInX;
  to.fOutxCtsFlow = from.fOutxCtsFlow;
  to.fRtsControl =
      from.fRtsControl == RTS_CONTROL_HANDSHAKE ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  to.XonChar = from.XonChar;
  to.XoffChar = from.XoffChar;
}

void Note(VirtualEndState& e, DWORD events, DWORD errors = 0) {
  e.events |= events;
  e.errors |= errors;
  Wake(e);
}

void Flow(VirtualLine& line, VirtualEndState& e);

// A byte the end puts on its wire outside the data (XON/XOFF).
void SendControl(VirtualLine& line, VirtualEndState& e, char c);

// Whether e may not send now.
bool Held(const VirtualEndState& e) {
  return e.stalled || e.xoffHeld || (e.dcb.fOutxCtsFlow && !e.cts) ||
         (e.dcb.fOutxDsrFlow && !e.dsr);
}

// Bytes reaching e from the wire (from sender, when they come from an end). Returns how many it
// took: all of them unless its input fills up or its handshake stops the sender; a closed end
// takes everything and keeps nothing.
std::size_t Receive(VirtualLine& line, VirtualEndState& e, const unsigned char* bytes,
                    std::size_t n, VirtualEndState* sender = nullptr) {
  if (!e.open || e.gone) return n;
  DWORD events = 0;
  std::size_t i = 0;
  for (; i < n; ++i) {
    const unsigned char c = bytes[i];
    if (e.dcb.fOutX && c == static_cast<unsigned char>(e.dcb.XoffChar)) {
      e.xoffHeld = true;
      continue;
    }
    if (e.dcb.fOutX && c == static_cast<unsigned char>(e.dcb.XonChar)) {
      e.xoffHeld = false;
      Wake(e);  // held writes may go
      continue;
    }
    if (e.dcb.fNull && c == 0) continue;
    if (e.input.size() >= e.capacity) break;
    e.input.push_back(c);
    events |= EV_RXCHAR;
    if (c == static_cast<unsigned char>(e.dcb.EvtChar)) events |= EV_RXFLAG;
    // The handshake acts at its threshold, as a UART's does, not after a whole write went in.
    if (sender && e.input.size() + e.dcb.XoffLim >= e.capacity) {
      Flow(line, e);
      if (Held(*sender)) {
        ++i;
        break;
      }
    }
  }
  if (events) Note(e, events);
  Flow(line, e);
  return i;
}

void SendControl(VirtualLine& line, VirtualEndState& e, char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (e.peer) {
    Receive(line, *e.peer, &byte, 1);
  } else {
    e.output.push_back(c);
    line.changed.notify_all();
  }
}

// A modem line into e changed level.
void Incoming(VirtualEndState& e, bool VirtualEndState::*level, DWORD event, bool on) {
  if (e.*level == on) return;
  e.*level = on;
  if (e.open) Note(e, event);  // also wakes writes held by CTS or DSR
}

// e drives one of its lines.
void Drive(VirtualLine& line, VirtualEndState& e, Signal s, bool on, Cause cause) {
  bool& level = s == Signal::kDtr ? e.dtr : s == Signal::kRts ? e.rts : e.brk;
  if (level == on) return;
  level = on;
  e.history.push_back({s, on, cause});
  line.changed.notify_all();
  if (!e.peer) return;
  VirtualEndState& p = *e.peer;
  switch (s) {
    case Signal::kDtr:
      Incoming(p, &VirtualEndState::dsr, EV_DSR, on);
      Incoming(p, &VirtualEndState::rlsd, EV_RLSD, on);
      break;
    case Signal::kRts:
      Incoming(p, &VirtualEndState::cts, EV_CTS, on);
      break;
    case Signal::kBreak:
      if (on && p.open) Note(p, EV_BREAK, CE_BREAK);
      break;
  }
}

// The handshakes an end runs on its own input level: XOFF/XON (fInX), RTS and DTR handshake.
void Flow(VirtualLine& line, VirtualEndState& e) {
  if (!e.open || e.gone) return;
  const std::size_t used = e.input.size();
  const bool full = used + e.dcb.XoffLim >= e.capacity;
  const bool drained = used <= e.dcb.XonLim;
  if (e.dcb.fInX && !e.xoffSent && full) {
    e.xoffSent = true;
    SendControl(line, e, e.dcb.XoffChar);
  } else if (e.xoffSent && drained) {
    e.xoffSent = false;
    SendControl(line, e, e.dcb.XonChar);
  }
  if (e.dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
    if (e.rts && full) Drive(line, e, Signal::kRts, false, Cause::kFlow);
    if (!e.rts && drained) Drive(line, e, Signal::kRts, true, Cause::kFlow);
  }
  if (e.dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) {
    if (e.dtr && full) Drive(line, e, Signal::kDtr, false, Cause::kFlow);
    if (!e.dtr && drained) Drive(line, e, Signal::kDtr, true, Cause::kFlow);
  }
}

// Room freed in e's input: a write into it that found none may go on.
void Drained(VirtualLine& line, VirtualEndState& e) {
  Flow(line, e);
  if (e.peer && e.peer->writeBlocked) {
    e.peer->writeBlocked = false;
    Wake(*e.peer);
  }
}

class VirtualDevice final : public win32::detail::Device {
 public:
  VirtualDevice(std::shared_ptr<VirtualLine> line, VirtualEndState& end, int fd)
      : line_(std::move(line)), e_(end), fd_(fd) {}

  ~VirtualDevice() override {
    {
      std::lock_guard g(line_->m);
      VirtualLine& l = *line_;
      e_.input.clear();
      e_.xoffHeld = e_.xoffSent = e_.writeBlocked = false;
      Drive(l, e_, Signal::kBreak, false, Cause::kClose);
      Drive(l, e_, Signal::kDtr, false, Cause::kClose);
      Drive(l, e_, Signal::kRts, false, Cause::kClose);
      e_.open = false;
      e_.fd = -1;
      // A write into this end now loses its bytes instead of waiting for room.
      if (e_.peer && e_.peer != &e_ && e_.peer->writeBlocked) {
        e_.peer->writeBlocked = false;
        Wake(*e_.peer);
      }
      l.changed.notify_all();
    }
    ::close(fd_);
  }

  int ReadyFd() const override { return fd_; }

  DWORD Read(void* buffer, std::size_t size, std::size_t& done) override {
    std::lock_guard g(line_->m);
    done = 0;
    if (e_.gone) return ERROR_DEVICE_REMOVED;
    done = std::min(size, e_.input.size());
    std::copy_n(e_.input.begin(), done, static_cast<unsigned char*>(buffer));
    e_.input.erase(e_.input.begin(), e_.input.begin() + static_cast<std::ptrdiff_t>(done));
    if (done) Drained(*line_, e_);
    return ERROR_SUCCESS;
  }

  DWORD Write(const void* buffer, std::size_t size, std::size_t& done) override {
    std::lock_guard g(line_->m);
    VirtualLine& l = *line_;
    done = 0;
    if (e_.gone) return ERROR_DEVICE_REMOVED;
    if (e_.failWrites != ERROR_SUCCESS) return e_.failWrites;
    if (size == 0) return ERROR_SUCCESS;
    if (Held(e_)) {
      e_.writeBlocked = true;
      return ERROR_SUCCESS;
    }
    const bool toggle = e_.dcb.fRtsControl == RTS_CONTROL_TOGGLE;
    if (toggle) Drive(l, e_, Signal::kRts, true, Cause::kFlow);
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    if (e_.peer) {
      done = Receive(l, *e_.peer, bytes, size, &e_);
      if (done < size) e_.writeBlocked = true;
    } else {
      e_.output.append(reinterpret_cast<const char*>(bytes), size);
      done = size;
      l.changed.notify_all();
    }
    if (toggle) Drive(l, e_, Signal::kRts, false, Cause::kFlow);
    if (done == size) {
      // Bytes leave at once: the queue is empty again. Only an event wait cares, so the I/O
      // thread is not woken for every write when nobody waits for this.
      e_.events |= EV_TXEMPTY;
      if (e_.mask.value_or(0) & EV_TXEMPTY) Wake(e_);
    }
    return ERROR_SUCCESS;
  }

  win32::detail::Happenings Collect() override {
    std::uint64_t count;
    while (::read(fd_, &count, sizeof count) > 0) {
    }
    std::lock_guard g(line_->m);
    win32::detail::Happenings h{e_.events, e_.errors};
    e_.events = e_.errors = 0;
    return h;
  }

  DWORD ReadState(DCB& dcb) override {
    std::lock_guard g(line_->m);
    CopyHeld(e_.dcb, dcb);
    return ERROR_SUCCESS;
  }

  DWORD ApplyState(const DCB& next, const DCB& /*previous*/) override {
    std::function<bool(const DCB&)> refuse;
    {
      std::lock_guard g(line_->m);
      if (e_.gone) return ERROR_DEVICE_REMOVED;
      refuse = e_.refuse;
    }
    // The far end's own code runs unlocked, so it may take locks of its own.
    if (refuse && refuse(next)) return ERROR_INVALID_PARAMETER;
    std::lock_guard g(line_->m);
    VirtualLine& l = *line_;
    if (e_.gone) return ERROR_DEVICE_REMOVED;
    const bool outX = e_.dcb.fOutX;
    e_.dcb = next;
    e_.lastState = next;
    if (outX && !next.fOutX) e_.xoffHeld = false;  // nothing can lift the hold any more
    if (!next.fInX) e_.xoffSent = false;
    switch (next.fDtrControl) {
      case DTR_CONTROL_DISABLE:
        Drive(l, e_, Signal::kDtr, false, Cause::kState);
        break;
      case DTR_CONTROL_ENABLE:
        Drive(l, e_, Signal::kDtr, true, Cause::kState);
        break;
      default:  // handshake: ready to receive unless the input is full (Flow below)
        Drive(l, e_, Signal::kDtr, true, Cause::kState);
        break;
    }
    switch (next.fRtsControl) {
      case RTS_CONTROL_DISABLE:
      case RTS_CONTROL_TOGGLE:  // high only while sending
        Drive(l, e_, Signal::kRts, false, Cause::kState);
        break;
      default:
        Drive(l, e_, Signal::kRts, true, Cause::kState);
        break;
    }
    Flow(l, e_);
    Wake(e_);  // a changed flow setting may release held writes
    return ERROR_SUCCESS;
  }

  DWORD GetQueues(COMSTAT& stat) override {
    std::lock_guard g(line_->m);
    stat.cbInQue = static_cast<DWORD>(e_.input.size());
    stat.cbOutQue = 0;  // bytes leave at once; a held write stays in its operation
    stat.fCtsHold = e_.dcb.fOutxCtsFlow && !e_.cts;
    stat.fDsrHold = e_.dcb.fOutxDsrFlow && !e_.dsr;
    stat.fXoffHold = e_.xoffHeld;
    stat.fXoffSent = e_.xoffSent;
    return ERROR_SUCCESS;
  }

  DWORD SetQueueSizes(DWORD in, DWORD out) override {
    std::lock_guard g(line_->m);
    e_.queueSizes = VirtualEnd::QueueSizes{in, out};
    e_.capacity = std::max<std::size_t>(kMinCapacity, in);
    Drained(*line_, e_);
    return ERROR_SUCCESS;
  }

  DWORD Purge(bool input, bool /*output*/) override {
    std::lock_guard g(line_->m);
    if (input) {
      e_.input.clear();
      Drained(*line_, e_);
    }
    return ERROR_SUCCESS;
  }

  DWORD Escape(DWORD function) override {
    std::lock_guard g(line_->m);
    VirtualLine& l = *line_;
    e_.escapes.push_back(function);
    switch (function) {
      case SETXOFF:
        e_.xoffHeld = true;
        break;
      case SETXON:
        e_.xoffHeld = false;
        Wake(e_);
        break;
      case SETRTS:
      case CLRRTS:
        Drive(l, e_, Signal::kRts, function == SETRTS, Cause::kEscape);
        break;
      case SETDTR:
      case CLRDTR:
        Drive(l, e_, Signal::kDtr, function == SETDTR, Cause::kEscape);
        break;
      case SETBREAK:
      case CLRBREAK:
        Drive(l, e_, Signal::kBreak, function == SETBREAK, Cause::kEscape);
        break;
      default:
        return ERROR_INVALID_PARAMETER;
    }
    return ERROR_SUCCESS;
  }

  DWORD GetModemStatus(DWORD& status) override {
    std::lock_guard g(line_->m);
    status = (e_.cts ? MS_CTS_ON : 0) | (e_.dsr ? MS_DSR_ON : 0) | (e_.ring ? MS_RING_ON : 0) |
             (e_.rlsd ? MS_RLSD_ON : 0);
    return ERROR_SUCCESS;
  }

  DWORD OnService(const char* service) override {
    std::lock_guard g(line_->m);
    const std::string_view name(service);
    const unsigned call = ++e_.calls[std::string(name)];
    // Cancelling still works on an unplugged device: the handle is all that is left to tidy up.
    if (e_.gone && name != "CancelIo" && name != "CancelIoEx") return ERROR_DEVICE_REMOVED;
    return TakeFailure(e_, name, call);
  }

  void OnTimeouts(const COMMTIMEOUTS& timeouts) override {
    std::lock_guard g(line_->m);
    e_.lastTimeouts = timeouts;
  }
  void OnMask(DWORD mask) override {
    std::lock_guard g(line_->m);
    e_.mask = mask;
  }
  void OnPurge(DWORD flags) override {
    std::lock_guard g(line_->m);
    e_.purges.push_back(flags);
  }

  DWORD Failure() override {
    std::lock_guard g(line_->m);
    return e_.gone ? ERROR_DEVICE_REMOVED : ERROR_SUCCESS;
  }

  static DWORD TakeFailure(VirtualEndState& e, std::string_view service, unsigned call) {
    auto it = e.failures.find(service);
    if (it == e.failures.end()) return ERROR_SUCCESS;
    auto f = it->second.find(call);
    if (f == it->second.end()) return ERROR_SUCCESS;
    const DWORD error = f->second;
    it->second.erase(f);
    return error;
  }

 private:
  const std::shared_ptr<VirtualLine> line_;  // keeps the end alive while the device is open
  VirtualEndState& e_;
  const int fd_;
};

DWORD Open(const std::shared_ptr<VirtualLine>& line, int end,
           std::unique_ptr<win32::detail::Device>& device) {
  std::lock_guard g(line->m);
  VirtualEndState& e = line->ends[end];
  if (e.gone) return ERROR_FILE_NOT_FOUND;
  const unsigned call = ++e.calls["CreateFileA"];
  if (DWORD error = VirtualDevice::TakeFailure(e, "CreateFileA", call)) return error;
  if (e.open) return ERROR_ACCESS_DENIED;  // exclusive, as a tty
  const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return ERROR_TOO_MANY_OPEN_FILES;
  device = std::make_unique<VirtualDevice>(line, e, fd);

  // A fresh session: the line settings carry over, the rest starts as the common layer expects.
  DCB fresh = Defaults();
  CopyHeld(e.dcb, fresh);
  e.dcb = fresh;
  e.open = true;
  e.fd = fd;
  e.capacity = kMinCapacity;
  e.events = e.errors = 0;
  e.input.clear();
  e.xoffHeld = e.xoffSent = e.writeBlocked = false;
  Drive(*line, e, Signal::kDtr, true, Cause::kOpen);
  if (e.dcb.fRtsControl != RTS_CONTROL_HANDSHAKE) Drive(*line, e, Signal::kRts, true, Cause::kOpen);
  Flow(*line, e);
  line->changed.notify_all();
  return ERROR_SUCCESS;
}

}  // namespace

VirtualLine::VirtualLine(Kind kind) {
  for (VirtualEndState& e : ends) {
    e.dcb = Defaults();
    e.capacity = kMinCapacity;
  }
  switch (kind) {
    case Kind::kPort:
      // A modem at the far end: powered, ready, carrier present.
      ends[0].cts = ends[0].dsr = ends[0].rlsd = true;
      break;
    case Kind::kLoopback:
      ends[0].peer = &ends[0];
      break;
    case Kind::kNullModem:
      ends[0].peer = &ends[1];
      ends[1].peer = &ends[0];
      break;
  }
}

void Inject(VirtualLine& line, VirtualEndState& e, const unsigned char* bytes, std::size_t n,
            DWORD errors) {
  if (!e.open || e.gone) return;
  if (errors & CE_BREAK) errors &= ~(CE_FRAME | CE_RXPARITY);
  DWORD events = 0;
  if (errors & (CE_FRAME | CE_RXPARITY | CE_OVERRUN)) events |= EV_ERR;
  if (errors & CE_BREAK) events |= EV_BREAK;
  if (errors) Note(e, events, errors);
  if (n == 0) return;
  unsigned char replaced;
  if (e.dcb.fErrorChar && (errors & (CE_FRAME | CE_RXPARITY | CE_OVERRUN)) && n == 1) {
    replaced = static_cast<unsigned char>(e.dcb.ErrorChar);
    bytes = &replaced;
  }
  if (Receive(line, e, bytes, n) < n) Note(e, 0, CE_RXOVER);
}

void SetIncoming(VirtualEndState& e, bool VirtualEndState::*level, DWORD event, bool on) {
  Incoming(e, level, event, on);
}

void Vanish(VirtualLine& line, VirtualEndState& e) {
  if (e.gone) return;
  e.gone = true;
  e.input.clear();
  Drive(line, e, Signal::kBreak, false, Cause::kGone);
  Drive(line, e, Signal::kDtr, false, Cause::kGone);
  Drive(line, e, Signal::kRts, false, Cause::kGone);
  if (e.peer && e.peer != &e && e.peer->writeBlocked) {
    e.peer->writeBlocked = false;
    Wake(*e.peer);
  }
  Wake(e);  // the port fails what is pending
  line.changed.notify_all();
}

bool RegisterEnd(const std::shared_ptr<VirtualLine>& line, int end) {
  const std::string& name = line->ends[end].name;
  const bool ok = win32::detail::RegisterDeviceFactory(
      name, [line, end](std::unique_ptr<win32::detail::Device>& device) {
        return Open(line, end, device);
      });
  line->ends[end].registered = ok;
  return ok;
}

void UnregisterEnd(const std::shared_ptr<VirtualLine>& line, int end) {
  VirtualEndState& e = line->ends[end];
  if (e.registered) win32::detail::UnregisterDeviceFactory(e.name);
  e.registered = false;
  // Unplugged even when closed: an open that found the name just before it was withdrawn fails.
  std::lock_guard g(line->m);
  Vanish(*line, e);
}

}  // namespace quellin::detail
