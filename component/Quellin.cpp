#include "component/Quellin.h"

#include <algorithm>
#include <cstring>

namespace Quellin {

using namespace win32;

namespace {

#if QUELLIN_VCL == 5
constexpr const char* kVersionText = "1.0.4";
#elif QUELLIN_VCL == 4
constexpr const char* kVersionText = "1.0.3";
#else
constexpr const char* kVersionText = "1.0.1";
#endif

// Start values of the time-outs. The oldest build starts from the values it records as defaults;
// the two later ones start from a bounded read that returns as soon as anything is queued.
#if QUELLIN_VCL == 3
constexpr TCommInt kReadInterval = static_cast<TCommInt>(0xFFFFFFFFu);
constexpr TCommInt kReadMultiplier = 0;
constexpr TCommInt kReadConstant = 0;
constexpr TCommInt kWriteMultiplier = 0;
#else
constexpr TCommInt kReadInterval = 65535;
constexpr TCommInt kReadMultiplier = 1;
constexpr TCommInt kReadConstant = 5000;
constexpr TCommInt kWriteMultiplier = 1;
#endif
constexpr TCommInt kWriteConstant = 5000;

constexpr DWORD kDcbLength = 28;
constexpr DWORD kReadBoundMs = 1000;
constexpr DWORD kWriteBoundMs = 2000;

// A monitor whose waits fail this many times in a row has lost its device for good.
constexpr int kMaxFailedWaits = 8;

bool DeviceGone(DWORD error) {
  return error == ERROR_DEVICE_REMOVED || error == ERROR_INVALID_HANDLE;
}

vcl::PTypeInfo SettingType() {
#if QUELLIN_VCL == 5
  return vcl::LongTypeInfo();
#else
  return vcl::UnsignedLongTypeInfo();
#endif
}

}  // namespace

// ---- TCommThread ------------------------------------------------------------------------------

TCommThread::TCommThread(bool CreateSuspended, TQuellin* AOwner, HANDLE ACommHandle,
                         HWND ANotifyWindow, HANDLE AConsumedEvent)
    : vcl::TThread(CreateSuspended),
      FConsumedEvent(AConsumedEvent),
      FCommHandle(ACommHandle),
      FNotifyWindow(ANotifyWindow),
      FOwner(AOwner) {}

TCommThread::~TCommThread() = default;

void TCommThread::Execute() {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!overlapped.hEvent) Terminate();
  if (!SetCommMask(FCommHandle, EV_RXCHAR)) Terminate();

  // The driver fills mask when a pending wait completes; it outlives every wait.
  DWORD mask = 0;
  int failures = 0;
  while (!Terminated) {
    mask = 0;
    DWORD transferred = 0;
    BOOL ok = WaitCommEvent(FCommHandle, &mask, &overlapped);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    if (!ok && error == ERROR_IO_PENDING) {
      ok = GetOverlappedResult(FCommHandle, &overlapped, &transferred, TRUE);
      error = ok ? ERROR_SUCCESS : GetLastError();
    }
    if (!ok) {
      // An unplugged or closed device fails every wait at once: end rather than spin.
      if (DeviceGone(error) || ++failures >= kMaxFailedWaits) break;
      continue;
    }
    failures = 0;
    if ((mask & EV_RXCHAR) == 0 || !FNotifyWindow) continue;
    if (FConsumedEvent) {
      // One notification at a time: the next goes out once the last has been handled, so the
      // main thread's queue stays bounded whatever the data rate.
      WaitForSingleObject(FConsumedEvent, INFINITE);
      if (Terminated) break;
      ResetEvent(FConsumedEvent);
    }
    PostMessageA(FNotifyWindow, WM_USER, reinterpret_cast<WPARAM>(FCommHandle), 0);
  }
  if (overlapped.hEvent) CloseHandle(overlapped.hEvent);
}

// ---- TQuellin: construction -----------------------------------------------------------------

VCL_IMPLEMENT_CLASS(TQuellin)

TQuellin::TQuellin(TComponent* AOwner) : TComponent(AOwner) {
  Port = AnsiString();
  FVersionSink = AnsiString();
  FVersion = kVersionText;

  FConnected = 0;
  FState = 2;
  BaudRate = 9600;
  DataBits = databits8;
  StopBits = stop1;
  MaxReadLength = 8192;
  InputQueueSize = 8192;
  OutputQueueSize = 8192;
  XOnLimit = 150;
  XOffLimit = 150;
  EnableParity = true;
  DSRSensitive = false;
  TXResume = false;
  XOuputFlowCtl = true;
  XInputFlowCtl = true;
  DiscardNULL = false;
  AbortOnError = true;
  ErrorChar = 126;
  XOnChar = 17;
  XOffChar = 19;
  TimeoutReadInterval = kReadInterval;
  TimeoutReadMultiplier = kReadMultiplier;
  TimeoutReadConstant = kReadConstant;
  TimeoutWriteMultiplier = kWriteMultiplier;
  TimeoutWriteConstant = kWriteConstant;

  if (!ComponentState.Contains(vcl::csDesigning)) {
    FNotifyWindow =
        vcl::AllocateHWnd([this](vcl::TMessage& Message) { WindowMessageProc(Message); });
  }
}

TQuellin::~TQuellin() {
  // A component must not leave its device claimed and its monitor running behind it.
  CloseConnection();
  // Released by handle rather than by design state: the state may have changed since the window
  // was made, and a window that exists must not outlive its procedure's object.
  if (FNotifyWindow) {
    vcl::DeallocateHWnd(FNotifyWindow);
    FNotifyWindow = nullptr;
  }
  FState = 1;
}

void TQuellin::PublishedProperties(vcl::Publisher<TQuellin>& p) {
  p.Property("Text", &TQuellin::GetText, &TQuellin::SetText);
  p.Field("Port", &TQuellin::Port);
  p.Field("BaudRate", &TQuellin::BaudRate).Type(SettingType()).Default(9600);
  p.Field("Parity", &TQuellin::Parity).Default(no_parity);
  p.Field("DataBits", &TQuellin::DataBits).Default(databits8);
  p.Field("StopBits", &TQuellin::StopBits).Default(stop1);
  p.Field("MaxReadLength", &TQuellin::MaxReadLength).Type(SettingType()).Default(8192);
  p.Field("InputQueueSize", &TQuellin::InputQueueSize).Type(SettingType()).Default(8192);
  p.Field("OutputQueueSize", &TQuellin::OutputQueueSize).Type(SettingType()).Default(8192);
  // Published as "int" / "unsigned int", the natural names of the 32-bit types.
  p.Field("XOnLimit", &TQuellin::XOnLimit).Default(150);
  p.Field("XOffLimit", &TQuellin::XOffLimit).Default(150);
  p.Field("CTSFlowCtl", &TQuellin::CTSFlowCtl).Default(false);
  p.Field("DSRFlowCtl", &TQuellin::DSRFlowCtl).Default(false);
  p.Field("EnableParity", &TQuellin::EnableParity).Default(true);
  p.Field("DSRSensitive", &TQuellin::DSRSensitive).Default(false);
  p.Field("TXResume", &TQuellin::TXResume).Default(false);
  p.Field("XOuputFlowCtl", &TQuellin::XOuputFlowCtl).Default(true);
  p.Field("XInputFlowCtl", &TQuellin::XInputFlowCtl).Default(true);
  p.Field("ErrorReplace", &TQuellin::ErrorReplace).Default(false);
  p.Field("DiscardNULL", &TQuellin::DiscardNULL).Default(false);
  p.Field("AbortOnError", &TQuellin::AbortOnError).Default(true);
  p.Field("ErrorChar", &TQuellin::ErrorChar).Default(0);
  p.Field("XOnChar", &TQuellin::XOnChar).Default(17);
  p.Field("XOffChar", &TQuellin::XOffChar).Default(19);
  p.Field("TimeoutReadInterval", &TQuellin::TimeoutReadInterval).Type(SettingType()).Default(-1);
  p.Field("TimeoutReadMultiplier", &TQuellin::TimeoutReadMultiplier).Type(SettingType()).Default(0);
  p.Field("TimeoutReadConstant", &TQuellin::TimeoutReadConstant).Type(SettingType()).Default(0);
  p.Field("TimeoutWriteMultiplier", &TQuellin::TimeoutWriteMultiplier)
      .Type(SettingType())
      .Default(0);
  p.Field("TimeoutWriteConstant", &TQuellin::TimeoutWriteConstant)
      .Type(SettingType())
      .Default(5000);
  p.ReadOnly("State", &TQuellin::GetState);
  p.Property("Version", &TQuellin::GetVersion, &TQuellin::SetVersion);
  p.ReadOnly("Connected", &TQuellin::GetConnected);
  p.Event("OnErrorOccurred", &TQuellin::OnErrorOccurred, "TCommErrorEvent");
  p.Event("OnDataAvailable", &TQuellin::OnDataAvailable);
}

bool TQuellin::IsOpen() const {
  return FCommHandle != nullptr && FCommHandle != INVALID_HANDLE_VALUE;
}

// ---- Line settings and time-outs ------------------------------------------------------------

int TQuellin::SetConnection() {
  if (!IsOpen()) return 0;
  DCB dcb{};
  dcb.DCBlength = kDcbLength;
  // The members not set below are handed back as the device reported them; with no report
  // they would be undefined, so nothing is applied then.
  if (!GetCommState(FCommHandle, &dcb)) return 0;
  dcb.BaudRate = static_cast<DWORD>(BaudRate);
  dcb.fBinary = 1;
  dcb.fParity = EnableParity ? 1 : 0;
  dcb.fOutxCtsFlow = CTSFlowCtl ? 1 : 0;
  dcb.fOutxDsrFlow = DSRFlowCtl ? 1 : 0;
  dcb.fDtrControl = DSRFlowCtl ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = DSRSensitive ? 1 : 0;
  dcb.fTXContinueOnXoff = TXResume ? 1 : 0;
  dcb.fOutX = XOuputFlowCtl ? 1 : 0;
  dcb.fInX = XInputFlowCtl ? 1 : 0;
  dcb.fErrorChar = ErrorReplace ? 1 : 0;
  dcb.fNull = DiscardNULL ? 1 : 0;
  dcb.fRtsControl = CTSFlowCtl ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb.fAbortOnError = AbortOnError ? 1 : 0;
  dcb.XonLim = static_cast<WORD>(static_cast<DWORD>(XOnLimit) & 0xFFFFu);
  dcb.XoffLim = static_cast<WORD>(static_cast<DWORD>(XOffLimit) & 0xFFFFu);
  dcb.ByteSize = static_cast<BYTE>(DataBits + 4);
  dcb.Parity = static_cast<BYTE>(Parity);
  dcb.StopBits = static_cast<BYTE>(StopBits);
  dcb.XonChar = static_cast<char>(XOnChar);
  dcb.XoffChar = static_cast<char>(XOffChar);
  dcb.ErrorChar = static_cast<char>(ErrorChar);
  return SetCommState(FCommHandle, &dcb);
}

int TQuellin::SetFlowCtl(int enable) {
  if (!IsOpen()) return 0;
  DCB dcb{};
  dcb.DCBlength = kDcbLength;
  if (!GetCommState(FCommHandle, &dcb)) return 0;
  dcb.fOutX = enable & 1;
  dcb.fInX = enable & 1;
  return SetCommState(FCommHandle, &dcb);
}

int TQuellin::GetTimeouts() {
  if (!IsOpen()) return 0;
  COMMTIMEOUTS t{};
  if (!GetCommTimeouts(FCommHandle, &t)) return 0;
  TimeoutReadInterval = static_cast<TCommInt>(t.ReadIntervalTimeout);
  TimeoutReadMultiplier = static_cast<TCommInt>(t.ReadTotalTimeoutMultiplier);
  TimeoutReadConstant = static_cast<TCommInt>(t.ReadTotalTimeoutConstant);
  TimeoutWriteMultiplier = static_cast<TCommInt>(t.WriteTotalTimeoutMultiplier);
  TimeoutWriteConstant = static_cast<TCommInt>(t.WriteTotalTimeoutConstant);
  return 1;
}

int TQuellin::SetTimeouts() {
  if (!IsOpen()) return 0;
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = static_cast<DWORD>(TimeoutReadInterval);
  t.ReadTotalTimeoutMultiplier = static_cast<DWORD>(TimeoutReadMultiplier);
  t.ReadTotalTimeoutConstant = static_cast<DWORD>(TimeoutReadConstant);
  t.WriteTotalTimeoutMultiplier = static_cast<DWORD>(TimeoutWriteMultiplier);
  t.WriteTotalTimeoutConstant = static_cast<DWORD>(TimeoutWriteConstant);
  return SetCommTimeouts(FCommHandle, &t);
}

int TQuellin::PurgeCommPort(DWORD flags) {
  if (!IsOpen()) return 0;
  return PurgeComm(FCommHandle, flags);
}

int TQuellin::EscapeComm(DWORD function) {
  if (!IsOpen()) return 0;
  return EscapeCommFunction(FCommHandle, function);
}

// ---- Opening and closing --------------------------------------------------------------------

int TQuellin::OpenConnection() {
  // A second open would lose the handle and the monitor of the first.
  if (IsOpen()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  // The name goes to the device services whole, however long (device paths often exceed the
  // 15 characters of the old name buffer); a name with a zero byte in it names no device.
  if (std::memchr(Port.data(), 0, static_cast<std::size_t>(Port.Length())) != nullptr) {
    FCommHandle = INVALID_HANDLE_VALUE;
    SetLastError(ERROR_INVALID_NAME);
    return 0;
  }
  FCommHandle = CreateFileA(Port.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (FCommHandle == INVALID_HANDLE_VALUE) return 0;

  auto abandon = [this] {
    FConnected = 0;
    CloseHandle(FCommHandle);
    FCommHandle = nullptr;
    ReleaseEvents();
    return 0;
  };

  FReadOverlap = OVERLAPPED{};
  FWriteOverlap = OVERLAPPED{};
  FReadOverlap.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  FWriteOverlap.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  // Starts signalled: the first notification needs no earlier one to have been handled.
  FConsumedEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  if (!FReadOverlap.hEvent || !FWriteOverlap.hEvent || !FConsumedEvent) return abandon();

  SetCommMask(FCommHandle, EV_RXCHAR);
  SetupComm(FCommHandle, static_cast<DWORD>(InputQueueSize), static_cast<DWORD>(OutputQueueSize));
  SetTimeouts();
  const int result = SetConnection();
  if (!result) return abandon();

  FConnected = 1;
  try {
    FCommThread = new TCommThread(true, this, FCommHandle, FNotifyWindow, FConsumedEvent);
  } catch (...) {
    FCommThread = nullptr;
    return abandon();
  }
  FCommThread->Priority = vcl::tpLower;
  FCommThread->Resume();
  EscapeCommFunction(FCommHandle, SETDTR);
  return result;
}

void TQuellin::StopMonitor() {
  if (!FCommThread) return;
  // Terminated is set before the wait is released, so a monitor that is just about to wait
  // again sees it at its next test whichever way the two threads interleave.
  FCommThread->Terminate();
  if (!SetCommMask(FCommHandle, 0)) CancelIoEx(FCommHandle, nullptr);
  // A monitor held back until the last notification is handled is let go as well.
  if (FConsumedEvent) SetEvent(FConsumedEvent);
  FCommThread->WaitFor();
  delete FCommThread;
  FCommThread = nullptr;
  // A monitor stopped before it got going may have set its mask after ours.
  DWORD mask = 0;
  if (GetCommMask(FCommHandle, &mask) && mask != 0) SetCommMask(FCommHandle, 0);
}

int TQuellin::CloseConnection() {
  if (!IsOpen()) return 1;
  FConnected = 0;
  StopMonitor();
  EscapeCommFunction(FCommHandle, CLRDTR);
  PurgeComm(FCommHandle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  CloseHandle(FCommHandle);
  FCommHandle = nullptr;
  ReleaseEvents();
  return 1;
}

void TQuellin::ReleaseEvents() {
  for (HANDLE* event : {&FReadOverlap.hEvent, &FWriteOverlap.hEvent, &FConsumedEvent}) {
    if (*event) CloseHandle(*event);
    *event = nullptr;
  }
}

// ---- Transfer ---------------------------------------------------------------------------------

DWORD TQuellin::FinishTransfer(OVERLAPPED& overlapped, DWORD bound) {
  if (WaitForSingleObject(overlapped.hEvent, bound) != WAIT_OBJECT_0) {
    // The caller's buffer and this record are released or reused once we return, so the
    // driver must be done with them first.
    CancelIoEx(FCommHandle, &overlapped);
  }
  // A transfer cancelled after it had moved bytes still reports them: they are not lost.
  DWORD count = 0;
  GetOverlappedResult(FCommHandle, &overlapped, &count, TRUE);
  return count;
}

int TQuellin::ReadComm(unsigned char* buffer, std::int32_t length) {
  if (!IsOpen()) return 0;
  DWORD errors = 0;
  COMSTAT stat{};
  if (!ClearCommError(FCommHandle, &errors, &stat)) {
    errors = 0;
    stat = COMSTAT{};
  }
  if (errors != 0 && OnErrorOccurred) {
    OnErrorOccurred(this, static_cast<int>(errors), "Read Error");
    // The handler may have closed the connection.
    if (!IsOpen()) return 0;
  }
  if (length <= 0 || !buffer) return 0;
  DWORD count = std::min(static_cast<DWORD>(length), stat.cbInQue);
  if (count == 0) return 0;
  DWORD got = 0;
  if (ReadFile(FCommHandle, buffer, count, &got, &FReadOverlap)) return static_cast<int>(got);
  if (GetLastError() != ERROR_IO_PENDING) return 0;
  return static_cast<int>(FinishTransfer(FReadOverlap, kReadBoundMs));
}

int TQuellin::WriteCommByte(unsigned char value) {
  if (!IsOpen()) return 0;
  DWORD written = 0;
  if (WriteFile(FCommHandle, &value, 1, &written, &FWriteOverlap)) return written == 1 ? 1 : 0;
  if (GetLastError() != ERROR_IO_PENDING) return 0;
  return FinishTransfer(FWriteOverlap, kWriteBoundMs) == 1 ? 1 : 0;
}

int TQuellin::WriteComm(unsigned char* buffer, std::int32_t length) {
  if (!IsOpen() || length < 0 || (length > 0 && !buffer)) return 0;
  int all = 1;
  for (std::int32_t i = 0; i < length; ++i) {
    if (!WriteCommByte(buffer[i])) all = 0;
  }
  return all;
}

AnsiString TQuellin::GetText() {
  if (!IsOpen()) return AnsiString();
  // The setting's bits as a signed length, as in every build: a "negative" one reads nothing.
  const std::int32_t requested = static_cast<std::int32_t>(MaxReadLength);
  const std::int32_t length = requested < 0 ? 0 : requested;
  auto* buffer = static_cast<unsigned char*>(GlobalAlloc(GPTR, static_cast<SIZE_T>(length) + 1));
  if (!buffer) return AnsiString();
  const int n = ReadComm(buffer, length);
  AnsiString text = n > 0 ? AnsiString(reinterpret_cast<const char*>(buffer), n) : AnsiString();
  GlobalFree(buffer);
  return text;
}

void TQuellin::SetText(AnsiString value) {
  if (!IsOpen()) return;
  const int length = value.Length();
  auto* buffer = static_cast<unsigned char*>(GlobalAlloc(GPTR, static_cast<SIZE_T>(length) + 1));
  if (!buffer) return;
  if (length > 0) std::memcpy(buffer, value.data(), static_cast<std::size_t>(length));
  WriteComm(buffer, length);
  GlobalFree(buffer);
}

// ---- Notification -----------------------------------------------------------------------------

void TQuellin::WindowMessageProc(vcl::TMessage& Message) {
  if (Message.Msg == WM_USER) MessageCOMM(Message);
}

int TQuellin::MessageCOMM(vcl::TMessage&) {
  if (!FConnected) return 0;
  // Let the monitor post the next notification once this one is handled, also when the handler
  // throws; a handler that closed the connection has released the event already.
  struct Consumed {
    TQuellin* self;
    ~Consumed() {
      if (self->FConsumedEvent) SetEvent(self->FConsumedEvent);
    }
  } consumed{this};
  if (OnDataAvailable) OnDataAvailable(this);
  return 1;
}

// ---- Registration -------------------------------------------------------------------------------

void Register() {
  vcl::TComponentClass classes[1] = {vcl::classid<TQuellin>()};
#if QUELLIN_VCL == 3
  vcl::RegisterComponents("Dovrane", classes, 0);
#else
  vcl::RegisterComponents("Quellin", classes, 0);
#endif
  // Each editor is registered for the type its property is published with, so the designer
  // actually picks it for that property.
  const vcl::TClass cls = vcl::classid<TQuellin>();
  vcl::RegisterPropertyEditor(vcl::GetPropInfo(cls, "DataBits")->PropType, cls, "DataBits",
                              vcl::classid<vcl::TStringProperty>());
#if QUELLIN_VCL == 5
  vcl::RegisterPropertyEditor(vcl::GetPropInfo(cls, "BaudRate")->PropType, cls, "BaudRate",
                              vcl::classid<vcl::TIntegerProperty>());
#endif
}

}  // namespace Quellin
