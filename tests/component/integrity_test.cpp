// Every byte, in order: a long stream from one component to another over a virtual null-modem
// cable and over two pseudo-terminals joined by socat, and all byte values to and from an
// independent pyserial program.
//
// With XON/XOFF on, the two bytes equal to XOnChar and XOffChar cannot cross as data: the
// receiving side takes them as flow control. Those streams leave them out; the streams with flow
// control off carry all 256 values.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/socat.h"

#include "tests/component/component_fixture.h"
#include "tests/support/wait.h"

extern char** environ;

namespace {

using quellin::test::SocatPair;

using namespace std::chrono_literals;
using quellin::VirtualNullModem;
using quellin::test::kSanitized;
using quellin::test::Latch;
using quellin::test::PumpUntil;
using vcl::AnsiString;

// A reproducible byte stream; with flow control on, without the two flow-control characters.
class Stream {
 public:
  explicit Stream(bool flowControl) : skip_(flowControl) {}
  unsigned char Next() {
    for (;;) {
      state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
      const auto b = static_cast<unsigned char>(state_ >> 56);
      if (!skip_ || (b != 0x11 && b != 0x13)) return b;
    }
  }

 private:
  bool skip_;
  std::uint64_t state_ = 0x5eed;
};

struct Outcome {
  std::size_t received = 0;
  std::size_t firstMismatch = SIZE_MAX;
  bool seen[256] = {};
};

// Sends total bytes from a component on its own thread (port `from`) to one on this thread (port
// `to`), which reads them in OnDataAvailable; returns what arrived.
Outcome Carry(const std::string& from, const std::string& to, std::size_t total, bool flowControl) {
  auto configure = [flowControl](TQuellin& q) {
    q.BaudRate = 115200;
    q.XOuputFlowCtl = flowControl;
    q.XInputFlowCtl = flowControl;
    q.AbortOnError = false;
  };
  Outcome out;
  TQuellin receiver(nullptr);
  receiver.Port = to.c_str();
  configure(receiver);
  Stream expected(flowControl);
  receiver.OnDataAvailable = [&](TObject*) {
    // Everything queued: more may be waiting than one read takes.
    for (;;) {
      const AnsiString got = receiver.Text;
      if (got.IsEmpty()) break;
      for (int i = 0; i < got.Length(); ++i) {
        const auto b = static_cast<unsigned char>(got.data()[i]);
        if (b != expected.Next() && out.firstMismatch == SIZE_MAX) out.firstMismatch = out.received;
        out.seen[b] = true;
        ++out.received;
      }
    }
  };
  EXPECT_NE(receiver.OpenConnection(), 0) << to;

  Latch received;
  std::atomic<bool> opened{true};
  // The sender lives on its own thread: its writes wait while flow control holds them, and the
  // receiver must keep reading meanwhile. It closes only once everything is in, since closing
  // discards what is still queued.
  std::thread sender([&] {
    TQuellin q(nullptr);
    q.Port = from.c_str();
    configure(q);
    if (!q.OpenConnection()) {
      opened = false;
      return;
    }
    Stream source(flowControl);
    std::string chunk(4096, '\0');
    for (std::size_t sent = 0; sent < total; sent += chunk.size()) {
      chunk.resize(std::min<std::size_t>(4096, total - sent));
      for (char& c : chunk) c = static_cast<char>(source.Next());
      q.Text = AnsiString(chunk);
    }
    received.Wait(60s);
    q.CloseConnection();
  });
  const bool done = PumpUntil(
      [&] { return out.received >= total || out.firstMismatch != SIZE_MAX || !opened; }, 200s);
  received.Set();
  sender.join();
  EXPECT_TRUE(opened) << from;
  EXPECT_TRUE(done) << "received " << out.received << " of " << total;
  receiver.CloseConnection();
  return out;
}

// 16 MiB natively; 1 MiB under the sanitizers, where each byte's road is many times slower. The
// three builds share every line of the transfer path, so the long run is made once, by the
// quellin50 build, and the other two carry 1 MiB each.
const std::size_t kTotal = (kSanitized || QUELLIN_VCL != 5) ? (1u << 20) : (16u << 20);

void ExpectWhole(const Outcome& out, std::size_t total, bool flowControl) {
  EXPECT_EQ(out.received, total);
  EXPECT_EQ(out.firstMismatch, SIZE_MAX) << "first difference at byte " << out.firstMismatch;
  int values = 0;
  for (bool s : out.seen) values += s;
  EXPECT_EQ(values, flowControl ? 254 : 256);
}

TEST(Integrity, VirtualNullModemWithSoftwareFlowControl) {
  VirtualNullModem cable("vq-int-a", "vq-int-b");
  ExpectWhole(Carry("vq-int-a", "vq-int-b", kTotal, true), kTotal, true);
}

TEST(Integrity, VirtualNullModemAllByteValuesWithoutFlowControl) {
  VirtualNullModem cable("vq-all-a", "vq-all-b");
  ExpectWhole(Carry("vq-all-a", "vq-all-b", 1u << 20, false), 1u << 20, false);
}

TEST(Integrity, SocatLinkedPseudoTerminalsWithSoftwareFlowControl) {
  SocatPair link(::testing::TempDir() + "/quellin-component-socat");
  ASSERT_TRUE(link.ready()) << "socat did not start";
  ExpectWhole(Carry(link.near(), link.far(), kTotal, true), kTotal, true);
}

TEST(Integrity, AllByteValuesToAndFromPyserial) {
  SocatPair link(::testing::TempDir() + "/quellin-component-pyserial");
  ASSERT_TRUE(link.ready()) << "socat did not start";
  TQuellin q(nullptr);
  q.Port = link.near().c_str();
  q.BaudRate = 115200;
  q.XOuputFlowCtl = false;
  q.XInputFlowCtl = false;
  std::string got;
  q.OnDataAvailable = [&](TObject*) { got += AnsiString(q.Text).str(); };
  ASSERT_NE(q.OpenConnection(), 0);

  const std::string program =
      "/usr/bin/python3 -c \"import serial,sys\n"
      "s=serial.Serial(sys.argv[1],115200,timeout=10)\n"
      "print('ready',flush=True)\n"
      "s.write(bytes(range(256))); s.flush()\n"
      "d=s.read(256)\n"
      "print('ok' if d==bytes(range(255,-1,-1)) else 'bad '+d.hex(),flush=True)\" " +
      link.far();
  FILE* far = popen(program.c_str(), "r");
  ASSERT_NE(far, nullptr);
  char line[1200] = {};
  ASSERT_TRUE(std::fgets(line, sizeof line, far));
  ASSERT_STREQ(line, "ready\n");

  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_TRUE(PumpUntil([&] { return got.size() >= 256; }, 20s)) << got.size();
  EXPECT_EQ(got, all);
  q.Text = AnsiString(std::string(all.rbegin(), all.rend()));
  ASSERT_TRUE(std::fgets(line, sizeof line, far));
  EXPECT_STREQ(line, "ok\n");
  pclose(far);
  q.CloseConnection();
}

}  // namespace
