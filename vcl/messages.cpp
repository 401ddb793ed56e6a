#include "vcl/messages.h"

#include "vcl/forms.h"
#include "vcl/sysutils.h"

namespace vcl {

namespace {

struct WindowMethod {
  TWndMethod method;
};

LRESULT StdWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* target = reinterpret_cast<WindowMethod*>(win32::GetWindowLongPtrA(window, win32::GWLP_USERDATA));
  if (!target) return 0;
  if (message == win32::WM_NCDESTROY) {  // the window's last message: release the method
    delete target;
    return 0;
  }
  TMessage m{message, wParam, lParam, 0};
  try {
    if (target->method) target->method(m);
  } catch (...) {
    if (Application) Application->HandleException(nullptr);
  }
  return m.Result;
}

}  // namespace

HWND AllocateHWnd(TWndMethod method) {
  auto* target = new WindowMethod{std::move(method)};
  HWND window = win32::CreateMessageWindow(&StdWndProc, reinterpret_cast<win32::LONG_PTR>(target));
  if (!window) {
    delete target;
    throw EOutOfResources("Cannot create a message window (error " + IntToStr(win32::GetLastError()) + ")");
  }
  return window;
}

void DeallocateHWnd(HWND window) {
  if (window) win32::DestroyWindow(window);
}

}  // namespace vcl
