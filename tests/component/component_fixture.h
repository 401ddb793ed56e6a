// What the component tests share: the expected values of the build under test, a probe that
// shows the component's inner handles, and bounded waits that pump the calling thread's messages.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "component/Quellin.h"
#include "platform/virtual.h"
#include "tests/support/pty.h"

namespace quellin::test {

using namespace std::chrono_literals;

// ---- The build under test --------------------------------------------------------------------

struct BuildExpect {
  const char* version;
  const char* longType;  // the 32-bit settings
  const char* intType;   // XOnLimit, XOffLimit
  std::int64_t rangeMin, rangeMax;
  // Construction values of the five time-outs as their published type reads them, and the
  // recorded default of TimeoutReadInterval (all bits set).
  std::int64_t timeouts[5];
  std::int64_t readIntervalDefault;
  // What SetTimeouts hands the device with the start values.
  win32::COMMTIMEOUTS startTimeouts;
};

#if QUELLIN_VCL == 5
inline constexpr BuildExpect kBuild{"1.0.4",   "long",
                                    "int",     INT32_MIN,
                                    INT32_MAX, {65535, 1, 5000, 1, 5000},
                                    -1,        {65535, 1, 5000, 1, 5000}};
#elif QUELLIN_VCL == 4
inline constexpr BuildExpect kBuild{
    "1.0.3",    "unsigned long",           "unsigned int", 0,
    UINT32_MAX, {65535, 1, 5000, 1, 5000}, UINT32_MAX,     {65535, 1, 5000, 1, 5000}};
#else
inline constexpr BuildExpect kBuild{"1.0.1",        "unsigned long",
                                    "unsigned int", 0,
                                    UINT32_MAX,     {UINT32_MAX, 0, 0, 0, 5000},
                                    UINT32_MAX,     {0xFFFFFFFFu, 0, 0, 0, 5000}};
#endif

// Heavy tests run scaled down under the sanitizers, which slow every byte's path many times over.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

// ---- A look inside ------------------------------------------------------------------------------

class Probe : public TQuellin {
 public:
  using TQuellin::TQuellin;
  win32::HWND NotifyWindow() const { return FNotifyWindow; }
  win32::HANDLE CommHandle() const { return FCommHandle; }
  TCommThread* Monitor() const { return FCommThread; }
  // The same for a component of any origin (one a form file created, say).
  static win32::HWND NotifyWindowOf(const TQuellin* q) { return q->*(&Probe::FNotifyWindow); }
};

// ---- Bounded waits
// -------------------------------------------------------------------------------

// Dispatches every message queued for the calling thread.
inline void PumpMessages() {
  win32::MSG msg;
  while (win32::PeekMessageA(&msg, nullptr, 0, 0, win32::PM_REMOVE) > 0) {
    win32::DispatchMessageA(&msg);
  }
}

// Pumps the calling thread's messages until pred holds or the bound runs out, sleeping in poll()
// on the message queue in between: for conditions that a message brings about.
inline bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds bound = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    PumpMessages();
    if (pred()) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{win32::GetMessageQueueFd(), POLLIN, 0};
    poll(&p, 1, static_cast<int>(left.count()));
  }
}

// Waits (pumping nothing) until a notification for window is queued on the calling thread and
// returns it, still queued.
inline std::optional<win32::MSG> WaitForNotification(win32::HWND window,
                                                     std::chrono::milliseconds bound = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    win32::MSG msg;
    if (win32::PeekMessageA(&msg, window, win32::WM_USER, win32::WM_USER, win32::PM_NOREMOVE) > 0)
      return msg;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{win32::GetMessageQueueFd(), POLLIN, 0};
    poll(&p, 1, static_cast<int>(left.count()));
  }
}

// Removes the queued notifications for window and returns how many there were.
inline int TakeNotifications(win32::HWND window) {
  int n = 0;
  win32::MSG msg;
  while (win32::PeekMessageA(&msg, window, win32::WM_USER, win32::WM_USER, win32::PM_REMOVE) > 0)
    ++n;
  return n;
}

// Runs f on another thread and waits for it up to bound; false when it has not finished (the
// thread is then left to finish on its own).
template <class F>
bool FinishesWithin(F f, std::chrono::milliseconds bound = 10s) {
  auto done = std::make_shared<std::promise<void>>();
  auto future = done->get_future();
  std::thread([f = std::move(f), done] {
    f();
    done->set_value();
  }).detach();
  return future.wait_for(bound) == std::future_status::ready;
}

// Counts the entries of a /proc/self directory: open descriptors, threads.
inline int CountEntries(const char* dir) {
  int n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}

// A component with its settings at their start values, opened on a device. Line-errors and
// data handlers are left to each test.
inline std::unique_ptr<Probe> OpenOn(const std::string& port) {
  auto q = std::make_unique<Probe>(nullptr);
  q->Port = port.c_str();
  EXPECT_NE(q->OpenConnection(), 0) << "open " << port << ": " << win32::GetLastError();
  return q;
}

}  // namespace quellin::test
