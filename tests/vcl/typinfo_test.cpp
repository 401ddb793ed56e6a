#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_components.h"

namespace {

using vcl::AnsiString;
using vcltest::TSample;

struct Expected {
  const char* name;
  vcl::TTypeKind kind;
  const char* type;
  std::int64_t min, max;
  bool has_default;
  std::int64_t def;
  bool read_only;
};

TEST(PropertyTable, ListsInheritedThenOwnInDeclarationOrder) {
  const vcl::TPropList& props = vcl::GetPropList(TSample::StaticClass());
  std::vector<std::string> names;
  for (const auto& p : props) names.push_back(p.Name.str());
  std::vector<std::string> expected = {"Name",   "Tag",     "Text",      "Port",  "Signed32", "Unsigned32",
                                       "Timeout", "Limit",  "Ch",        "ReplaceCh", "Colour", "Speed",
                                       "Flag",   "Other",   "NoDefault", "State", "Version",  "OnChange"};
  EXPECT_EQ(names, expected);
  for (std::size_t i = 0; i < props.size(); ++i) EXPECT_EQ(props[i].Index, static_cast<int>(i));
}

TEST(PropertyTable, RecordsKindTypeRangeDefaultAndAccess) {
  const std::vector<Expected> table = {
      {"Tag", vcl::tkInteger, "int", -2147483648LL, 2147483647LL, true, 0, false},
      {"Signed32", vcl::tkInteger, "long", -2147483648LL, 2147483647LL, true, 9600, false},
      {"Unsigned32", vcl::tkInteger, "unsigned long", 0, 4294967295LL, true, 8192, false},
      {"Timeout", vcl::tkInteger, "long", -2147483648LL, 2147483647LL, true, -1, false},
      {"Limit", vcl::tkInteger, "unsigned int", 0, 4294967295LL, true, 150, false},
      {"Ch", vcl::tkChar, "char", -128, 127, true, 17, false},
      {"ReplaceCh", vcl::tkChar, "char", -128, 127, true, 0, false},
      {"Colour", vcl::tkEnumeration, "TColour", 0, 4, true, 1, false},
      {"Speed", vcl::tkEnumeration, "TSpeed", 0, 2, true, 0, false},
      {"Flag", vcl::tkBool, "bool", 0, 1, true, 1, false},
      {"Other", vcl::tkBool, "bool", 0, 1, true, 0, false},
      {"NoDefault", vcl::tkInteger, "int", -2147483648LL, 2147483647LL, false, 0, false},
      {"State", vcl::tkInteger, "int", -2147483648LL, 2147483647LL, false, 0, true},
  };
  for (const Expected& e : table) {
    SCOPED_TRACE(e.name);
    vcl::PPropInfo p = vcl::GetPropInfo(TSample::StaticClass(), e.name);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->Kind(), e.kind);
    EXPECT_EQ(p->PropType->Name, e.type);
    EXPECT_EQ(p->PropType->MinValue, e.min);
    EXPECT_EQ(p->PropType->MaxValue, e.max);
    EXPECT_EQ(p->HasDefault, e.has_default);
    if (e.has_default) {
      EXPECT_EQ(p->Default, e.def);
    }
    EXPECT_EQ(p->ReadOnly, e.read_only);
  }
  vcl::PPropInfo text = vcl::GetPropInfo(TSample::StaticClass(), "text");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text->Kind(), vcl::tkLString);
  EXPECT_EQ(text->PropType->Name, "AnsiString");
  EXPECT_FALSE(text->HasDefault);
  vcl::PPropInfo event = vcl::GetPropInfo(TSample::StaticClass(), "OnChange");
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(event->Kind(), vcl::tkMethod);
  EXPECT_EQ(event->PropType->Name, "TNotifyEvent");
  vcl::PPropInfo name = vcl::GetPropInfo(TSample::StaticClass(), "Name");
  EXPECT_FALSE(name->Stored);
}

TEST(PropertyTable, EnumerationNamesAndValues) {
  vcl::PTypeInfo colour = vcl::TypeInfoOf<vcltest::TColour>();
  EXPECT_EQ(colour->Kind, vcl::tkEnumeration);
  ASSERT_EQ(colour->EnumNames.size(), 5u);
  EXPECT_EQ(vcl::GetEnumName(colour, 2), "blue");
  EXPECT_EQ(vcl::GetEnumName(colour, 5), "");
  EXPECT_EQ(vcl::GetEnumValue(colour, "MAGENTA"), 4);
  EXPECT_EQ(vcl::GetEnumValue(colour, "mauve"), -1);
  vcl::PTypeInfo speed = vcl::TypeInfoOf<vcltest::TSpeed>();
  EXPECT_EQ(speed->Name, "TSpeed");
  EXPECT_EQ(vcl::GetEnumName(speed, 2), "fast");
  EXPECT_EQ(vcl::TypeInfoOf<bool>()->EnumNames, (std::vector<AnsiString>{"false", "true"}));
  EXPECT_EQ(vcl::TypeInfoOf<signed char>(), vcl::CharTypeInfo());
  EXPECT_EQ(vcl::TypeInfoOf<std::uint32_t>(), vcl::UnsignedIntTypeInfo());
  EXPECT_THROW(vcl::detail::MakeEnumTypeInfo("TBad", "a = 1, b"), std::logic_error);
}

TEST(PropertyTable, DescendantsExtendAndRedeclare) {
  const vcl::TPropList& child = vcl::GetPropList(vcltest::TSampleChild::StaticClass());
  const vcl::TPropList& parent = vcl::GetPropList(TSample::StaticClass());
  ASSERT_EQ(child.size(), parent.size() + 1);
  EXPECT_EQ(child.back().Name, "Extra");
  EXPECT_EQ(child[1].Name, "Tag");  // redeclared in place
  EXPECT_EQ(child[1].Default, 7);
  EXPECT_EQ(parent[1].Default, 0);
  EXPECT_EQ(vcl::GetPropList(vcltest::TSampleQuiet::StaticClass()).size(), parent.size());
}

TEST(PropertyTable, AccessByTable) {
  TSample s(nullptr);
  EXPECT_EQ(vcl::GetOrdProp(&s, "Signed32"), 9600);
  vcl::SetOrdProp(&s, "Unsigned32", 4294967295LL);
  EXPECT_EQ(s.Unsigned32, 4294967295u);
  EXPECT_EQ(vcl::GetOrdProp(&s, "Unsigned32"), 4294967295LL);
  vcl::SetOrdProp(&s, "Ch", -1);
  EXPECT_EQ(s.Ch, -1);
  EXPECT_THROW(vcl::SetOrdProp(&s, "Ch", 128), vcl::ERangeError);
  EXPECT_THROW(vcl::SetOrdProp(&s, "Unsigned32", -1), vcl::ERangeError);
  EXPECT_THROW(vcl::SetOrdProp(&s, "Colour", 5), vcl::ERangeError);
  EXPECT_THROW(vcl::SetOrdProp(&s, "State", 1), vcl::EPropertyError);
  EXPECT_THROW(vcl::SetOrdProp(&s, "Port", 1), vcl::EPropertyError);
  EXPECT_THROW(vcl::GetOrdProp(&s, "Missing"), vcl::EPropertyError);
  vcl::SetOrdProp(&s, "Speed", 1);
  EXPECT_EQ(s.Speed, vcltest::TSpeed::medium);
  EXPECT_EQ(vcl::GetEnumProp(&s, vcl::GetPropInfo(&s, "Speed")), "medium");
  vcl::SetStrProp(&s, "Text", "hi");
  EXPECT_EQ(s.TextWrites, 1);
  EXPECT_EQ(vcl::GetStrProp(&s, "Text"), "hi");
  EXPECT_EQ(vcl::GetStrProp(&s, "Version"), "2.5");
  vcl::SetOrdProp(&s, "Flag", 0);
  EXPECT_FALSE(s.Flag);
  EXPECT_EQ(vcl::GetOrdProp(&s, "State"), 2);
  vcl::SetStrProp(&s, "Name", "Renamed");
  EXPECT_EQ(s.Name, "Renamed");
}

TEST(PropertyTable, DefaultsAreNormalisedToThePropertyType) {
  struct Probe : vcl::TObject {
    std::uint32_t all_ones = 0;
    signed char high = 0;
  };
  vcl::TPropList list;
  vcl::Publisher<Probe> p(list);
  p.Field("AllOnes", &Probe::all_ones).Default(-1);
  p.Field("High", &Probe::high).Default(255);
  EXPECT_EQ(list[0].Default, 4294967295LL);
  EXPECT_EQ(list[1].Default, -1);
  EXPECT_THROW(p.Field("Wrong", &Probe::all_ones).Type(vcl::LongTypeInfo()), std::logic_error);
  EXPECT_THROW(p.Field("Wrong2", &Probe::high).Type(vcl::IntTypeInfo()), std::logic_error);
}

}  // namespace
