// Opening a path as a device: a tty (claimed exclusively, raw, non-blocking) or, for anything else
// that opens, a plain file without a line. Not installed.
#pragma once

#include <memory>

#include "platform/detail/device.h"

namespace win32::detail {

// ERROR_SUCCESS and device, or the Win32 error CreateFileA reports for that path.
DWORD OpenPathDevice(const char* path, DWORD access, std::unique_ptr<Device>& device);

}  // namespace win32::detail
