// A pty whose slave is opened through CreateFileA as an overlapped serial port, plus a few
// helpers the platform tests share.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "tests/support/pty.h"

namespace quellin::test {

inline win32::HANDLE OpenPort(const std::string& path, bool overlapped = true) {
  return win32::CreateFileA(
      path.c_str(), win32::GENERIC_READ | win32::GENERIC_WRITE, 0, nullptr, win32::OPEN_EXISTING,
      win32::FILE_ATTRIBUTE_NORMAL | (overlapped ? win32::FILE_FLAG_OVERLAPPED : 0), nullptr);
}

// An OVERLAPPED with its own manual-reset event, closed with it.
struct Overlapped {
  win32::OVERLAPPED ov{};
  Overlapped() { ov.hEvent = win32::CreateEventA(nullptr, win32::TRUE, win32::FALSE, nullptr); }
  ~Overlapped() { win32::CloseHandle(ov.hEvent); }
  Overlapped(const Overlapped&) = delete;
  Overlapped& operator=(const Overlapped&) = delete;
  win32::OVERLAPPED* operator&() { return &ov; }
  bool Signalled(win32::DWORD ms = 0) { return win32::WaitForSingleObject(ov.hEvent, ms) == 0; }
};

class PortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port = OpenPort(pty.SlavePath());
    ASSERT_NE(port, win32::INVALID_HANDLE_VALUE) << win32::GetLastError();
  }
  void TearDown() override {
    if (port != win32::INVALID_HANDLE_VALUE) win32::CloseHandle(port);
  }
  void SetTimeouts(win32::DWORD ri, win32::DWORD rm, win32::DWORD rc, win32::DWORD wm = 0,
                   win32::DWORD wc = 0) {
    win32::COMMTIMEOUTS t{ri, rm, rc, wm, wc};
    ASSERT_TRUE(win32::SetCommTimeouts(port, &t));
  }

  PtyPair pty;
  win32::HANDLE port = win32::INVALID_HANDLE_VALUE;
};

}  // namespace quellin::test
