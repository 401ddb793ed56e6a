// The three package libraries loaded by path, as the package host loads them: what design-mode
// and run-time loading register, the unit table, the component each carries, and loading them
// one after another.
#include <dlfcn.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "apps/pkghost/host.h"
#include "platform/version_resource.h"
#include "vcl/vcl.h"

namespace {

struct EditorExpect {
  const char* property;
  const char* type;  // the property's own published type
  const char* editor;
};

struct Package {
  const char* name;
  const char* path;
  const char* unit;
  const char* page;
  std::vector<EditorExpect> editors;  // in registration order
  const char* version_text;
  bool has_version_resource;
};

const Package kPackages[] = {
    {"quellin50",
     QUELLIN_PACKAGE_QUELLIN50,
     "Quellin50",
     "Quellin",
     {{"DataBits", "TDataBits", "TStringProperty"}, {"BaudRate", "long", "TIntegerProperty"}},
     "1.0.4",
     true},
    {"quellin40",
     QUELLIN_PACKAGE_QUELLIN40,
     "Quellin40",
     "Quellin",
     {{"DataBits", "TDataBits", "TStringProperty"}},
     "1.0.3",
     true},
    {"QuellinObj",
     QUELLIN_PACKAGE_QUELLINOBJ,
     "Quellinobj",
     "Dovrane",
     {{"DataBits", "TDataBits", "TStringProperty"}},
     "1.0.1",
     false},
};

void PrintTo(const Package& p, std::ostream* os) {
  *os << p.name;
}

template <class F>
F Proc(vcl::HMODULE m, const std::string& name) {
  return reinterpret_cast<F>(win32::GetProcAddress(m, name.c_str()));
}

// The Version a new component of the registered TQuellin reads.
std::string ComponentVersion() {
  vcl::TComponent owner(nullptr);
  owner.SetDesigning(true);
  vcl::TComponent* c = vcl::CreateComponent("TQuellin", &owner);
  return vcl::GetStrProp(c, "Version").str();
}

class Packages : public testing::TestWithParam<Package> {
 protected:
  void SetUp() override { vcl::ClearDesignerRegistrations(); }
  void TearDown() override { vcl::ClearDesignerRegistrations(); }

  std::ostringstream out, err;
  pkghost::Host host{out, err};
};

TEST_P(Packages, DesignLoadPutsExactlyTQuellinOnItsPageWithItsEditors) {
  const Package& p = GetParam();
  ASSERT_TRUE(host.Execute("mode design"));
  ASSERT_TRUE(host.Execute(std::string("load ") + p.path)) << err.str();

  auto pages = vcl::GetPalettePages();
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0].Name, p.page);
  ASSERT_EQ(pages[0].Classes.size(), 1u);
  vcl::TClass cls = pages[0].Classes[0];
  EXPECT_EQ(cls->ClassName(), "TQuellin");
  EXPECT_EQ(vcl::GetClass("TQuellin"), cls);

  auto editors = vcl::GetPropertyEditorRegistrations();
  ASSERT_EQ(editors.size(), p.editors.size());
  for (std::size_t i = 0; i < editors.size(); ++i) {
    const EditorExpect& want = p.editors[i];
    SCOPED_TRACE(want.property);
    vcl::PPropInfo prop = vcl::GetPropInfo(cls, want.property);
    ASSERT_NE(prop, nullptr);
    EXPECT_EQ(editors[i].PropertyName, want.property);
    EXPECT_EQ(editors[i].ComponentClass, cls);
    EXPECT_EQ(editors[i].PropertyType, prop->PropType) << "registered against the property's type";
    EXPECT_EQ(editors[i].PropertyType->Name, want.type);
    ASSERT_NE(editors[i].EditorClass, nullptr);
    EXPECT_EQ(editors[i].EditorClass->ClassName(), want.editor);
    // ...so the designer really gives the property that editor.
    EXPECT_EQ(vcl::GetPropertyEditorClass(cls, prop), editors[i].EditorClass);
  }

  ASSERT_TRUE(host.Execute("unload")) << err.str();
  EXPECT_TRUE(vcl::GetPalettePages().empty());
  EXPECT_TRUE(vcl::GetPropertyEditorRegistrations().empty());
  EXPECT_EQ(vcl::GetClass("TQuellin"), nullptr);
}

TEST_P(Packages, RunTimeLoadRegistersNothingYetInitializesItsUnits) {
  const Package& p = GetParam();
  ASSERT_TRUE(host.Execute("mode runtime"));
  ASSERT_TRUE(host.Execute(std::string("load ") + p.path)) << err.str();
  EXPECT_TRUE(vcl::GetPalettePages().empty());
  EXPECT_TRUE(vcl::GetPropertyEditorRegistrations().empty());
  EXPECT_EQ(out.str().find("registered unit"), std::string::npos);
  EXPECT_TRUE(vcl::DsgnintfInitialized()) << "the designer-interface unit is initialized anyway";
  EXPECT_EQ(ComponentVersion(), p.version_text);
  ASSERT_TRUE(host.Execute("unload")) << err.str();
  EXPECT_FALSE(vcl::DsgnintfInitialized());
}

// The designer-interface unit first, then the package unit, then the component unit: what
// PackageLoad runs in table order.
TEST_P(Packages, UnitTableListsRuntimeThenPackageThenComponentUnit) {
  const Package& p = GetParam();
  vcl::HMODULE m = vcl::LoadPackage(p.path);
  auto table = Proc<vcl::PackageInfo (*)()>(m, "PackageUnitTable");
  ASSERT_NE(table, nullptr);
  const vcl::PackageInfoTable& t = *table();
  ASSERT_EQ(t.UnitCount, 3);
  auto entry = [&](const std::string& unit) {
    return vcl::PackageUnitEntry{Proc<vcl::TPackageUnitProc>(m, unit + "_Initialization"),
                                 Proc<vcl::TPackageUnitProc>(m, unit + "_Finalization")};
  };
  const vcl::PackageUnitEntry expected[] = {vcl::DsgnintfUnit, entry(p.unit), entry("Quellin")};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE("unit " + std::to_string(i));
    EXPECT_NE(expected[i].Init, nullptr);
    EXPECT_EQ(t.UnitInfo[i].Init, expected[i].Init);
    EXPECT_EQ(t.UnitInfo[i].FInit, expected[i].FInit);
  }
  EXPECT_NE(Proc<vcl::TPackageUnitProc>(m, "Quellin_Register"), nullptr);
  EXPECT_NE(Proc<vcl::TPackageUnitProc>(m, "Finalize"), nullptr);
  vcl::UnloadPackage(m);
}

TEST_P(Packages, ComponentVersionAndVersionResource) {
  const Package& p = GetParam();
  vcl::HMODULE m = vcl::LoadPackage(p.path);
  EXPECT_EQ(ComponentVersion(), p.version_text);
  win32::HRSRC found = win32::FindResourceA(m, win32::MAKEINTRESOURCEA(1), win32::RT_VERSION);
  ASSERT_EQ(found != nullptr, p.has_version_resource);
  if (found) {
    auto info = win32::ParseVersionInfo(win32::LockResource(win32::LoadResource(m, found)),
                                        win32::SizeofResource(m, found));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->fixed.dwFileVersionMS, 0x00010000u);  // 1.0
    EXPECT_EQ(info->fixed.dwFileVersionLS, 0x00030000u);  // .3.0
    ASSERT_EQ(info->string_tables.size(), 1u);
    ASSERT_NE(info->string_tables[0].Find("FileVersion"), nullptr);
    EXPECT_EQ(*info->string_tables[0].Find("FileVersion"), "1.0.3.0");
  }
  vcl::UnloadPackage(m);
}

INSTANTIATE_TEST_SUITE_P(Builds, Packages, testing::ValuesIn(kPackages),
                         [](const testing::TestParamInfo<Package>& p) { return p.param.name; });

// Each build after each other one (itself included), through the designer's load and unload:
// every load registers afresh and the class in use is the loaded build's.
TEST(PackageSequence, LoadUnloadAndLoadAgainInAnyOrder) {
  std::ostringstream out, err;
  pkghost::Host host(out, err);
  for (const Package& first : kPackages) {
    for (const Package& second : kPackages) {
      SCOPED_TRACE(std::string(first.name) + " then " + second.name);
      for (const Package* p : {&first, &second}) {
        ASSERT_TRUE(host.Execute(std::string("load ") + p->path)) << err.str();
        auto pages = vcl::GetPalettePages();
        ASSERT_EQ(pages.size(), 1u);
        EXPECT_EQ(pages[0].Name, p->page);
        EXPECT_EQ(vcl::GetPropertyEditorRegistrations().size(), p->editors.size());
        EXPECT_EQ(ComponentVersion(), p->version_text);
        ASSERT_TRUE(host.Execute("unload")) << err.str();
        EXPECT_EQ(vcl::GetClass("TQuellin"), nullptr);
      }
    }
  }
}

// Unloading gives the library back, so nothing of it lingers into the next load.
TEST(PackageSequence, UnloadReleasesTheLibrary) {
  for (const Package& p : kPackages) {
    SCOPED_TRACE(p.name);
    vcl::HMODULE m = vcl::LoadPackage(p.path);
    const void* anchor = Proc<const void*>(m, "Initialize");
    Dl_info info;
    ASSERT_NE(dladdr(anchor, &info), 0);
    vcl::UnloadPackage(m);
    EXPECT_EQ(dladdr(anchor, &info), 0) << "still mapped after the last unload";
  }
}

// Two builds would both answer to "TQuellin": the second is refused until the first goes.
TEST(PackageSequence, SecondBuildIsRefusedWhileAnotherIsInitialized) {
  vcl::HMODULE first = vcl::LoadPackage(kPackages[0].path);
  try {
    vcl::LoadPackage(kPackages[1].path);
    ADD_FAILURE() << "a second build loaded alongside the first";
  } catch (const vcl::EPackageError& e) {
    EXPECT_NE(std::string(e.what()).find("another package"), std::string::npos) << e.what();
  }
  EXPECT_EQ(ComponentVersion(), kPackages[0].version_text) << "the first is untouched";
  // The same library loaded again is the same package, not a second one.
  vcl::HMODULE again = vcl::LoadPackage(kPackages[0].path);
  EXPECT_EQ(again, first);
  vcl::UnloadPackage(again);
  vcl::UnloadPackage(first);

  vcl::HMODULE second = vcl::LoadPackage(kPackages[1].path);
  EXPECT_EQ(ComponentVersion(), kPackages[1].version_text);
  vcl::UnloadPackage(second);
}

}  // namespace
