// Shared by the module and resource tests: the fixture libraries, a module that frees itself,
// and reading a resource whole.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include <gtest/gtest.h>

#include "platform/resource.h"

namespace quellin::test {

struct Module {
  explicit Module(const char* path) : handle(win32::LoadLibraryA(path)) {
    EXPECT_NE(handle, nullptr) << path << ": " << win32::GetModuleLoadErrorText();
  }
  ~Module() {
    if (handle != nullptr) win32::FreeLibrary(handle);
  }
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;
  operator win32::HMODULE() const { return handle; }

  win32::HMODULE handle;
};

using Bytes = std::span<const std::uint8_t>;

// The resource's bytes, or an empty span (with a test failure) if it cannot be had.
inline Bytes ReadResource(win32::HMODULE module, win32::LPCSTR name, win32::LPCSTR type) {
  win32::HRSRC found = win32::FindResourceA(module, name, type);
  EXPECT_NE(found, nullptr) << "error " << win32::GetLastError();
  if (found == nullptr) return {};
  win32::HGLOBAL loaded = win32::LoadResource(module, found);
  auto* data = static_cast<const std::uint8_t*>(win32::LockResource(loaded));
  win32::DWORD size = win32::SizeofResource(module, found);
  EXPECT_NE(data, nullptr);
  EXPECT_GT(size, 0u);
  if (data == nullptr) return {};
  return {data, size};
}

inline std::uint16_t U16(Bytes b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
inline std::uint32_t U32(Bytes b, std::size_t at) {
  return static_cast<std::uint32_t>(U16(b, at)) | static_cast<std::uint32_t>(U16(b, at + 2)) << 16;
}
inline std::int32_t I32(Bytes b, std::size_t at) {
  return static_cast<std::int32_t>(U32(b, at));
}

}  // namespace quellin::test
