// The component unit Quellin: TQuellin, a non-visual serial-port component, its receive monitor
// TCommThread, the three line-setting enumerations and Register.
//
//   TQuellin* port = new TQuellin(Form1);
//   port->Port = "/dev/ttyUSB0";
//   port->BaudRate = 115200;
//   port->OnDataAvailable = [port](TObject*) { AnsiString got = port->Text; ... };
//   if (port->OpenConnection()) port->Text = "AT\r";
//   ...
//   port->CloseConnection();
//
// One source serves three builds, chosen by QUELLIN_VCL (5, 4 or 3: the libraries quellin50,
// quellin40 and QuellinObj, which export the definition to whoever links them). The builds differ
// in the version text, the start values of the time-outs and the signedness of the 32-bit
// settings; everything else behaves the same.
//
// Including this header is all an application needs: it brings the runtime (vcl/vcl.h) and the
// serial device services (platform/win32.h).
#pragma once

#include <cstdint>
#include <functional>

#include "platform/win32.h"
#include "vcl/vcl.h"

#if !defined(QUELLIN_VCL) || (QUELLIN_VCL != 5 && QUELLIN_VCL != 4 && QUELLIN_VCL != 3)
#error "QUELLIN_VCL selects the build: 5 (quellin50), 4 (quellin40) or 3 (QuellinObj)"
#endif

namespace Quellin {

using vcl::AnsiString;
using vcl::TComponent;
using vcl::TObject;

// The 32-bit settings hold the same bits in every build; quellin50 publishes them signed, the
// older two unsigned.
#if QUELLIN_VCL == 5
using TCommInt = std::int32_t;
#else
using TCommInt = std::uint32_t;
#endif

VCL_ENUM(TParity, std::uint8_t, no_parity, odd_parity, even_parity, mark_parity, space_parity)
VCL_ENUM(TDataBits, std::uint8_t, databits4, databits5, databits6, databits7, databits8)
VCL_ENUM(TStopBits, std::uint8_t, stop1, stop1x5, stop2)

using TNotifyEvent = vcl::TNotifyEvent;
using TCommErrorEvent = std::function<void(TObject* Sender, int error, AnsiString errorstr)>;

class TQuellin;

// The receive monitor: waits on the open device for received characters and tells the
// component's notification window, one message at a time. It works on its own copies of the
// handles and never touches the component.
class TCommThread : public vcl::TThread {
 public:
  // consumedEvent paces the notifications: the monitor waits for it before each post and the
  // component signals it once the notification has been handled. Null: no pacing.
  TCommThread(bool CreateSuspended, TQuellin* AOwner, win32::HANDLE ACommHandle,
              win32::HWND ANotifyWindow, win32::HANDLE AConsumedEvent = nullptr);
  ~TCommThread() override;

 protected:
  void Execute() override;

 private:
  win32::HANDLE FConsumedEvent;
  win32::HANDLE FCommHandle;
  win32::HWND FNotifyWindow;
  TQuellin* FOwner;
};

class TQuellin : public TComponent {
  VCL_DECLARE_CLASS(TQuellin, vcl::TComponent)

  AnsiString GetVersion() const { return FVersion; }
  void SetVersion(AnsiString value) { FVersionSink = value; }
  int GetState() const { return FState; }
  int GetConnected() const { return FConnected; }

 public:
  explicit TQuellin(TComponent* AOwner);
  ~TQuellin() override;

  // ---- Events --------------------------------------------------------------------------------
  TNotifyEvent OnDataAvailable;
  TCommErrorEvent OnErrorOccurred;

 protected:
  TCommThread* FCommThread = nullptr;
  win32::HWND FNotifyWindow = nullptr;
  win32::HANDLE FCommHandle = nullptr;
  win32::OVERLAPPED FReadOverlap{};
  win32::OVERLAPPED FWriteOverlap{};

 public:
  // ---- Settings: plain fields, read when they are used ---------------------------------------
  AnsiString Port;
  TCommInt BaudRate = 0;
  TParity Parity = no_parity;
  TDataBits DataBits = databits4;
  TStopBits StopBits = stop1;
  TCommInt MaxReadLength = 0;
  bool EnableParity = false;
  bool CTSFlowCtl = false;
  bool DSRFlowCtl = false;
  bool DSRSensitive = false;
  bool TXResume = false;
  bool XOuputFlowCtl = false;
  bool XInputFlowCtl = false;
  bool ErrorReplace = false;
  bool DiscardNULL = false;
  bool AbortOnError = false;
  TCommInt InputQueueSize = 0;
  TCommInt OutputQueueSize = 0;
  TCommInt XOnLimit = 0;
  TCommInt XOffLimit = 0;
  signed char XOnChar = 0;
  signed char XOffChar = 0;
  signed char ErrorChar = 0;
  // In the member order of COMMTIMEOUTS.
  TCommInt TimeoutReadInterval = 0;
  TCommInt TimeoutReadMultiplier = 0;
  TCommInt TimeoutReadConstant = 0;
  TCommInt TimeoutWriteMultiplier = 0;
  TCommInt TimeoutWriteConstant = 0;

 protected:
  std::int32_t FState = 0;
  std::int32_t FConnected = 0;
  AnsiString FVersion;
  AnsiString FVersionSink;
  // Signalled when the last notification has been handled; exists while a port is open.
  win32::HANDLE FConsumedEvent = nullptr;

 public:
  // ---- Connection ------------------------------------------------------------------------------
  // Non-zero on success. Refused (0) while a connection is already open.
  int OpenConnection();
  // Always 1; does nothing while closed.
  int CloseConnection();

  // ---- Line settings and time-outs on the open device ----------------------------------------
  // Each returns the success flag of the service it ends with; 0 while no port is open.
  int SetConnection();
  int SetFlowCtl(int enable);  // bit 0 switches XON/XOFF in both directions on the device only
  int GetTimeouts();           // on failure the time-out settings keep their values
  int SetTimeouts();
  int PurgeCommPort(win32::DWORD flags);
  int EscapeComm(win32::DWORD function);

  // ---- Transfer --------------------------------------------------------------------------------
  // Takes at most length of the bytes already queued; never waits for data. Line errors found
  // first are reported through OnErrorOccurred. A negative length reads nothing.
  int ReadComm(unsigned char* buffer, std::int32_t length);
  // 1 only when every byte went out (each byte is offered once, in order); 1 for no bytes.
  int WriteComm(unsigned char* buffer, std::int32_t length);
  // 1 only when the byte was written.
  int WriteCommByte(unsigned char value);
  // Every byte taken from the driver, zero bytes included.
  AnsiString GetText();
  // Sends exactly the string's bytes.
  void SetText(AnsiString value);

  // ---- Notification ----------------------------------------------------------------------------
  // The notification window's procedure: WM_USER goes to MessageCOMM, nothing else is handled.
  void WindowMessageProc(vcl::TMessage& Message);
  // Raises OnDataAvailable while connected (1); 0 when not connected.
  int MessageCOMM(vcl::TMessage& Message);

  // ---- Properties ----------------------------------------------------------------------------
  vcl::Property<TQuellin, AnsiString, &TQuellin::GetText, &TQuellin::SetText> Text{this};
  vcl::Property<TQuellin, AnsiString, &TQuellin::GetVersion, &TQuellin::SetVersion> Version{this};
  vcl::ReadOnlyProperty<TQuellin, int, &TQuellin::GetState> State{this};
  vcl::ReadOnlyProperty<TQuellin, int, &TQuellin::GetConnected> Connected{this};

  static void PublishedProperties(vcl::Publisher<TQuellin>& p);

 private:
  bool IsOpen() const;
  // Ends an overlapped transfer that did not finish at once and returns the bytes it moved. One
  // still running after bound is cancelled and waited for.
  win32::DWORD FinishTransfer(win32::OVERLAPPED& overlapped, win32::DWORD bound);
  void ReleaseEvents();
  void StopMonitor();
};

// Puts TQuellin on the designer's palette with its property editors.
void Register();

}  // namespace Quellin

using namespace Quellin;
