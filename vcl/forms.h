// The application object: the calling thread's message loop.
//
//   vcl::Application->ProcessMessages();   // dispatch everything pending, never wait
//   vcl::Application->HandleMessage();     // wait for one message and dispatch it
//   vcl::Application->Run();               // until Terminate()
//
// MessageFd() is the calling thread's queue descriptor, readable while messages are pending, so a
// program can poll it together with its own descriptors and call ProcessMessages when it is
// readable. One thread runs an application's loop at a time (normally the main thread).
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <thread>

#include "vcl/classes.h"
#include "vcl/messages.h"

namespace vcl {

// Told about an exception that escaped a window method; std::current_exception() is the one.
using TExceptionEvent = std::function<void(TObject* Sender)>;

class TApplication : public TComponent {
  VCL_DECLARE_CLASS(TApplication, TComponent)

  bool GetTerminated() const { return FTerminated.load(); }

 public:
  explicit TApplication(TComponent* AOwner);
  ~TApplication() override;

  // Dispatches every message pending on the calling thread; returns when the queue is empty.
  // A WM_QUIT sets Terminated.
  void ProcessMessages();
  // Waits for one message on the calling thread and dispatches it (WM_QUIT sets Terminated).
  void HandleMessage();
  // Handles messages until Terminated.
  void Run();
  // Ends Run: sets Terminated and wakes the thread that runs the loop. Any thread may call it.
  void Terminate();
  ReadOnlyProperty<TApplication, bool, &TApplication::GetTerminated> Terminated{this};

  // The calling thread's message-queue descriptor (readable while messages are pending).
  int MessageFd() const;

  // Called from inside a catch block: passes the exception to OnException, or else writes its
  // message to standard error. Never throws.
  void HandleException(TObject* Sender);
  TExceptionEvent OnException;

 private:
  void Dispatch(const win32::MSG& msg);
  void NoteLoopThread();

  std::atomic<bool> FTerminated{false};
  std::atomic<HWND> FWakeWindow{nullptr};  // owned by the loop thread; Terminate posts to it
  std::atomic<std::thread::id> FLoopThread{};
};

// The process's application object.
extern TApplication* Application;

}  // namespace vcl
