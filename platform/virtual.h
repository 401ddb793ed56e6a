// In-process virtual serial devices behind the Win32-shaped services, and the far end that
// watches and drives them.
//
// Each device registers its name(s) when it is constructed and withdraws them when it is
// destroyed. CreateFileA finds a registered name before it looks for a path, so a program opens
// "vA" exactly as it opens "/dev/ttyUSB0", and every comm service then behaves as on a tty:
//
//   quellin::VirtualNullModem cable("vA", "vB");  // vA's writes reach vB
//   quellin::VirtualLoopback plug("vLoop");       // writes come back to itself
//   quellin::VirtualPort modem("vModem");         // the caller is the far end
//   HANDLE h = win32::CreateFileA("vModem", ...);
//   modem.Inject("OK\r\n");                       // as if the modem had answered
//   auto sent = modem.TakeOutput(4, 5s);          // what the program sent, waited for
//
// A device behaves like a port with a cable: opening claims it exclusively and raises DTR and RTS,
// closing drops them; bytes that reach an end nobody has open are lost, as on a wire. A write
// waits (goes pending) while the receiving end has no room, while XOFF holds it (fOutX), or while
// CTS or DSR is low under fOutxCtsFlow/fOutxDsrFlow; an end with fInX or RTS/DTR handshake
// sends XOFF or drops the line when its input fills.
//
// Every member of VirtualEnd may be called from any thread, also while the program's I/O runs on
// the same device. Settings made through it (faults, lines) outlast opens and closes; so does
// everything it has observed.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32.h"

namespace quellin {

namespace detail {
struct VirtualLine;
}

// The far end of one virtual device: a copyable reference to it, valid as long as any copy lives
// (the device itself vanishes when its owner below is destroyed).
class VirtualEnd {
 public:
  enum class Signal { kDtr, kRts, kBreak };
  // Why a line this end drives changed.
  enum class Cause {
    kOpen,    // opening raises DTR and RTS
    kClose,   // closing drops them
    kState,   // SetCommState's DTR/RTS control modes
    kEscape,  // EscapeCommFunction
    kFlow,    // handshake or RTS toggle
    kGone,    // Vanish()
  };
  struct LineChange {
    Signal signal;
    bool on;
    Cause cause;
  };

  const std::string& Name() const;
  bool IsOpen() const;

  // ---- The line into the device: bytes and conditions it receives ----------------------------
  // Bytes as if received from the wire. Bytes that find the input full are lost, with CE_RXOVER.
  void Inject(std::string_view bytes);
  // Line errors: any of CE_FRAME, CE_RXPARITY, CE_OVERRUN (these raise EV_ERR), CE_BREAK (EV_BREAK;
  // framing and parity are not reported with a break), CE_RXOVER.
  void InjectError(win32::DWORD errors);
  // A byte received with line errors; with fErrorChar it is queued as ErrorChar instead.
  void InjectError(win32::DWORD errors, unsigned char byte);
  // The device's incoming modem lines. A null-modem end's lines follow its peer's DTR and RTS;
  // setting them here overrides them until the peer changes its own.
  void SetCts(bool on);
  void SetDsr(bool on);
  void SetRlsd(bool on);
  void SetRing(bool on);

  // ---- What the device sent (an end without a peer keeps it here) -----------------------------
  std::string Output() const;
  std::string TakeOutput();
  // Waits until n bytes have been sent or the bound runs out, then takes at most n of them.
  std::string TakeOutput(std::size_t n, std::chrono::milliseconds bound);
  // Waits until the device has been opened (or closed) by the program.
  bool WaitOpen(bool open, std::chrono::milliseconds bound) const;

  // ---- Faults
  // ------------------------------------------------------------------------------------ A stalled
  // device takes no bytes: writes go pending until it is released or they time out.
  void StallWrites(bool stalled);
  // Every transfer of bytes out of the device fails with error (ERROR_SUCCESS ends that), pending
  // writes included.
  void FailWrites(win32::DWORD error);
  // SetCommState fails with ERROR_INVALID_PARAMETER for every DCB refuse returns true for, and the
  // previous settings stay in force. Called with the device's lock held: it must not use this end.
  void RefuseStates(std::function<bool(const win32::DCB&)> refuse);
  // The service called service ("CreateFileA", "SetCommMask", "WaitCommEvent", "ReadFile", ...)
  // fails once with error: on its next call, or after skip more calls have succeeded.
  void FailService(const std::string& service, win32::DWORD error, unsigned skip = 0);
  // The device is unplugged: pending operations end with ERROR_DEVICE_REMOVED, every later
  // service on the open handle fails with it, the lines drop, and the name opens nothing.
  void Vanish();

  // ---- What the program did (kept across opens) -------------------------------------------------
  bool Dtr() const;
  bool Rts() const;
  bool Break() const;
  std::vector<LineChange> LineHistory() const;
  // Counts the changes of one line to one level in the history, for instance DTR raised by
  // EscapeCommFunction.
  std::size_t CountChanges(Signal signal, bool on, std::optional<Cause> cause = {}) const;
  std::vector<win32::DWORD> Escapes() const;    // EscapeCommFunction codes, in order
  std::optional<win32::DCB> LastState() const;  // the last DCB SetCommState applied
  std::optional<win32::COMMTIMEOUTS> LastTimeouts() const;
  std::optional<win32::DWORD> Mask() const;  // the last SetCommMask
  std::vector<win32::DWORD> Purges() const;  // PurgeComm flags, in order
  struct QueueSizes {
    win32::DWORD in, out;
  };
  std::optional<QueueSizes> LastQueueSizes() const;  // the last SetupComm
  // Calls of one service (as named for FailService), failed ones included.
  unsigned Calls(std::string_view service) const;
  // Bytes waiting in the device's input for the program to read.
  std::size_t Queued() const;

 protected:
  VirtualEnd(std::shared_ptr<detail::VirtualLine> line, int end)
      : line_(std::move(line)), end_(end) {}
  friend class VirtualNullModem;

  std::shared_ptr<detail::VirtualLine> line_;
  int end_;
};

// A single device whose far end is the caller: what the device writes waits in Output(), what
// it reads is Inject()ed. DSR, CTS and DCD start high, as a modem's do.
class VirtualPort : public VirtualEnd {
 public:
  // Throws std::invalid_argument when the name is empty or already registered.
  explicit VirtualPort(const std::string& name);
  ~VirtualPort();
  VirtualPort(const VirtualPort&) = delete;
  VirtualPort& operator=(const VirtualPort&) = delete;
};

// One device with a loopback plug: its writes come back to its own input, DTR to its DSR and
// DCD, RTS to its CTS.
class VirtualLoopback : public VirtualEnd {
 public:
  explicit VirtualLoopback(const std::string& name);  // throws as VirtualPort's does
  ~VirtualLoopback();
  VirtualLoopback(const VirtualLoopback&) = delete;
  VirtualLoopback& operator=(const VirtualLoopback&) = delete;
};

// Two devices joined by a null-modem cable, each opened under its own name.
class VirtualNullModem {
 public:
  // Throws as VirtualPort's does, and registers neither name then.
  VirtualNullModem(const std::string& nameA, const std::string& nameB);
  ~VirtualNullModem();
  VirtualNullModem(const VirtualNullModem&) = delete;
  VirtualNullModem& operator=(const VirtualNullModem&) = delete;

  VirtualEnd& A() { return a_; }
  VirtualEnd& B() { return b_; }

 private:
  VirtualEnd a_, b_;
};

}  // namespace quellin
