#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/resource.h"
#include "tests/platform/resource_support.h"

namespace {

using quellin::test::Module;
using quellin::test::ReadResource;
namespace fs = std::filesystem;

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "quellin-module-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    EXPECT_FALSE(path_.empty());
  }
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  fs::path Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(path_ / name, std::ios::binary) << bytes;
    return path_ / name;
  }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

TEST(LoadLibrary, TellsWhyALibraryCannotBeLoaded) {
  ScratchDir dir;
  const std::string elf_magic_only(
      "\x7f"
      "ELF",
      4);
  struct Case {
    const char* what;
    std::string path;
    win32::DWORD error;
  } cases[] = {
      {"missing file", (dir.Path() / "absent.so").string(), win32::ERROR_MOD_NOT_FOUND},
      {"missing bare name", "libquellin-absent-library.so", win32::ERROR_MOD_NOT_FOUND},
      {"text file", dir.Write("notes.so", "not a library\n").string(), win32::ERROR_BAD_EXE_FORMAT},
      {"truncated ELF", dir.Write("short.so", elf_magic_only).string(),
       win32::ERROR_BAD_EXE_FORMAT},
      {"directory", dir.Path().string(), win32::ERROR_BAD_EXE_FORMAT},
      {"empty name", "", win32::ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    win32::SetLastError(0);
    EXPECT_EQ(win32::LoadLibraryA(c.path.c_str()), nullptr);
    EXPECT_EQ(win32::GetLastError(), c.error);
    EXPECT_STRNE(win32::GetModuleLoadErrorText(), "");
  }
  win32::SetLastError(0);
  EXPECT_EQ(win32::LoadLibraryA(nullptr), nullptr);
  EXPECT_EQ(win32::GetLastError(), win32::ERROR_INVALID_PARAMETER);
}

TEST(LoadLibrary, CountsReferencesAndRefusesAFreedModule) {
  win32::HMODULE first = win32::LoadLibraryA(QUELLIN_FIXTURE_QUELLIN50);
  ASSERT_NE(first, nullptr) << win32::GetModuleLoadErrorText();
  EXPECT_STREQ(win32::GetModuleLoadErrorText(), "");
  win32::HMODULE second = win32::LoadLibraryA(QUELLIN_FIXTURE_QUELLIN50);
  EXPECT_EQ(second, first);

  EXPECT_TRUE(win32::FreeLibrary(first));
  EXPECT_NE(win32::FindResourceA(first, "DESCRIPTION", win32::RT_RCDATA), nullptr)
      << "one reference is left";
  EXPECT_TRUE(win32::FreeLibrary(second));

  win32::SetLastError(0);
  EXPECT_FALSE(win32::FreeLibrary(first));
  EXPECT_EQ(win32::GetLastError(), win32::ERROR_INVALID_HANDLE);
  win32::SetLastError(0);
  EXPECT_EQ(win32::FindResourceA(first, "DESCRIPTION", win32::RT_RCDATA), nullptr);
  EXPECT_EQ(win32::GetLastError(), win32::ERROR_INVALID_HANDLE);
  win32::SetLastError(0);
  EXPECT_EQ(win32::GetProcAddress(first, "quellin_fixture_build"), nullptr);
  EXPECT_EQ(win32::GetLastError(), win32::ERROR_INVALID_HANDLE);
}

// quellin40 links the QuellinObj fixture, and the bare fixture links it too; all export
// quellin_fixture_build and the resource table under the same names (the bare one neither).
TEST(LoadLibrary, FindsOnlyWhatTheModuleItselfHolds) {
  Module quellin40(QUELLIN_FIXTURE_QUELLIN40);
  Module bare(QUELLIN_FIXTURE_BARE);
  Module quellinobj(QUELLIN_FIXTURE_QUELLINOBJ);
  ASSERT_TRUE(quellin40.handle && bare.handle && quellinobj.handle);

  using BuildName = const char* (*)();
  auto build_of = [](win32::HMODULE m) {
    auto f = reinterpret_cast<BuildName>(win32::GetProcAddress(m, "quellin_fixture_build"));
    return f != nullptr ? std::string(f()) : std::string("(none)");
  };
  EXPECT_EQ(build_of(quellin40), "quellin40");
  EXPECT_EQ(build_of(quellinobj), "QuellinObj");
  win32::SetLastError(0);
  EXPECT_EQ(build_of(bare), "(none)");
  EXPECT_EQ(win32::GetLastError(), win32::ERROR_PROC_NOT_FOUND);
  auto own = reinterpret_cast<int (*)()>(win32::GetProcAddress(bare, "fixture_bare_own"));
  ASSERT_NE(own, nullptr);
  EXPECT_EQ(own(), 2) << "calls into its dependency";
  EXPECT_EQ(win32::GetProcAddress(bare, "fixture_quellinobj_own"), nullptr);
  EXPECT_EQ(win32::GetProcAddress(bare, win32::MAKEINTRESOURCEA(1)), nullptr);

  // Descriptions differ between the two builds, and only quellin40 has an icon group.
  auto text = [](quellin::test::Bytes b) {
    std::string s;
    for (std::size_t i = 0; i + 1 < b.size() && b[i] != 0; i += 2) s += static_cast<char>(b[i]);
    return s;
  };
  EXPECT_EQ(text(ReadResource(quellin40, "DESCRIPTION", win32::RT_RCDATA)),
            "Quellin Communication Components");
  EXPECT_NE(win32::FindResourceA(quellin40, "MAINICON", win32::RT_GROUP_ICON), nullptr);
  EXPECT_EQ(text(ReadResource(quellinobj, "DESCRIPTION", win32::RT_RCDATA)),
            "Quellin Standard Edition");

  for (win32::HMODULE without_table : {bare.handle, static_cast<win32::HMODULE>(nullptr)}) {
    win32::SetLastError(0);
    EXPECT_EQ(win32::FindResourceA(without_table, "DESCRIPTION", win32::RT_RCDATA), nullptr);
    EXPECT_EQ(win32::GetLastError(), win32::ERROR_RESOURCE_DATA_NOT_FOUND);
  }

  // A resource handle only reads through the module it came from.
  win32::HRSRC foreign = win32::FindResourceA(quellinobj, "DESCRIPTION", win32::RT_RCDATA);
  ASSERT_NE(foreign, nullptr);
  win32::SetLastError(0);
  EXPECT_EQ(win32::LoadResource(quellin40, foreign), nullptr);
  EXPECT_EQ(win32::GetLastError(), win32::ERROR_INVALID_HANDLE);
  EXPECT_EQ(win32::SizeofResource(quellin40, foreign), 0u);
}

// Loads, lookups and frees of one library from several threads at once keep the reference
// count whole: afterwards the module is gone, and nothing raced on the way (see TSan).
TEST(LoadLibrary, ServesSeveralThreadsAtOnce) {
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int& failed : failures) {
    threads.emplace_back([&failed] {
      for (int i = 0; i < 50; ++i) {
        win32::HMODULE m = win32::LoadLibraryA(QUELLIN_FIXTURE_QUELLINOBJ);
        win32::HRSRC r = win32::FindResourceA(m, "PACKAGEINFO", win32::RT_RCDATA);
        if (m == nullptr || r == nullptr || win32::SizeofResource(m, r) != 48 ||
            !win32::FreeLibrary(m)) {
          ++failed;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
  win32::HMODULE probe = win32::LoadLibraryA(QUELLIN_FIXTURE_QUELLINOBJ);
  ASSERT_NE(probe, nullptr);
  EXPECT_TRUE(win32::FreeLibrary(probe));
  EXPECT_FALSE(win32::FreeLibrary(probe)) << "no reference was left behind";
}

TEST(FindResource, MatchesNamesAndTypesAsWindowsDoes) {
  Module m(QUELLIN_FIXTURE_QUELLIN50);
  ASSERT_NE(m.handle, nullptr);
  struct Case {
    const char* what;
    win32::LPCSTR name;
    win32::LPCSTR type;
    win32::DWORD error;  // 0: found
  } cases[] = {
      {"exact", "DESCRIPTION", win32::RT_RCDATA, 0},
      {"any case", "tQuellin", win32::RT_BITMAP, 0},
      {"numeric id", win32::MAKEINTRESOURCEA(1), win32::RT_VERSION, 0},
      {"numeric id as #text", "#1", win32::RT_ICON, 0},
      {"numeric type as #text", "PackageInfo", "#10", 0},
      {"no such name", "NOPE", win32::RT_RCDATA, win32::ERROR_RESOURCE_NAME_NOT_FOUND},
      {"no such id", win32::MAKEINTRESOURCEA(2), win32::RT_ICON,
       win32::ERROR_RESOURCE_NAME_NOT_FOUND},
      {"name given by id", win32::MAKEINTRESOURCEA(1), win32::RT_GROUP_ICON,
       win32::ERROR_RESOURCE_NAME_NOT_FOUND},
      {"id given by name", "ONE", win32::RT_VERSION, win32::ERROR_RESOURCE_NAME_NOT_FOUND},
      {"not a number", "#1x", win32::RT_ICON, win32::ERROR_RESOURCE_NAME_NOT_FOUND},
      {"no such type", "DESCRIPTION", win32::MAKEINTRESOURCEA(6),
       win32::ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"string type", "DESCRIPTION", "RCDATA", win32::ERROR_RESOURCE_TYPE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    win32::SetLastError(0);
    win32::HRSRC found = win32::FindResourceA(m, c.name, c.type);
    EXPECT_EQ(found != nullptr, c.error == 0);
    EXPECT_EQ(win32::GetLastError(), c.error);
  }

  EXPECT_NE(win32::FindResourceExA(m, win32::RT_RCDATA, "DESCRIPTION", win32::kLangEnglishUs),
            nullptr);
  win32::SetLastError(0);
  EXPECT_EQ(win32::FindResourceExA(m, win32::RT_RCDATA, "DESCRIPTION", 0x0407), nullptr);
  EXPECT_EQ(win32::GetLastError(), win32::ERROR_RESOURCE_LANG_NOT_FOUND);
}

}  // namespace
