#include "apps/term/ports.h"

#include <algorithm>
#include <cctype>
#include <fstream>

namespace quellin::term {

namespace fs = std::filesystem;

namespace {

std::string ReadAttribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) return {};
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
  return line;
}

// The USB device (not the interface) a tty hangs under: the nearest directory up the device
// path that carries idVendor.
std::optional<UsbInfo> FindUsb(const fs::path& device) {
  std::error_code ec;
  fs::path dir = fs::canonical(device, ec);
  if (ec) return std::nullopt;
  for (; !dir.empty() && dir != dir.root_path(); dir = dir.parent_path()) {
    if (!fs::exists(dir / "idVendor", ec)) continue;
    UsbInfo usb;
    usb.vendorId = ReadAttribute(dir / "idVendor");
    usb.productId = ReadAttribute(dir / "idProduct");
    usb.manufacturer = ReadAttribute(dir / "manufacturer");
    usb.product = ReadAttribute(dir / "product");
    usb.serial = ReadAttribute(dir / "serial");
    return usb;
  }
  return std::nullopt;
}

// "ttyS10" after "ttyS9": compare the letters, then the trailing number as a number.
bool NaturalLess(const std::string& a, const std::string& b) {
  auto split = [](const std::string& s) {
    std::size_t i = s.size();
    while (i > 0 && std::isdigit(static_cast<unsigned char>(s[i - 1]))) --i;
    return std::pair{s.substr(0, i), s.substr(i)};
  };
  auto [pa, na] = split(a);
  auto [pb, nb] = split(b);
  if (pa != pb) return pa < pb;
  if (na.size() != nb.size()) return na.size() < nb.size();
  return na < nb;
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts(const fs::path& sysClassTty, const fs::path& devDir) {
  std::vector<SerialPortInfo> ports;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(sysClassTty, ec)) {
    const fs::path dir = entry.path();
    const fs::path device = dir / "device";
    if (!fs::exists(device, ec)) continue;
    // Serial-core ports report their UART type; 0 means the slot is empty (the kernel reserves
    // ttyS0..ttyS3 whether or not a UART is there).
    const std::string type = ReadAttribute(dir / "type");
    if (type == "0") continue;

    SerialPortInfo port;
    port.name = dir.filename().string();
    port.device = (devDir / port.name).string();
    fs::path driver = fs::read_symlink(device / "driver", ec);
    if (!ec) port.driver = driver.filename().string();
    port.usb = FindUsb(device);
    ports.push_back(std::move(port));
  }
  std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
    return NaturalLess(a.name, b.name);
  });
  return ports;
}

std::string FormatPort(const SerialPortInfo& port) {
  std::string out = port.device;
  if (!port.driver.empty()) out += "  " + port.driver;
  if (port.usb) {
    const UsbInfo& u = *port.usb;
    out += "  USB " + u.vendorId + ":" + u.productId;
    if (!u.manufacturer.empty()) out += "  " + u.manufacturer;
    if (!u.product.empty()) out += "  " + u.product;
    if (!u.serial.empty()) out += "  serial " + u.serial;
  }
  return out;
}

}  // namespace quellin::term
