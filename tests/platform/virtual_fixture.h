// Helpers for the tests of the virtual devices: an owned handle, and overlapped operations that
// are always finished (or cancelled and then finished) before their buffers go away.
#pragma once

#include <algorithm>
#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "platform/virtual.h"
#include "platform/win32.h"
#include "tests/platform/port_fixture.h"

namespace quellin::test {

using namespace std::chrono_literals;

inline constexpr win32::DWORD kBoundMs = 5000;  // what must happen, happens within this

// A handle opened through CreateFileA for overlapped I/O, closed with the object.
class Handle {
 public:
  explicit Handle(const std::string& name) : h_(OpenPort(name)), error_(win32::GetLastError()) {}
  ~Handle() { Close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  void Close() {
    if (Valid()) win32::CloseHandle(h_);
    h_ = win32::INVALID_HANDLE_VALUE;
  }
  bool Valid() const { return h_ != win32::INVALID_HANDLE_VALUE; }
  win32::DWORD OpenError() const { return error_; }
  operator win32::HANDLE() const { return h_; }

 private:
  win32::HANDLE h_;
  win32::DWORD error_;
};

// One overlapped ReadFile, WriteFile or WaitCommEvent with its own buffer. The destructor cancels
// it if it is still running and waits for its end, so nothing completes into freed memory.
class Op {
 public:
  explicit Op(win32::HANDLE port) : port_(port) {}
  ~Op() {
    const win32::DWORD error = win32::GetLastError();  // a caller may still want to look at it
    if (Pending() && !ov_.Signalled(0)) {
      win32::CancelIoEx(port_, &ov_.ov);
      ov_.Signalled(kBoundMs);
    }
    win32::SetLastError(error);
  }
  Op(const Op&) = delete;
  Op& operator=(const Op&) = delete;

  // Each returns the call's result; error() has GetLastError() after it.
  bool Read(win32::DWORD n) {
    buffer.assign(n, '\0');
    return Started(win32::ReadFile(port_, buffer.data(), n, &count_, &ov_));
  }
  bool Write(std::string bytes) {
    buffer = std::move(bytes);
    return Started(win32::WriteFile(port_, buffer.data(), static_cast<win32::DWORD>(buffer.size()),
                                    &count_, &ov_));
  }
  bool WaitEvent() {
    mask = 0;
    return Started(win32::WaitCommEvent(port_, &mask, &ov_));
  }
  // Started without finishing: FALSE with ERROR_IO_PENDING.
  bool Pending() const { return pending_; }
  // WaitForSingleObject on the operation's event.
  bool Done(win32::DWORD ms = 0) { return ov_.Signalled(ms); }
  bool Cancel() { return win32::CancelIoEx(port_, &ov_.ov) != 0; }
  // Waits (bounded) for the end; the overlapped result, its count and error.
  bool Finish() {
    if (!ov_.Signalled(kBoundMs)) {
      ADD_FAILURE() << "operation did not complete";
      return false;
    }
    win32::SetLastError(0);
    result_ = win32::GetOverlappedResult(port_, &ov_.ov, &count_, win32::FALSE) != 0;
    error_ = win32::GetLastError();
    if (result_) buffer.resize(std::min<std::size_t>(buffer.size(), count_));
    return result_;
  }
  win32::DWORD count() const { return count_; }
  win32::DWORD error() const { return error_; }

  std::string buffer;
  win32::DWORD mask = 0;

 private:
  bool Started(win32::BOOL r) {
    result_ = r != 0;
    error_ = r ? 0 : win32::GetLastError();
    pending_ = error_ == win32::ERROR_IO_PENDING;
    if (result_) buffer.resize(std::min<std::size_t>(buffer.size(), count_));
    return result_;
  }

  win32::HANDLE port_;
  Overlapped ov_;
  bool pending_ = false;  // went pending when started (Finish does not change it)
  bool result_ = false;
  win32::DWORD error_ = 0;
  win32::DWORD count_ = 0;
};

// The events of the next WaitCommEvent completion (0 when none within the bound).
inline win32::DWORD NextEvents(win32::HANDLE port) {
  Op wait(port);
  if (!wait.WaitEvent() && !wait.Pending()) {
    ADD_FAILURE() << "WaitCommEvent failed: " << wait.error();
    return 0;
  }
  wait.Finish();
  return wait.mask;
}

// Reads exactly n bytes, waiting as long as the bound allows.
inline std::string ReadExactly(win32::HANDLE port, win32::DWORD n) {
  win32::COMMTIMEOUTS t{0, 0, kBoundMs, 0, 0};
  EXPECT_TRUE(win32::SetCommTimeouts(port, &t));
  Op read(port);
  if (!read.Read(n)) {
    EXPECT_TRUE(read.Pending()) << read.error();
    read.Finish();
  }
  return read.buffer;
}

inline win32::DWORD QueuedIn(win32::HANDLE port, win32::DWORD* errors = nullptr) {
  win32::COMSTAT st{};
  win32::DWORD e = 0;
  EXPECT_TRUE(win32::ClearCommError(port, &e, &st)) << win32::GetLastError();
  if (errors) *errors = e;
  return st.cbInQue;
}

inline win32::DCB StateOf(win32::HANDLE port) {
  win32::DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  EXPECT_TRUE(win32::GetCommState(port, &dcb)) << win32::GetLastError();
  return dcb;
}

}  // namespace quellin::test
