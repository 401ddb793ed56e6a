// The built-in device quellin-term talks to when no port is given: one end of an in-process
// virtual null modem, whose far end a small device program answers by sending back every byte
// (and every break) it receives. The terminal opens the near end by name through the component,
// exactly as it opens /dev/ttyUSB0.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "platform/virtual.h"
#include "platform/win32.h"

namespace quellin::term {

class EchoDevice {
 public:
  static constexpr const char* kPortName = "virtual-echo";
  static constexpr const char* kFarName = "virtual-echo-far";

  EchoDevice();
  ~EchoDevice();  // stops the far end; close the near end first
  EchoDevice(const EchoDevice&) = delete;
  EchoDevice& operator=(const EchoDevice&) = delete;

  // Opens the far end and starts answering. False, with a reason, when it cannot.
  bool Start(std::string& error);
  const char* PortName() const { return kPortName; }

 private:
  void Run();
  void Echo();

  quellin::VirtualNullModem cable_;
  win32::HANDLE far_ = win32::INVALID_HANDLE_VALUE;
  win32::HANDLE waitEvent_ = nullptr;
  win32::HANDLE ioEvent_ = nullptr;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace quellin::term
