// The internal device interface: what the overlapped I/O engine and the comm services need from
// anything that can stand behind a serial handle (a Linux tty, an in-process virtual device).
//
// Not installed; only platform/ sources include it.
//
// Division of work. Everything that Windows does above the driver, and everything that must behave
// the same whatever the device, lives in the common layer (platform/port.cpp), not here:
//   - DCB validation (the refusals of the standard serial driver) and the shadow DCB that gives
//     back every member SetCommState stored, including those no device can hold;
//   - COMMTIMEOUTS, pending-operation queues, time-outs, cancellation, OVERLAPPED bookkeeping;
//   - the event mask, the event history of WaitCommEvent, and the error state with fAbortOnError;
//   - argument checks of EscapeCommFunction and PurgeComm (handshake refusals, unknown codes).
// A device therefore only moves bytes, applies already-validated settings and reports what
// happened on its line. That keeps each device small and keeps Windows' rules in one place.
//
// Threading. The common layer calls every method below with the owning port's lock held, from the
// caller's thread or from the one I/O thread, never two at once for one device. A device whose
// state is also changed from elsewhere (the far end of a virtual pair writes into this end's input)
// guards that state itself, and must never call back into the port or the handle table: the only
// way it tells the port something happened is an edge on ReadyFd().
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/win32.h"

namespace win32::detail {

// What happened on a device since the last Collect(): EV_* bits (EV_RXCHAR for bytes that arrived,
// EV_ERR with line errors, EV_BREAK, EV_CTS/EV_DSR/EV_RLSD/EV_RING for modem line changes,
// EV_TXEMPTY, EV_RXFLAG) and CE_* bits for line errors. Events are things that occurred, not
// levels: bytes queued earlier and already collected are not reported again.
struct Happenings {
  DWORD events = 0;
  DWORD errors = 0;
};

class Device {
 public:
  virtual ~Device() = default;  // releases the device (and any exclusive claim on it)

  // False for something that opened like a file but has no line (a regular file): the comm
  // services then fail with ERROR_INVALID_FUNCTION while ReadFile/WriteFile still work.
  virtual bool IsCommDevice() const { return true; }

  // A descriptor the I/O thread registers in its epoll set, edge-triggered, for the device's whole
  // life. It must produce an edge (EPOLLIN or EPOLLOUT) whenever input arrives, output space frees,
  // or line state or errors change, so that no pending operation or event wait needs polling. A
  // tty gives its own fd; a virtual device gives an eventfd it writes to on every change (each
  // write is an edge, so it need not be drained exactly; Collect() may drain it). -1: never blocks
  // (a regular file), nothing to register.
  virtual int ReadyFd() const = 0;

  // Non-blocking transfers. On success (ERROR_SUCCESS) done says how many bytes moved; 0 means
  // nothing is available (read) or no room (write) right now: the common layer then waits for an
  // edge on ReadyFd(). Any other result is a Win32 error code and fails the operation with it.
  virtual DWORD Read(void* buffer, std::size_t size, std::size_t& done) = 0;
  virtual DWORD Write(const void* buffer, std::size_t size, std::size_t& done) = 0;

  // Everything that happened since the previous call (see Happenings). Called after every edge on
  // ReadyFd(), before ClearCommError answers, and before the common layer reads, so that bytes are
  // reported as arrived even when a read takes them before the edge is handled.
  virtual Happenings Collect() = 0;

  // Fills the members of dcb that the device really holds (rate, framing, flow control, XON/XOFF
  // characters); leaves the others untouched. Used once at open to seed the shadow DCB.
  virtual DWORD ReadState(DCB& dcb) = 0;
  // Applies a DCB that has passed the common validation. previous is what is in force now, so a
  // device can skip work and restore on failure. A setting the hardware or kernel does not really
  // take (a rate read back differently) must fail, leaving the previous settings in force.
  // fDtrControl/fRtsControl ENABLE/DISABLE drive the lines here, as SetCommState does on Windows.
  virtual DWORD ApplyState(const DCB& next, const DCB& previous) = 0;

  // Driver queue counts and the hold flags the device knows (cbInQue, cbOutQue, fCtsHold, ...).
  virtual DWORD GetQueues(COMSTAT& stat) = 0;
  // Requested queue sizes (SetupComm). A device may ignore them.
  virtual DWORD SetQueueSizes(DWORD /*in*/, DWORD /*out*/) { return ERROR_SUCCESS; }
  // Discards queued input and/or output. Pending operations are the common layer's business.
  virtual DWORD Purge(bool input, bool output) = 0;
  // SETXOFF, SETXON, SETRTS, CLRRTS, SETDTR, CLRDTR, SETBREAK, CLRBREAK, already checked against
  // the handshake settings.
  virtual DWORD Escape(DWORD function) = 0;
  // MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON.
  virtual DWORD GetModemStatus(DWORD& status) = 0;

  // What only the common layer sees. A tty ignores all of it; an in-process device uses it to
  // refuse requests as a driver might and to let its far end watch what the program asked for.
  //
  // A service is starting on this device (its Win32 name: "SetCommMask", "ReadFile", ...). Any
  // result but ERROR_SUCCESS fails the service with that error before it does anything.
  virtual DWORD OnService(const char* /*service*/) { return ERROR_SUCCESS; }
  // SetCommTimeouts and SetCommMask took these values; PurgeComm was asked for these flags.
  virtual void OnTimeouts(const COMMTIMEOUTS& /*timeouts*/) {}
  virtual void OnMask(DWORD /*mask*/) {}
  virtual void OnPurge(DWORD /*flags*/) {}
  // Not ERROR_SUCCESS once the device is gone for good (an unplugged adapter). Asked after every
  // edge: a pending WaitCommEvent then fails with it, as transfers fail through Read and Write.
  virtual DWORD Failure() { return ERROR_SUCCESS; }
};

// Opens a device registered under a name. Returns ERROR_SUCCESS and sets device, or an error code
// (ERROR_ACCESS_DENIED when that device is already open: devices are exclusive, as ttys are).
using DeviceFactory = std::function<DWORD(std::unique_ptr<Device>& device)>;

// CreateFileA looks a name up here before it treats it as a path, so an in-process device can
// stand in for a port under any name. False when the name is empty or already registered.
bool RegisterDeviceFactory(const std::string& name, DeviceFactory factory);
bool UnregisterDeviceFactory(const std::string& name);
// Opens the registered device named name. Returns ERROR_FILE_NOT_FOUND when none is registered.
DWORD OpenRegisteredDevice(const std::string& name, std::unique_ptr<Device>& device);

// The SetCommState refusals of the standard serial driver: ERROR_SUCCESS or
// ERROR_INVALID_PARAMETER. inQueue is the input queue size (SetupComm) that XonLim/XoffLim must
// fit.
DWORD ValidateDcb(const DCB& dcb, DWORD inQueue);

}  // namespace win32::detail
