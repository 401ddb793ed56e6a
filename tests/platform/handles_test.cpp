#include <thread>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "tests/support/wait.h"

namespace {

using namespace win32;

TEST(Handles, ClosedOrForeignValuesNeverReachAnObject) {
  HANDLE first = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(first, nullptr);
  ASSERT_TRUE(CloseHandle(first));
  // The freed slot is reused at once; the old value must not reach the new event.
  HANDLE second = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);

  const HANDLE bad[] = {first, nullptr, INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(0x1234),
                        reinterpret_cast<HANDLE>(~std::uintptr_t{0} - 1)};
  for (HANDLE h : bad) {
    SCOPED_TRACE(h);
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
    DCB dcb{};
    EXPECT_FALSE(GetCommState(h, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    DWORD n = 0;
    char c = 0;
    EXPECT_FALSE(ReadFile(h, &c, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
  EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_TIMEOUT);  // untouched by the stale SetEvent
  EXPECT_TRUE(CloseHandle(second));
  EXPECT_FALSE(CloseHandle(second));
}

TEST(Events, ManualStaysSignalledAutoReleasesOneWait) {
  HANDLE manual = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  HANDLE automatic = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  ASSERT_TRUE(manual && automatic);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 20), WAIT_TIMEOUT);
  CloseHandle(manual);
  CloseHandle(automatic);
}

TEST(Events, InfiniteWaitEndsWhenAnotherThreadSignals) {
  HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  quellin::test::Latch waiting;
  DWORD result = 12345;
  std::thread t([&] {
    waiting.Set();
    result = WaitForSingleObject(e, INFINITE);
  });
  ASSERT_TRUE(waiting.Wait());
  EXPECT_TRUE(SetEvent(e));
  t.join();
  EXPECT_EQ(result, WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);  // auto-reset consumed by the waiter
  CloseHandle(e);
}

TEST(Events, NamedEventsAreNotOffered) {
  SetLastError(0);
  EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "shared"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

TEST(GlobalMemory, ZeroFilledBlocksAndRefusedAbsurdSizes) {
  auto* p = static_cast<unsigned char*>(GlobalAlloc(GPTR, 4096));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(p[i], 0) << i;
  EXPECT_EQ(GlobalFree(p), nullptr);
  for (SIZE_T size : {~SIZE_T{0}, ~SIZE_T{0} / 2, SIZE_T{1} << 60}) {
    SetLastError(0);
    EXPECT_EQ(GlobalAlloc(GPTR, size), nullptr) << size;
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  }
}

}  // namespace
