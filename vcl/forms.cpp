#include "vcl/forms.h"

#include <cstdio>

#include "vcl/sysutils.h"

namespace vcl {

VCL_IMPLEMENT_CLASS(TApplication)

namespace {
win32::LRESULT WakeProc(HWND, UINT, WPARAM, LPARAM) { return 0; }
}  // namespace

TApplication::TApplication(TComponent* AOwner) : TComponent(AOwner) {}

TApplication::~TApplication() {
  // Only the loop thread can release the window; at process exit its thread has already done so.
  if (FLoopThread.load() == std::this_thread::get_id()) {
    if (HWND w = FWakeWindow.exchange(nullptr)) win32::DestroyWindow(w);
  }
}

void TApplication::NoteLoopThread() {
  // The wake window must belong to the thread that runs the loop now; a loop that moved (or whose
  // first thread has exited) gets a new one. The old one, if alive, goes with its thread.
  if (FLoopThread.load() == std::this_thread::get_id() && win32::IsWindow(FWakeWindow.load())) return;
  HWND w = win32::CreateMessageWindow(&WakeProc, 0);
  FWakeWindow = w;
  FLoopThread = std::this_thread::get_id();
}

void TApplication::Dispatch(const win32::MSG& msg) {
  if (msg.message == win32::WM_QUIT) {
    FTerminated = true;
    return;
  }
  win32::DispatchMessageA(&msg);
}

void TApplication::ProcessMessages() {
  NoteLoopThread();
  win32::MSG msg;
  while (win32::PeekMessageA(&msg, nullptr, 0, 0, win32::PM_REMOVE)) Dispatch(msg);
}

void TApplication::HandleMessage() {
  NoteLoopThread();
  win32::MSG msg;
  win32::BOOL r = win32::GetMessageA(&msg, nullptr, 0, 0);
  if (r == 0) {
    FTerminated = true;
  } else if (r > 0) {
    Dispatch(msg);
  }
}

void TApplication::Run() {
  NoteLoopThread();
  while (!FTerminated) HandleMessage();
}

void TApplication::Terminate() {
  FTerminated = true;
  // A loop on another thread may be asleep in GetMessageA: wake it. The loop thread itself
  // checks the flag as soon as the current message is handled.
  if (FLoopThread.load() != std::this_thread::get_id()) {
    if (HWND w = FWakeWindow.load()) win32::PostMessageA(w, win32::WM_NULL, 0, 0);
  }
}

int TApplication::MessageFd() const { return win32::GetMessageQueueFd(); }

void TApplication::HandleException(TObject* Sender) {
  if (!std::current_exception()) return;
  try {
    if (OnException) {
      OnException(Sender);
      return;
    }
    try {
      throw;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "Exception: %s\n", e.what());
    } catch (...) {
      std::fprintf(stderr, "Exception of an unknown type\n");
    }
  } catch (...) {
  }
}

namespace {
TApplication& TheApplication() {
  static TApplication application(nullptr);
  return application;
}
}  // namespace

TApplication* Application = &TheApplication();

}  // namespace vcl
