// The serial ports present on this machine, as the kernel lists them under /sys/class/tty.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quellin::term {

struct UsbInfo {
  std::string vendorId;  // "0403"
  std::string productId;
  std::string manufacturer;  // each empty when the device does not say
  std::string product;
  std::string serial;
};

struct SerialPortInfo {
  std::string name;    // "ttyUSB0"
  std::string device;  // "/dev/ttyUSB0"
  std::string driver;  // "ftdi_sio", "serial8250", ...; empty when unknown
  std::optional<UsbInfo> usb;
};

// Every tty with a device behind it (virtual consoles and pseudo-terminals have none); legacy
// UART slots the kernel found no UART in are left out. Sorted by name, numbers in number order.
std::vector<SerialPortInfo> ListSerialPorts(
    const std::filesystem::path& sysClassTty = "/sys/class/tty",
    const std::filesystem::path& devDir = "/dev");

// "/dev/ttyUSB0  ftdi_sio  USB 0403:6001  FTDI  FT232R USB UART  serial A50285BI"
std::string FormatPort(const SerialPortInfo& port);

}  // namespace quellin::term
