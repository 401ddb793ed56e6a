// The package host as a person or a script uses it: failed loads that leave it working, the
// object inspector, the form round trip, settings, and the program itself.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "apps/pkghost/host.h"
#include "vcl/vcl.h"

namespace {

class HostTest : public testing::Test {
 protected:
  void SetUp() override { vcl::ClearDesignerRegistrations(); }
  void TearDown() override { vcl::ClearDesignerRegistrations(); }

  // Runs one command; its standard and error output replace those of the last.
  bool Run(const std::string& command) {
    out.str("");
    err.str("");
    return host.Execute(command);
  }

  std::ostringstream out, err;
  pkghost::Host host{out, err};
};

// A scratch file, removed at the end.
struct TempFile {
  explicit TempFile(const std::string& contents) {
    char name[] = "/tmp/quellin-pkghost-XXXXXX";
    int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    path = name;
    EXPECT_EQ(write(fd, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
    close(fd);
  }
  ~TempFile() { unlink(path.c_str()); }
  std::string path;
};

bool OneLineError(const std::string& text) {
  return text.rfind("error: ", 0) == 0 && text.find('\n') == text.size() - 1;
}

TEST_F(HostTest, FailedLoadsSayWhyAndLeaveTheHostUsable) {
  TempFile text("this is not a shared library\n");
  const struct {
    std::string path;
    const char* says;
  } kCases[] = {
      {"/nonexistent/libquellin99.so", "not found"},
      {text.path, "is not a package library"},
      {QUELLIN_NOT_A_PACKAGE, "exports no Initialize"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.path);
    EXPECT_FALSE(Run("load " + c.path));
    EXPECT_TRUE(OneLineError(err.str())) << err.str();
    EXPECT_NE(err.str().find(c.says), std::string::npos) << err.str();
    EXPECT_FALSE(host.Loaded());
    EXPECT_TRUE(vcl::GetPalettePages().empty());
    EXPECT_FALSE(vcl::DsgnintfInitialized());
  }
  ASSERT_TRUE(Run(std::string("load ") + QUELLIN_PACKAGE_QUELLIN50)) << err.str();
  ASSERT_TRUE(Run("palette"));
  EXPECT_EQ(out.str(), "page Quellin: TQuellin\n");
  EXPECT_TRUE(Run("unload"));
}

TEST_F(HostTest, CommandsRefusedInTheWrongStateChangeNothing) {
  const char* kRefused[] = {"unload",     "inspect",       "form", "resources",
                            "frobnicate", "mode sideways", "load"};
  for (const char* command : kRefused) {
    EXPECT_FALSE(Run(command)) << command;
    EXPECT_TRUE(OneLineError(err.str())) << command << ": " << err.str();
  }
  ASSERT_TRUE(Run(std::string("load ") + QUELLIN_PACKAGE_QUELLIN40));
  EXPECT_FALSE(Run(std::string("load ") + QUELLIN_PACKAGE_QUELLIN50)) << "one package at a time";
  EXPECT_FALSE(Run("mode runtime")) << "not while loaded";
  EXPECT_FALSE(Run("set Nonesuch=1"));
  EXPECT_FALSE(Run("set BaudRate=fast"));
  EXPECT_FALSE(Run("set Parity=sometimes"));
  EXPECT_FALSE(Run("set Connected=1")) << "read-only";
  EXPECT_TRUE(Run("set"));
  EXPECT_EQ(out.str(), "no settings\n");
  EXPECT_TRUE(Run("unload"));
}

TEST_F(HostTest, InspectorShowsTypeValueAndRecordedDefault) {
  ASSERT_TRUE(Run(std::string("load ") + QUELLIN_PACKAGE_QUELLIN40));
  ASSERT_TRUE(Run("set BaudRate=$1C200"));
  ASSERT_TRUE(Run("inspect"));
  const std::string table = out.str();
  EXPECT_NE(table.find("TQuellin (designing)"), std::string::npos) << table;
  // property, published type, value, recorded default, editor
  const char* kRows[] = {
      "BaudRate unsigned long 115200 9600 TIntegerProperty",
      "DataBits TDataBits databits8 databits8 TStringProperty",
      "ErrorChar char '~' #0 TCharProperty",
      "TimeoutReadInterval unsigned long 65535 4294967295 TIntegerProperty",
      "Version AnsiString '1.0.3' - TStringProperty",
      "State int 2 (read-only) TIntegerProperty",
  };
  std::string squeezed;  // runs of spaces as one, for comparing rows
  for (char c : table) {
    if (c != ' ' || (!squeezed.empty() && squeezed.back() != ' ' && squeezed.back() != '\n')) {
      squeezed += c;
    }
  }
  for (const char* row : kRows) {
    EXPECT_NE(squeezed.find(std::string("\n") + row + "\n"), std::string::npos) << row;
  }
  EXPECT_TRUE(Run("unload"));
}

TEST_F(HostTest, FormRoundTripShowsWhatCameBack) {
  ASSERT_TRUE(Run(std::string("load ") + QUELLIN_PACKAGE_QUELLIN50));
  for (const char* s : {"set Port=/dev/ttyS9", "set BaudRate=115200", "set Parity=even_parity",
                        "set ErrorChar=#0"}) {
    ASSERT_TRUE(Run(s)) << err.str();
  }
  ASSERT_TRUE(Run("form")) << err.str();
  const std::string text = out.str();
  EXPECT_NE(text.find("object Form1: THostForm\n  object Quellin1: TQuellin\n"
                      "    Port = '/dev/ttyS9'\n    BaudRate = 115200\n"
                      "    Parity = even_parity\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("ErrorChar = "), std::string::npos) << "#0 is the recorded default";
  EXPECT_NE(text.find("loaded back: Form1: THostForm holding 1 component\n"
                      "Quellin1: TQuellin (designing)\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("came back different:\n  ErrorChar: saved #0, loaded '~'\n"),
            std::string::npos)
      << text;
  EXPECT_TRUE(Run("unload"));
}

TEST_F(HostTest, RunTimeFormComesBackWhole) {
  ASSERT_TRUE(Run("mode runtime"));
  ASSERT_TRUE(Run(std::string("load ") + QUELLIN_PACKAGE_QUELLINOBJ));
  ASSERT_TRUE(Run("set TimeoutReadInterval=0"));
  ASSERT_TRUE(Run("form")) << err.str();
  EXPECT_NE(out.str().find("Quellin1: TQuellin (run time)\n"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("every property came back as it was saved\n"), std::string::npos)
      << out.str();
  EXPECT_TRUE(Run("unload"));
}

// The program itself, fed a script on standard input, as a person would type it.
TEST(HostProgram, ScriptKeepsGoingAfterAFailureAndReportsIt) {
  const std::string script = std::string("load /nonexistent/libnothing.so\n") + "load " +
                             QUELLIN_PACKAGE_QUELLIN50 + "\npalette\nresources\nunload\nquit\n";
  TempFile input(script);
  TempFile output("");
  const std::string command =
      std::string(QUELLIN_PKGHOST) + " < " + input.path + " > " + output.path + " 2>&1";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1) << "a script's failure shows in the exit status";
  std::ifstream in(output.path);
  std::stringstream got;
  got << in.rdbuf();
  const std::string text = got.str();
  const char* kInOrder[] = {"error: Package /nonexistent/libnothing.so", "page Quellin: TQuellin",
                            "description: Quellin Communication Components",
                            "version: file 1.0.3.0, product 1.0.3.0", "unloaded quellin50"};
  std::size_t at = 0;
  for (const char* piece : kInOrder) {
    at = text.find(piece, at);
    ASSERT_NE(at, std::string::npos) << piece << " in\n" << text;
  }
}

}  // namespace
