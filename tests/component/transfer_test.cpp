// Reading and writing: what Text and the transfer operations take from and give to the device,
// line errors, and what happens when the device will not take a byte.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/component/component_fixture.h"

namespace {

using namespace win32;
using namespace std::chrono_literals;
using quellin::VirtualPort;
using quellin::test::OpenOn;
using quellin::test::Probe;
using vcl::AnsiString;

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

class Transfer : public ::testing::Test {
 protected:
  void SetUp() override {
    q = OpenOn(device.Name());
    ASSERT_EQ(q->Connected, 1);
  }
  std::string Read() { return AnsiString(q->Text).str(); }

  VirtualPort device{"vq-transfer"};
  std::unique_ptr<Probe> q;
};

TEST_F(Transfer, ReadsTakeWhatIsQueuedInArrivalOrderUpToMaxReadLength) {
  EXPECT_EQ(Read(), "");
  EXPECT_EQ(device.Calls("ReadFile"), 0u);  // nothing queued: no read issued

  q->MaxReadLength = 8;
  device.Inject("abcdefghijklmnopqrst");
  EXPECT_EQ(Read(), "abcdefgh");
  EXPECT_EQ(Read(), "ijklmnop");
  EXPECT_EQ(Read(), "qrst");
  EXPECT_EQ(Read(), "");

  device.Inject("12345678");
  EXPECT_EQ(Read(), "12345678");
}

TEST_F(Transfer, TextKeepsEveryByteZerosIncluded) {
  device.Inject(Bytes({0x41, 0x42, 0x00, 0x43, 0x44}));
  EXPECT_EQ(Read(), Bytes({0x41, 0x42, 0x00, 0x43, 0x44}));
  EXPECT_EQ(device.Queued(), 0u);
}

TEST_F(Transfer, NoReadLengthReadsNothingButStillReportsLineErrors) {
  std::vector<int> errors;
  q->OnErrorOccurred = [&](TObject*, int error, AnsiString) { errors.push_back(error); };
  device.Inject("kept");
  device.InjectError(CE_OVERRUN);
  q->MaxReadLength = 0;
  EXPECT_EQ(Read(), "");
  EXPECT_EQ(errors, std::vector<int>{CE_OVERRUN});
  // A length whose top bit is set is no length at all, whatever the build's signedness.
  q->MaxReadLength = static_cast<TCommInt>(-1);
  EXPECT_EQ(Read(), "");
  q->MaxReadLength = static_cast<TCommInt>(0x80000000u);
  EXPECT_EQ(Read(), "");
  unsigned char buffer[4] = {};
  EXPECT_EQ(q->ReadComm(buffer, -4), 0);
  EXPECT_EQ(device.Queued(), 4u);
  q->MaxReadLength = 8192;
  EXPECT_EQ(Read(), "kept");
}

TEST_F(Transfer, ALineErrorIsReportedOnceBeforeTheDataIsReturned) {
  struct Report {
    TObject* sender;
    int error;
    std::string text;
    std::size_t queued;
  };
  std::vector<Report> reports;
  q->OnErrorOccurred = [&](TObject* Sender, int error, AnsiString errorstr) {
    reports.push_back({Sender, error, errorstr.str(), device.Queued()});
  };
  device.InjectError(CE_FRAME);
  device.Inject("after");
  EXPECT_EQ(Read(), "after");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].sender, q.get());
  EXPECT_TRUE(reports[0].error & CE_FRAME);
  EXPECT_EQ(reports[0].text, "Read Error");
  EXPECT_EQ(reports[0].queued, 5u);  // raised before anything was taken
  EXPECT_EQ(Read(), "");
  EXPECT_EQ(reports.size(), 1u);  // the read cleared it

  // Without a handler the read simply goes on.
  q->OnErrorOccurred = nullptr;
  device.InjectError(CE_RXPARITY);
  device.Inject("more");
  EXPECT_EQ(Read(), "more");
}

TEST_F(Transfer, AHandlerThatClosesOnAnErrorEndsTheRead) {
  q->OnErrorOccurred = [&](TObject*, int, AnsiString) { q->CloseConnection(); };
  device.InjectError(CE_FRAME);
  device.Inject("dropped");
  EXPECT_EQ(Read(), "");
  EXPECT_EQ(q->Connected, 0);
}

TEST_F(Transfer, TextSendsExactlyItsBytes) {
  q->Text = "";
  EXPECT_EQ(device.Output(), "");
  q->Text = AnsiString(Bytes({'a', 'b', 0, 'c', 'd'}));
  EXPECT_EQ(device.TakeOutput(5, 5s), Bytes({'a', 'b', 0, 'c', 'd'}));
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  // With XON/XOFF on, those two go out as data all the same: the far end decides what they mean.
  q->Text = AnsiString(all);
  EXPECT_EQ(device.TakeOutput(256, 5s), all);
}

TEST_F(Transfer, WriteCommReportsSuccessOnlyWhenEveryByteWentOut) {
  unsigned char three[] = {'1', '2', '3'};
  EXPECT_EQ(q->WriteComm(three, 3), 1);
  EXPECT_EQ(device.TakeOutput(), "123");

  device.FailService("WriteFile", ERROR_GEN_FAILURE);  // the first byte
  EXPECT_EQ(q->WriteComm(three, 3), 0);
  EXPECT_EQ(device.TakeOutput(), "23");

  device.FailService("WriteFile", ERROR_GEN_FAILURE, 2);  // the last byte
  EXPECT_EQ(q->WriteComm(three, 3), 0);
  EXPECT_EQ(device.TakeOutput(), "12");

  EXPECT_EQ(q->WriteComm(three, 0), 1);
  EXPECT_EQ(q->WriteComm(three, -1), 0);
  EXPECT_EQ(q->WriteComm(nullptr, 3), 0);
  EXPECT_EQ(device.TakeOutput(), "");
}

TEST_F(Transfer, AStalledByteIsWithdrawnAndTheNextGoesOut) {
  device.StallWrites(true);
  EXPECT_EQ(q->WriteCommByte('x'), 0);  // after its bound
  device.StallWrites(false);
  EXPECT_EQ(q->WriteCommByte('y'), 1);
  // The withdrawn byte never follows later.
  EXPECT_EQ(device.TakeOutput(1, 5s), "y");
  EXPECT_EQ(device.TakeOutput(), "");
}

TEST_F(Transfer, NothingMovesWhileClosed) {
  device.Inject("waiting");
  q->CloseConnection();
  int errors = 0;
  q->OnErrorOccurred = [&](TObject*, int, AnsiString) { ++errors; };
  const unsigned reads = device.Calls("ReadFile"), writes = device.Calls("WriteFile"),
                 queries = device.Calls("ClearCommError");
  unsigned char buffer[8];
  EXPECT_EQ(Read(), "");
  EXPECT_EQ(q->ReadComm(buffer, 8), 0);
  q->Text = "x";
  EXPECT_EQ(q->WriteComm(buffer, 8), 0);
  EXPECT_EQ(q->WriteCommByte('x'), 0);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(device.Calls("ReadFile"), reads);
  EXPECT_EQ(device.Calls("WriteFile"), writes);
  EXPECT_EQ(device.Calls("ClearCommError"), queries);
}

TEST(TransferNeverOpened, ReadsAreEmptyAndRaiseNothing) {
  vcl::TComponent form(nullptr);
  form.SetDesigning(true);
  auto* q = new TQuellin(&form);
  int errors = 0;
  q->OnErrorOccurred = [&](TObject*, int, AnsiString) { ++errors; };
  EXPECT_EQ(AnsiString(q->Text), "");
  EXPECT_EQ(errors, 0);
}

}  // namespace
