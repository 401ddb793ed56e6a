#include <thread>

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace {

TEST(LastError, IsKeptPerThread) {
  win32::SetLastError(win32::ERROR_IO_PENDING);
  win32::DWORD seen_elsewhere = 12345;
  std::thread([&] { seen_elsewhere = win32::GetLastError(); }).join();
  EXPECT_EQ(seen_elsewhere, win32::ERROR_SUCCESS);
  EXPECT_EQ(win32::GetLastError(), win32::ERROR_IO_PENDING);
}

}  // namespace
