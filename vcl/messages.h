// Window messages for objects: TMessage, window methods, AllocateHWnd / DeallocateHWnd.
//
//   FNotifyWindow = vcl::AllocateHWnd([this](vcl::TMessage& m) { WindowMessageProc(m); });
//   ...
//   vcl::DeallocateHWnd(FNotifyWindow);
//
// The window belongs to the thread that allocates it: messages posted to it from any thread are
// delivered on that thread by its message loop (Application->ProcessMessages, HandleMessage, Run).
#pragma once

#include <functional>

#include "platform/win32.h"

namespace vcl {

using win32::HWND;
using win32::LPARAM;
using win32::LRESULT;
using win32::UINT;
using win32::WPARAM;

struct TMessage {
  UINT Msg;
  WPARAM WParam;
  LPARAM LParam;
  LRESULT Result;
};

using TWndMethod = std::function<void(TMessage& Message)>;

// A hidden message window, owned by the calling thread, whose messages go to method (Result
// starts at 0 and is what DispatchMessageA returns). An exception thrown by the method goes to
// Application->HandleException. EOutOfResources when no window can be made.
HWND AllocateHWnd(TWndMethod method);
// Releases the window and its method; messages still queued for it are dropped. Only the owning
// thread can release it; a null or already released handle is ignored.
void DeallocateHWnd(HWND window);

}  // namespace vcl
