#include <map>
#include <mutex>

#include "platform/detail/device.h"

namespace win32::detail {

namespace {

struct Registry {
  std::mutex lock;
  std::map<std::string, DeviceFactory, std::less<>> factories;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // outlives every static that might still open ports
  return *registry;
}

}  // namespace

bool RegisterDeviceFactory(const std::string& name, DeviceFactory factory) {
  if (name.empty() || !factory) return false;
  Registry& r = TheRegistry();
  std::lock_guard g(r.lock);
  return r.factories.emplace(name, std::move(factory)).second;
}

bool UnregisterDeviceFactory(const std::string& name) {
  Registry& r = TheRegistry();
  std::lock_guard g(r.lock);
  return r.factories.erase(name) > 0;
}

DWORD OpenRegisteredDevice(const std::string& name, std::unique_ptr<Device>& device) {
  DeviceFactory factory;
  {
    Registry& r = TheRegistry();
    std::lock_guard g(r.lock);
    auto it = r.factories.find(name);
    if (it == r.factories.end()) return ERROR_FILE_NOT_FOUND;
    factory = it->second;  // called unlocked: a factory may register or look up other names
  }
  return factory(device);
}

DWORD ValidateDcb(const DCB& dcb, DWORD inQueue) {
  const bool bad = dcb.fBinary == 0 ||  // Windows has no non-binary mode
                   dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 ||
                   dcb.Parity > SPACEPARITY || dcb.StopBits > TWOSTOPBITS ||
                   (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) ||
                   (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5) ||
                   dcb.fDtrControl == 3 ||  // both DTR control bits: no such mode
                   dcb.XonChar == dcb.XoffChar || dcb.XonLim > inQueue || dcb.XoffLim > inQueue;
  return bad ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
}

}  // namespace win32::detail
