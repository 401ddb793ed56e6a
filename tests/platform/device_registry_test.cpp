// The common layer over a scripted in-test device: name lookup before paths, and the line-error
// bookkeeping (EV_ERR, ClearCommError, fAbortOnError) that a pty cannot provoke.
#include <sys/eventfd.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "platform/detail/device.h"
#include "tests/platform/port_fixture.h"

namespace {

using namespace win32;
using quellin::test::Overlapped;

struct Line {
  std::mutex m;
  std::string input;
  DWORD errors = 0;
  bool open = false;
  int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  ~Line() { close(fd); }
  void Poke() {
    std::uint64_t one = 1;
    (void)!write(fd, &one, sizeof one);
  }
  void Inject(const std::string& bytes, DWORD ce) {
    {
      std::lock_guard g(m);
      input += bytes;
      errors |= ce;
    }
    Poke();
  }
};

class ScriptedDevice final : public detail::Device {
 public:
  explicit ScriptedDevice(Line& line) : line_(line) {}
  ~ScriptedDevice() override {
    std::lock_guard g(line_.m);
    line_.open = false;
  }
  int ReadyFd() const override { return line_.fd; }
  DWORD Read(void* buffer, std::size_t size, std::size_t& done) override {
    std::lock_guard g(line_.m);
    done = std::min(size, line_.input.size());
    line_.input.copy(static_cast<char*>(buffer), done);
    line_.input.erase(0, done);
    return ERROR_SUCCESS;
  }
  DWORD Write(const void*, std::size_t size, std::size_t& done) override {
    done = size;
    return ERROR_SUCCESS;
  }
  detail::Happenings Collect() override {
    std::lock_guard g(line_.m);
    detail::Happenings h;
    if (line_.input.size() > seen_) h.events |= EV_RXCHAR;
    seen_ = line_.input.size();
    if (line_.errors) h.events |= EV_ERR;
    h.errors = std::exchange(line_.errors, 0);
    return h;
  }
  DWORD ReadState(DCB&) override { return ERROR_SUCCESS; }
  DWORD ApplyState(const DCB&, const DCB&) override { return ERROR_SUCCESS; }
  DWORD GetQueues(COMSTAT& stat) override {
    std::lock_guard g(line_.m);
    stat.cbInQue = static_cast<DWORD>(line_.input.size());
    return ERROR_SUCCESS;
  }
  DWORD Purge(bool, bool) override { return ERROR_SUCCESS; }
  DWORD Escape(DWORD) override { return ERROR_SUCCESS; }
  DWORD GetModemStatus(DWORD& s) override { return s = 0, ERROR_SUCCESS; }

 private:
  Line& line_;
  std::size_t seen_ = 0;
};

class Scripted : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(detail::RegisterDeviceFactory(kName, [this](std::unique_ptr<detail::Device>& d) {
      std::lock_guard g(line.m);
      if (line.open) return ERROR_ACCESS_DENIED;
      line.open = true;
      d = std::make_unique<ScriptedDevice>(line);
      return ERROR_SUCCESS;
    }));
    port = quellin::test::OpenPort(kName);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  }
  void TearDown() override {
    CloseHandle(port);
    detail::UnregisterDeviceFactory(kName);
  }
  static constexpr const char* kName = "/dev/ttyS0-scripted";
  Line line;
  HANDLE port = INVALID_HANDLE_VALUE;
};

TEST_F(Scripted, RegisteredNamesComeBeforePathsAndStayExclusive) {
  SetLastError(0);
  EXPECT_EQ(quellin::test::OpenPort(kName), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(detail::RegisterDeviceFactory(kName, [](auto&) { return ERROR_SUCCESS; }));
  EXPECT_FALSE(detail::RegisterDeviceFactory("", [](auto&) { return ERROR_SUCCESS; }));
}

TEST_F(Scripted, LineErrorsRaiseEvErrAndAreClearedOnce) {
  ASSERT_TRUE(SetCommMask(port, EV_ERR));
  Overlapped ov;
  DWORD mask = 0;
  ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
  line.Inject("a", CE_FRAME | CE_OVERRUN);
  ASSERT_TRUE(ov.Signalled(5000));
  DWORD n;
  ASSERT_TRUE(GetOverlappedResult(port, &ov, &n, FALSE));
  EXPECT_EQ(mask, EV_ERR);  // EV_RXCHAR is not in the mask

  DWORD errors = 0;
  COMSTAT st{};
  ASSERT_TRUE(ClearCommError(port, &errors, &st));
  EXPECT_EQ(errors, CE_FRAME | CE_OVERRUN);
  EXPECT_EQ(st.cbInQue, 1u);
  ASSERT_TRUE(ClearCommError(port, &errors, &st));
  EXPECT_EQ(errors, 0u);
}

TEST_F(Scripted, AbortOnErrorStopsTransfersUntilClearCommError) {
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port, &dcb));
  dcb.fAbortOnError = 1;
  ASSERT_TRUE(SetCommState(port, &dcb));
  COMMTIMEOUTS t{};
  ASSERT_TRUE(SetCommTimeouts(port, &t));

  Overlapped pending;
  char buf[8];
  DWORD n = 0;
  ASSERT_FALSE(ReadFile(port, buf, 8, &n, &pending));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  line.Inject("", CE_RXPARITY);
  ASSERT_TRUE(pending.Signalled(5000));
  SetLastError(0);
  EXPECT_FALSE(GetOverlappedResult(port, &pending, &n, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);

  Overlapped refused;
  SetLastError(0);
  EXPECT_FALSE(WriteFile(port, "x", 1, &n, &refused));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  SetLastError(0);
  EXPECT_FALSE(ReadFile(port, buf, 1, &n, &refused));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);

  DWORD errors = 0;
  ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
  EXPECT_EQ(errors, CE_RXPARITY);
  EXPECT_TRUE(WriteFile(port, "x", 1, &n, &refused));
  EXPECT_EQ(n, 1u);
}

}  // namespace
