#include "apps/term/echo_peer.h"

#include <vector>

namespace quellin::term {

using namespace win32;

EchoDevice::EchoDevice() : cable_(kPortName, kFarName) {}

bool EchoDevice::Start(std::string& error) {
  far_ = CreateFileA(kFarName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (far_ == INVALID_HANDLE_VALUE) {
    error = "cannot open the far end of the virtual device (error " +
            std::to_string(GetLastError()) + ")";
    return false;
  }
  // Plain 8-bit line with no flow control of its own: the cable's own back-pressure (a write
  // waits while the other end's input is full) is all the pacing an echo needs.
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  GetCommState(far_, &dcb);
  dcb.fBinary = 1;
  dcb.fParity = 0;
  dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fOutX = dcb.fInX = 0;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fAbortOnError = 0;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  SetCommState(far_, &dcb);
  SetupComm(far_, 65536, 65536);
  COMMTIMEOUTS none{};  // reads take what is there, writes wait as long as they must
  none.ReadIntervalTimeout = MAXDWORD;
  SetCommTimeouts(far_, &none);
  SetCommMask(far_, EV_RXCHAR | EV_BREAK);

  waitEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ioEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!waitEvent_ || !ioEvent_) {
    error = "cannot create the events of the virtual device";
    return false;
  }
  thread_ = std::thread([this] { Run(); });
  return true;
}

EchoDevice::~EchoDevice() {
  if (thread_.joinable()) {
    stopping_.store(true);
    // A changed mask ends a pending WaitCommEvent at once; cancelling ends a write that waits
    // for room nobody will make.
    SetCommMask(far_, 0);
    CancelIoEx(far_, nullptr);
    thread_.join();
  }
  if (far_ != INVALID_HANDLE_VALUE) CloseHandle(far_);
  if (waitEvent_) CloseHandle(waitEvent_);
  if (ioEvent_) CloseHandle(ioEvent_);
}

void EchoDevice::Run() {
  while (!stopping_.load()) {
    OVERLAPPED ov{};
    ov.hEvent = waitEvent_;
    ResetEvent(waitEvent_);
    DWORD mask = 0;
    if (!WaitCommEvent(far_, &mask, &ov)) {
      if (GetLastError() != ERROR_IO_PENDING) return;
      WaitForSingleObject(waitEvent_, INFINITE);
      DWORD unused = 0;
      if (!GetOverlappedResult(far_, &ov, &unused, FALSE)) return;
    }
    if (stopping_.load()) return;
    Echo();
  }
}

void EchoDevice::Echo() {
  DWORD errors = 0;
  COMSTAT stat{};
  if (!ClearCommError(far_, &errors, &stat)) return;
  if (errors & CE_BREAK) {
    // A break comes back as a break, as through a loopback plug.
    EscapeCommFunction(far_, SETBREAK);
    EscapeCommFunction(far_, CLRBREAK);
  }
  if (stat.cbInQue == 0) return;

  std::vector<char> bytes(stat.cbInQue);
  OVERLAPPED ov{};
  ov.hEvent = ioEvent_;
  auto finish = [&](BOOL started, DWORD& count) {
    if (started) return true;
    if (GetLastError() != ERROR_IO_PENDING) return false;
    WaitForSingleObject(ioEvent_, INFINITE);
    return GetOverlappedResult(far_, &ov, &count, FALSE) != 0;
  };
  ResetEvent(ioEvent_);
  DWORD got = 0;
  if (!finish(ReadFile(far_, bytes.data(), stat.cbInQue, &got, &ov), got)) return;
  for (DWORD done = 0; done < got && !stopping_.load();) {
    ov = OVERLAPPED{};
    ov.hEvent = ioEvent_;
    ResetEvent(ioEvent_);
    DWORD wrote = 0;
    if (!finish(WriteFile(far_, bytes.data() + done, got - done, &wrote, &ov), wrote)) return;
    done += wrote;
  }
}

}  // namespace quellin::term
