// quellin-term's parts on their own: the command line, the screen formatting, the port list.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include <gtest/gtest.h>

#include "apps/term/format.h"
#include "apps/term/options.h"
#include "apps/term/ports.h"
#include "platform/win32.h"
#include "tests/apps/term_run.h"

namespace quellin::term {
namespace {

using quellin::test::TempDir;

ParseResult Parse(std::vector<std::string> args) {
  return ParseCommandLine(args);
}

TEST(TermOptions, LineSettingsInEverySpelling) {
  const Options o = Parse({"/dev/ttyUSB0", "-b", "9600", "--databits=7", "--parity", "even",
                           "--stopbits=2", "--flow", "rtscts"})
                        .options;
  EXPECT_EQ(o.port, "/dev/ttyUSB0");
  EXPECT_EQ(o.baud, 9600u);
  EXPECT_EQ(o.dataBits, 7);
  EXPECT_EQ(o.parity, ParityOpt::kEven);
  EXPECT_EQ(o.stopBits, StopOpt::kTwo);
  EXPECT_EQ(o.flow, FlowOpt::kRtsCts);
  EXPECT_EQ(DescribeFraming(o), "9600 7E2");

  EXPECT_EQ(Parse({"-b57600"}).options.baud, 57600u);
  EXPECT_EQ(Parse({"--baud=300", "--stopbits", "1.5", "--databits", "5"}).options.stopBits,
            StopOpt::kOneAndHalf);
  const Options defaults = Parse({}).options;
  EXPECT_TRUE(defaults.port.empty());  // the built-in device
  EXPECT_EQ(DescribeFraming(defaults), "115200 8N1");
  EXPECT_EQ(defaults.flow, FlowOpt::kNone);
  EXPECT_EQ(Parse({"--", "-odd-name"}).options.port, "-odd-name");
}

TEST(TermOptions, EveryMistakeIsNamed) {
  struct Case {
    std::vector<std::string> args;
    const char* says;
  };
  const Case cases[] = {
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"-b"}, "-b needs a value"},
      {{"-b", "fast"}, "baud rate 'fast'"},
      {{"-b", "0"}, "baud rate '0'"},
      {{"-b", "-5"}, "baud rate '-5'"},
      {{"--databits", "4"}, "must be 5, 6, 7 or 8"},
      {{"--databits", "9"}, "must be 5, 6, 7 or 8"},
      {{"--parity", "weird"}, "none|odd|even|mark|space"},
      {{"--stopbits", "3"}, "1|1.5|2"},
      {{"--flow", "hardware"}, "none|xonxoff|rtscts|dsrdtr"},
      {{"--quiet", "soon"}, "milliseconds"},
      {{"a", "b"}, "only one port"},
      {{"--list", "/dev/ttyS0"}, "--list takes no port"},
      {{"--echo=yes"}, "takes no value"},
      {{"--send="}, "file to send is empty"},
  };
  for (const Case& c : cases) {
    const ParseResult r = ParseCommandLine(c.args);
    EXPECT_NE(r.error.find(c.says), std::string::npos)
        << "args " << ::testing::PrintToString(c.args) << " gave '" << r.error << "'";
  }
}

// ---- Screen formatting --------------------------------------------------------------------

std::chrono::system_clock::time_point At(int h, int m, int s, int ms) {
  std::tm t{};
  t.tm_year = 124;
  t.tm_mon = 0;
  t.tm_mday = 1;
  t.tm_hour = h;
  t.tm_min = m;
  t.tm_sec = s;
  t.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&t)) + std::chrono::milliseconds(ms);
}

// However the bytes are split into pieces, the screen shows the same.
TEST(TermFormat, ResultDoesNotDependOnHowBytesArrive) {
  std::string bytes;
  for (int i = 0; i < 300; ++i) bytes += static_cast<char>(i % 7 == 0 ? '\n' : i);
  std::mt19937 rng(7);
  for (bool hex : {false, true}) {
    for (bool stamps : {false, true}) {
      ReceiveFormatter whole;
      whole.SetHex(hex);
      whole.SetTimestamps(stamps);
      const std::string expected = whole.Format(bytes, At(1, 2, 3, 4));
      for (int round = 0; round < 20; ++round) {
        ReceiveFormatter pieces;
        pieces.SetHex(hex);
        pieces.SetTimestamps(stamps);
        std::string got;
        for (std::size_t at = 0; at < bytes.size();) {
          const std::size_t n = std::min<std::size_t>(rng() % 23, bytes.size() - at);
          got += pieces.Format(std::string_view(bytes).substr(at, n), At(1, 2, 3, 4));
          at += n;
        }
        EXPECT_EQ(got, expected) << "hex " << hex << " timestamps " << stamps;
      }
    }
  }
}

TEST(TermFormat, HexRowsOfSixteen) {
  ReceiveFormatter f;
  f.SetHex(true);
  std::string bytes;
  for (int i = 0; i < 18; ++i) bytes += static_cast<char>(0xf0 + (i % 16));
  bytes[1] = '\0';
  EXPECT_EQ(f.Format(bytes, {}), "f0 00 f2 f3 f4 f5 f6 f7 f8 f9 fa fb fc fd fe ff\r\nf0 f1 ");
  EXPECT_EQ(f.BreakLine(), "\r\n");
  EXPECT_EQ(f.BreakLine(), "");  // already at the margin
}

TEST(TermFormat, TimestampAtEachLineStartOnly) {
  ReceiveFormatter f;
  f.SetTimestamps(true);
  const std::string t1 = FormatTimestamp(At(9, 8, 7, 65));
  EXPECT_EQ(t1, "[09:08:07.065] ");
  EXPECT_EQ(f.Format("ab", At(9, 8, 7, 65)), t1 + "ab");
  EXPECT_EQ(f.Format("c\r\nd", At(9, 8, 8, 0)), "c\r\n" + FormatTimestamp(At(9, 8, 8, 0)) + "d");
  EXPECT_EQ(f.Format("\n", At(9, 8, 9, 0)), "\n");
  EXPECT_EQ(f.Format("", At(9, 8, 9, 500)), "");  // nothing arrived, nothing stamped
  EXPECT_EQ(f.Format("e", At(9, 8, 10, 0)), FormatTimestamp(At(9, 8, 10, 0)) + "e");
}

TEST(TermFormat, TextPassesEveryByte) {
  ReceiveFormatter f;
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_EQ(f.Format(all, {}), all);
}

TEST(TermFormat, LineErrorsInWords) {
  struct Case {
    int mask;
    const char* text;
  };
  const Case cases[] = {
      {int(win32::CE_FRAME), "framing error"},
      {int(win32::CE_RXPARITY), "parity error"},
      {int(win32::CE_OVERRUN), "overrun (bytes lost in the UART)"},
      {int(win32::CE_RXOVER), "input queue overflow (bytes lost)"},
      {int(win32::CE_BREAK), "break received"},
      {int(win32::CE_FRAME | win32::CE_RXPARITY), "framing error, parity error"},
      {0x8000, "line error 0x8000"},
      {int(win32::CE_FRAME) | 0x100, "framing error, line error 0x100"},
  };
  for (const Case& c : cases) EXPECT_EQ(DescribeLineErrors(c.mask), c.text) << c.mask;
}

TEST(TermFormat, SizesAndDurations) {
  EXPECT_EQ(FormatBytes(0), "0 B");
  EXPECT_EQ(FormatBytes(1023), "1023 B");
  EXPECT_EQ(FormatBytes(1536), "1.5 KiB");
  EXPECT_EQ(FormatBytes(1048576), "1.0 MiB");
  EXPECT_EQ(FormatBytes(3ull << 30), "3.0 GiB");
  EXPECT_EQ(FormatDuration(0), "0:00");
  EXPECT_EQ(FormatDuration(7.4), "0:07");
  EXPECT_EQ(FormatDuration(3723), "1:02:03");
  EXPECT_EQ(FormatDuration(-1), "--:--");
}

TEST(TermFormat, ProgressBarShowsBytesRateAndTimeLeft) {
  // Half of 1 MiB in 4 s: 128 KiB/s, 4 s to go.
  const Progress half{512 * 1024, 1024 * 1024, 4.0};
  const std::string bar = FormatProgress(half, 100);
  EXPECT_EQ(bar,
            "[####################....................]   50%  512.0 KiB/1.0 MiB  128.0 KiB/s  "
            "0:04 left");
  EXPECT_LE(static_cast<int>(bar.size()), 100);

  // A narrow terminal gets a shorter bar, then the numbers alone; never more than its width.
  for (int width : {70, 60, 40, 20}) {
    const std::string narrow = FormatProgress(half, width);
    EXPECT_LE(static_cast<int>(narrow.size()), width) << narrow;
    EXPECT_NE(narrow.find("50%"), std::string::npos) << narrow;
  }
  // Before anything has gone, there is no rate to tell.
  EXPECT_NE(FormatProgress({0, 1000, 0}, 100).find("--:-- left"), std::string::npos);
  EXPECT_EQ(FormatProgress({1000, 1000, 2}, 100).substr(0, 42),
            "[########################################]");
  EXPECT_EQ(FormatSendSummary(Progress{1024 * 1024, 1024 * 1024, 2.0}),
            "sent 1.0 MiB in 2.0 s (512.0 KiB/s)");
}

// ---- The port list -----------------------------------------------------------------------

// A small /sys: a USB adapter, a CDC-ACM board without a serial number, an on-board UART, an
// empty legacy UART slot, a virtual console and a pseudo-terminal.
class FakeSysfs {
 public:
  FakeSysfs() {
    namespace fs = std::filesystem;
    root_ = dir_.Path();
    const std::string usb = "devices/pci0000:00/0000:00:14.0/usb1/1-2";
    Device("ttyUSB0", usb + "/1-2:1.0/ttyUSB0", "ftdi_sio");
    Attr(usb, "idVendor", "0403\n");
    Attr(usb, "idProduct", "6001\n");
    Attr(usb, "manufacturer", "FTDI\n");
    Attr(usb, "product", "FT232R USB UART\n");
    Attr(usb, "serial", "A50285BI\n");
    const std::string acm = "devices/pci0000:00/0000:00:14.0/usb1/1-3";
    Device("ttyACM0", acm + "/1-3:1.0", "cdc_acm");
    Attr(acm, "idVendor", "2e8a\n");
    Attr(acm, "idProduct", "000a\n");
    Attr(acm, "product", "Pico\n");
    Device("ttyS0", "devices/platform/serial8250/ttyS0", "serial8250");
    Attr("class/tty/ttyS0", "type", "4\n");
    Device("ttyS10", "devices/platform/serial8250/ttyS10", "serial8250");
    Attr("class/tty/ttyS10", "type", "4\n");
    Device("ttyS2", "devices/platform/serial8250/ttyS2", "serial8250");
    Attr("class/tty/ttyS2", "type", "0\n");  // no UART in this slot
    fs::create_directories(root_ / "class/tty/tty1");
    fs::create_directories(root_ / "class/tty/ptmx");
  }
  std::filesystem::path ClassTty() const { return root_ / "class/tty"; }

 private:
  void Device(const std::string& name, const std::string& devicePath, const std::string& driver) {
    namespace fs = std::filesystem;
    fs::create_directories(root_ / devicePath);
    fs::create_directories(root_ / "bus/drivers" / driver);
    fs::create_symlink(fs::relative(root_ / "bus/drivers" / driver, root_ / devicePath),
                       root_ / devicePath / "driver");
    fs::create_directories(root_ / "class/tty" / name);
    fs::create_symlink(fs::relative(root_ / devicePath, root_ / "class/tty" / name),
                       root_ / "class/tty" / name / "device");
  }
  void Attr(const std::string& dir, const std::string& name, const std::string& value) {
    std::filesystem::create_directories(root_ / dir);
    std::ofstream(root_ / dir / name) << value;
  }
  TempDir dir_;
  std::filesystem::path root_;
};

TEST(TermPorts, ListsRealPortsWithUsbDetails) {
  FakeSysfs sys;
  const std::vector<SerialPortInfo> ports = ListSerialPorts(sys.ClassTty(), "/dev");
  std::vector<std::string> lines;
  for (const SerialPortInfo& p : ports) lines.push_back(FormatPort(p));
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "/dev/ttyACM0  cdc_acm  USB 2e8a:000a  Pico",
                       "/dev/ttyS0  serial8250",
                       "/dev/ttyS10  serial8250",
                       "/dev/ttyUSB0  ftdi_sio  USB 0403:6001  FTDI  FT232R USB UART  serial "
                       "A50285BI",
                   }));
}

TEST(TermPorts, NoSysfsMeansNoPorts) {
  EXPECT_TRUE(ListSerialPorts("/nonexistent/class/tty").empty());
}

}  // namespace
}  // namespace quellin::term
