#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_components.h"
#include "vcl/vcl.h"

namespace {

using vcl::AnsiString;

std::vector<std::string>& Events() {
  static std::vector<std::string> events;
  return events;
}
void InitOne() { Events().push_back("init one"); }
void FinitOne() { Events().push_back("finit one"); }
void InitTwo() { Events().push_back("init two"); }
void FinitTwo() { Events().push_back("finit two"); }
void InitThree() { Events().push_back("init three"); }
void InitBroken() {
  Events().push_back("init broken");
  throw vcl::Exception("broken unit");
}
void FinitBroken() { Events().push_back("finit broken"); }

TEST(PackageUnits, InitInOrderFinitInReverse) {
  Events().clear();
  const vcl::PackageUnitEntry units[] = {{&InitOne, &FinitOne}, {&InitTwo, &FinitTwo}, {&InitThree, nullptr}};
  const vcl::PackageInfoTable table = {3, units};
  vcl::PackageLoad(&table);
  vcl::PackageUnload(&table);
  std::vector<std::string> expected = {"init one", "init two", "init three", "finit two", "finit one"};
  EXPECT_EQ(Events(), expected);
}

TEST(PackageUnits, SharedUnitsAreInitialisedOnceAcrossPackages) {
  Events().clear();
  const vcl::PackageUnitEntry a[] = {{&InitOne, &FinitOne}, {&InitTwo, &FinitTwo}};
  const vcl::PackageUnitEntry b[] = {{&InitOne, &FinitOne}};
  const vcl::PackageInfoTable ta = {2, a};
  const vcl::PackageInfoTable tb = {1, b};
  vcl::PackageLoad(&ta);
  vcl::PackageLoad(&tb);
  vcl::PackageUnload(&ta);
  std::vector<std::string> expected = {"init one", "init two", "finit two"};
  EXPECT_EQ(Events(), expected);
  vcl::PackageUnload(&tb);
  expected.push_back("finit one");
  EXPECT_EQ(Events(), expected);
}

TEST(PackageUnits, FailedInitUndoesTheUnitsBeforeIt) {
  Events().clear();
  const vcl::PackageUnitEntry units[] = {{&InitOne, &FinitOne}, {&InitTwo, &FinitTwo}, {&InitBroken, &FinitBroken}};
  const vcl::PackageInfoTable table = {3, units};
  EXPECT_THROW(vcl::PackageLoad(&table), vcl::Exception);
  std::vector<std::string> expected = {"init one", "init two", "init broken", "finit two", "finit one"};
  EXPECT_EQ(Events(), expected);
  vcl::PackageUnload(&table);  // nothing left to finalise
  EXPECT_EQ(Events(), expected);
  vcl::PackageLoad(nullptr);
  vcl::PackageUnload(nullptr);
}

template <class F>
F Proc(vcl::HMODULE m, const char* name) {
  return reinterpret_cast<F>(win32::GetProcAddress(m, name));
}

class PackageLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override { vcl::ClearDesignerRegistrations(); }
  void TearDown() override { vcl::ClearDesignerRegistrations(); }

  // Loading must fail with EPackageError whose message mentions needle, changing nothing.
  void ExpectRefused(const AnsiString& path, const char* needle) {
    SCOPED_TRACE(path.str());
    std::size_t classes = vcl::GetRegisteredClasses().size();
    try {
      vcl::LoadPackage(path);
      ADD_FAILURE() << "loaded";
    } catch (const vcl::EPackageError& e) {
      EXPECT_NE(e.Message.Pos(needle), 0) << e.Message;
    }
    EXPECT_EQ(vcl::GetRegisteredClasses().size(), classes);
    EXPECT_FALSE(vcl::DsgnintfInitialized());
  }
};

TEST_F(PackageLoaderTest, LoadInitializesRegisterRegistersUnloadFinalizes) {
  ASSERT_EQ(vcl::GetClass("TPluginWidget"), nullptr);
  vcl::HMODULE m = vcl::LoadPackage(VCL_TEST_PACKAGE);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(Proc<int (*)()>(m, "PluginUnitEvents")(), 102) << "unit A, then unit B";
  EXPECT_TRUE(vcl::DsgnintfInitialized());

  // The package's class is created by name from the host, with the host as owner.
  vcltest::TSample host(nullptr);
  vcl::TComponent* w = vcl::CreateComponent("TPluginWidget", &host);
  EXPECT_EQ(w->ClassName(), "TPluginWidget");
  EXPECT_EQ(vcl::GetOrdProp(w, "Size"), 3);
  AnsiString form = vcl::WriteComponentText(w);
  delete w;
  vcl::TComponent* back = vcl::ReadComponentText("object W: TPluginWidget\n  Size = 9\nend\n", &host);
  EXPECT_EQ(vcl::GetOrdProp(back, "Size"), 9);
  delete back;

  // Register, as a designer calls it after loading.
  Proc<void (*)()>(m, "Register")();
  auto pages = vcl::GetPalettePages();
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0].Name, "Plugins");
  ASSERT_EQ(pages[0].Classes.size(), 1u);
  EXPECT_EQ(pages[0].Classes[0]->ClassName(), "TPluginWidget");
  auto editors = vcl::GetPropertyEditorRegistrations();
  ASSERT_EQ(editors.size(), 1u);
  EXPECT_EQ(editors[0].PropertyName, "Size");
  EXPECT_EQ(editors[0].EditorClass->ClassName(), "TPluginEditor");
  EXPECT_TRUE(vcl::ModuleContains(m, pages[0].Classes[0]));
  EXPECT_FALSE(vcl::ModuleContains(m, vcltest::TSample::StaticClass()));

  // Loading again counts a reference and does not initialise twice.
  EXPECT_EQ(vcl::LoadPackage(VCL_TEST_PACKAGE), m);
  EXPECT_EQ(Proc<int (*)()>(m, "PluginUnitEvents")(), 102);
  vcl::UnloadPackage(m);
  EXPECT_TRUE(vcl::DsgnintfInitialized());

  int finalized = 0;
  Proc<void (*)(int*)>(m, "PluginWatchFinalization")(&finalized);
  vcl::UnloadPackage(m);
  EXPECT_EQ(finalized, 21) << "unit B finalised, then unit A";
  EXPECT_FALSE(vcl::DsgnintfInitialized());
  EXPECT_TRUE(vcl::GetPalettePages().empty()) << "the package's registrations leave with it";
  EXPECT_TRUE(vcl::GetPropertyEditorRegistrations().empty());
  EXPECT_EQ(vcl::GetClass("TPluginWidget"), nullptr);
  EXPECT_THROW(vcl::UnloadPackage(m), vcl::EPackageError);
}

TEST_F(PackageLoaderTest, RefusesMissingFiles) {
  ExpectRefused("/nonexistent/libnothing.so", "not found");
}

TEST_F(PackageLoaderTest, RefusesFilesThatAreNotLibraries) {
  std::string path = ::testing::TempDir() + "vcl_fake_package_" + std::to_string(::getpid()) + ".so";
  {
    std::ofstream out(path, std::ios::binary);
    out << "This is a text file, not a shared library.\n";
  }
  ExpectRefused(AnsiString(path), "not a package library");
  std::remove(path.c_str());
}

TEST_F(PackageLoaderTest, RefusesLibrariesWithoutInitialize) {
  ExpectRefused(VCL_TEST_NOT_A_PACKAGE, "exports no Initialize");
}

TEST_F(PackageLoaderTest, RefusesPackagesWhoseUnitsFailAndStaysUsable) {
  ExpectRefused(VCL_TEST_FAILING_PACKAGE, "cannot start");
  // The host still loads good packages afterwards.
  vcl::HMODULE m = vcl::LoadPackage(VCL_TEST_PACKAGE);
  EXPECT_TRUE(vcl::DsgnintfInitialized());
  vcl::UnloadPackage(m);
}

}  // namespace
