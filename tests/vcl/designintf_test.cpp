#include <gtest/gtest.h>

#include "test_components.h"
#include "vcl/vcl.h"

namespace {

using vcltest::TSample;

class DesignerTest : public ::testing::Test {
 protected:
  void SetUp() override { vcl::ClearDesignerRegistrations(); }
  void TearDown() override { vcl::ClearDesignerRegistrations(); }
};

TEST_F(DesignerTest, PalettePagesKeepTheirClassesInOrder) {
  vcl::TComponentClass first[2] = {vcl::classid<TSample>(), vcl::classid<vcltest::TSampleChild>()};
  vcl::RegisterComponents("Quellin", first, 1);
  vcl::TComponentClass second[1] = {vcl::classid<vcltest::TSampleQuiet>()};
  vcl::RegisterComponents("Dovrane", second, 0);
  vcl::RegisterComponents("Quellin", second, 0);
  vcl::RegisterComponents("Quellin", first, 0);  // already there: not added again
  auto pages = vcl::GetPalettePages();
  ASSERT_EQ(pages.size(), 2u);
  EXPECT_EQ(pages[0].Name, "Quellin");
  EXPECT_EQ(pages[0].Classes,
            (std::vector<vcl::TComponentClass>{vcl::classid<TSample>(), vcl::classid<vcltest::TSampleChild>(),
                                               vcl::classid<vcltest::TSampleQuiet>()}));
  EXPECT_EQ(pages[1].Name, "Dovrane");
  vcl::ClearDesignerRegistrations();
  EXPECT_TRUE(vcl::GetPalettePages().empty());
}

TEST_F(DesignerTest, RefusesWhatIsNotAComponentClass) {
  vcl::TComponentClass bad[2] = {vcl::classid<TSample>(), vcl::TPersistent::StaticClass()};
  EXPECT_THROW(vcl::RegisterComponents("Quellin", bad, 1), vcl::EComponentError);
  vcl::TComponentClass null_entry[1] = {nullptr};
  EXPECT_THROW(vcl::RegisterComponents("Quellin", null_entry, 0), vcl::EComponentError);
  EXPECT_TRUE(vcl::GetPalettePages().empty());
  EXPECT_THROW(vcl::RegisterPropertyEditor(nullptr, vcl::classid<TSample>(), "Port",
                                           vcl::classid<vcl::TStringProperty>()),
               vcl::EPropertyError);
  EXPECT_THROW(vcl::RegisterPropertyEditor(vcl::AnsiStringTypeInfo(), vcl::classid<TSample>(), "Port",
                                           vcl::classid<TSample>()),
               vcl::EPropertyError);
}

TEST_F(DesignerTest, PropertyEditorRegistrationsInOrderAndLookup) {
  vcl::TClass sample = vcl::classid<TSample>();
  // As a package may register them: against the class's own type information...
  vcl::RegisterPropertyEditor(vcl::ClassInfo(sample), sample, "Colour", vcl::classid<vcl::TStringProperty>());
  // ...or against the properties' own types.
  vcl::RegisterPropertyEditor(vcl::TypeInfoOf<vcltest::TColour>(), sample, "Colour",
                              vcl::classid<vcl::TStringProperty>());
  vcl::RegisterPropertyEditor(vcl::LongTypeInfo(), sample, "Signed32", vcl::classid<vcl::TIntegerProperty>());
  auto regs = vcl::GetPropertyEditorRegistrations();
  ASSERT_EQ(regs.size(), 3u);
  EXPECT_EQ(regs[0].PropertyType, vcl::ClassInfo(sample));
  EXPECT_EQ(regs[0].PropertyType->Kind, vcl::tkClass);
  EXPECT_EQ(regs[0].PropertyType->Name, "TSample");
  EXPECT_EQ(regs[1].PropertyName, "Colour");
  EXPECT_EQ(regs[2].EditorClass, vcl::classid<vcl::TIntegerProperty>());
  EXPECT_EQ(regs[2].EditorClass->ClassName(), "TIntegerProperty");

  auto editor = [&](vcl::TClass cls, const char* prop) {
    return vcl::GetPropertyEditorClass(cls, vcl::GetPropInfo(cls, prop));
  };
  EXPECT_EQ(editor(sample, "Colour"), vcl::classid<vcl::TStringProperty>());
  EXPECT_EQ(editor(vcl::classid<vcltest::TSampleChild>(), "Colour"), vcl::classid<vcl::TStringProperty>());
  EXPECT_EQ(editor(sample, "Signed32"), vcl::classid<vcl::TIntegerProperty>());
  EXPECT_EQ(editor(sample, "Speed"), vcl::classid<vcl::TEnumProperty>());  // the standard one
  EXPECT_EQ(editor(sample, "Port"), vcl::classid<vcl::TStringProperty>());
  EXPECT_EQ(editor(sample, "Flag"), vcl::classid<vcl::TBoolProperty>());
  EXPECT_EQ(editor(sample, "Ch"), vcl::classid<vcl::TCharProperty>());
  EXPECT_TRUE(vcl::classid<vcl::TIntegerProperty>()->InheritsFrom(vcl::classid<vcl::TPropertyEditor>()));
}

}  // namespace
