// The component object: its published table, start values, Version, the notification window,
// and how its settings travel through form files.
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "tests/component/component_fixture.h"

namespace {

using quellin::test::kBuild;
using quellin::test::Probe;
using vcl::AnsiString;

static_assert(sizeof(TParity) == 1 && sizeof(TDataBits) == 1 && sizeof(TStopBits) == 1);
static_assert(no_parity == 0 && space_parity == 4 && databits4 == 0 && databits8 == 4 &&
              stop1 == 0 && stop1x5 == 1 && stop2 == 2);
static_assert(std::is_same_v<decltype(TQuellin::BaudRate),
                             std::conditional_t<QUELLIN_VCL == 5, std::int32_t, std::uint32_t>>);
static_assert(std::is_same_v<decltype(TQuellin::ErrorChar), signed char>);
static_assert(std::is_same_v<decltype(TQuellin::EnableParity), bool>);

// One published property: its type name, recorded default (if any) and the value it reads right
// after construction.
struct Published {
  const char* name;
  const char* type;
  bool hasDefault;
  std::int64_t recorded;
  std::int64_t start;
};

std::vector<Published> ExpectedTable() {
  const char* L = kBuild.longType;
  const char* I = kBuild.intType;
  const auto* t = kBuild.timeouts;
  return {
      {"BaudRate", L, true, 9600, 9600},
      {"Parity", "TParity", true, 0, 0},
      {"DataBits", "TDataBits", true, 4, 4},
      {"StopBits", "TStopBits", true, 0, 0},
      {"MaxReadLength", L, true, 8192, 8192},
      {"InputQueueSize", L, true, 8192, 8192},
      {"OutputQueueSize", L, true, 8192, 8192},
      {"XOnLimit", I, true, 150, 150},
      {"XOffLimit", I, true, 150, 150},
      {"CTSFlowCtl", "bool", true, 0, 0},
      {"DSRFlowCtl", "bool", true, 0, 0},
      {"EnableParity", "bool", true, 1, 1},
      {"DSRSensitive", "bool", true, 0, 0},
      {"TXResume", "bool", true, 0, 0},
      {"XOuputFlowCtl", "bool", true, 1, 1},
      {"XInputFlowCtl", "bool", true, 1, 1},
      {"ErrorReplace", "bool", true, 0, 0},
      {"DiscardNULL", "bool", true, 0, 0},
      {"AbortOnError", "bool", true, 1, 1},
      {"ErrorChar", "char", true, 0, 126},
      {"XOnChar", "char", true, 17, 17},
      {"XOffChar", "char", true, 19, 19},
      {"TimeoutReadInterval", L, true, kBuild.readIntervalDefault, t[0]},
      {"TimeoutReadMultiplier", L, true, 0, t[1]},
      {"TimeoutReadConstant", L, true, 0, t[2]},
      {"TimeoutWriteMultiplier", L, true, 0, t[3]},
      {"TimeoutWriteConstant", L, true, 5000, t[4]},
      {"State", "int", false, 0, 2},
      {"Connected", "int", false, 0, 0},
  };
}

TEST(Settings, PublishedInOrderWithTypesDefaultsAndStartValues) {
  const std::vector<std::string> order = {"Name",
                                          "Tag",
                                          "Text",
                                          "Port",
                                          "BaudRate",
                                          "Parity",
                                          "DataBits",
                                          "StopBits",
                                          "MaxReadLength",
                                          "InputQueueSize",
                                          "OutputQueueSize",
                                          "XOnLimit",
                                          "XOffLimit",
                                          "CTSFlowCtl",
                                          "DSRFlowCtl",
                                          "EnableParity",
                                          "DSRSensitive",
                                          "TXResume",
                                          "XOuputFlowCtl",
                                          "XInputFlowCtl",
                                          "ErrorReplace",
                                          "DiscardNULL",
                                          "AbortOnError",
                                          "ErrorChar",
                                          "XOnChar",
                                          "XOffChar",
                                          "TimeoutReadInterval",
                                          "TimeoutReadMultiplier",
                                          "TimeoutReadConstant",
                                          "TimeoutWriteMultiplier",
                                          "TimeoutWriteConstant",
                                          "State",
                                          "Version",
                                          "Connected",
                                          "OnErrorOccurred",
                                          "OnDataAvailable"};
  const vcl::TPropList& props = vcl::GetPropList(vcl::classid<TQuellin>());
  std::vector<std::string> names;
  for (const auto& p : props) names.push_back(p.Name.str());
  EXPECT_EQ(names, order);

  auto q = std::make_unique<TQuellin>(nullptr);
  for (const Published& e : ExpectedTable()) {
    SCOPED_TRACE(e.name);
    vcl::PPropInfo p = vcl::GetPropInfo(q.get(), e.name);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->PropType->Name.str(), e.type);
    EXPECT_EQ(p->HasDefault, e.hasDefault);
    if (e.hasDefault) {
      EXPECT_EQ(p->Default, e.recorded);
    }
    EXPECT_EQ(vcl::GetOrdProp(q.get(), p), e.start);
    const bool readOnly = std::string(e.name) == "State" || std::string(e.name) == "Connected";
    EXPECT_EQ(p->ReadOnly, readOnly);
    if (e.type == kBuild.longType || e.type == kBuild.intType) {
      EXPECT_EQ(p->PropType->MinValue, kBuild.rangeMin);
      EXPECT_EQ(p->PropType->MaxValue, kBuild.rangeMax);
    }
    if (std::string(e.type) == "char") {
      EXPECT_EQ(p->PropType->MinValue, -128);
      EXPECT_EQ(p->PropType->MaxValue, 127);
    }
  }
  for (const char* s : {"Text", "Port", "Version"}) {
    vcl::PPropInfo p = vcl::GetPropInfo(q.get(), s);
    EXPECT_EQ(p->Kind(), vcl::tkLString) << s;
    EXPECT_FALSE(p->HasDefault) << s;
    EXPECT_TRUE(p->Stored) << s;
  }
  EXPECT_EQ(AnsiString(q->Text), "");  // nothing open: nothing to read
  EXPECT_EQ(q->Port, "");
  EXPECT_EQ(AnsiString(q->Version), kBuild.version);
  EXPECT_EQ(q->State, 2);
  EXPECT_EQ(q->Connected, 0);
  EXPECT_FALSE(q->OnDataAvailable);
  EXPECT_FALSE(q->OnErrorOccurred);
}

TEST(Settings, VersionReadsTheBuildsTextWhateverIsWrittenToIt) {
  auto q = std::make_unique<TQuellin>(nullptr);
  q->Version = "9.9.9";
  EXPECT_EQ(AnsiString(q->Version), kBuild.version);
  vcl::SetStrProp(q.get(), "Version", "");
  EXPECT_EQ(vcl::GetStrProp(q.get(), "Version"), kBuild.version);
}

TEST(Settings, RunTimeComponentOwnsAWindowForItsWholeLife) {
  auto q = std::make_unique<Probe>(nullptr);
  const win32::HWND window = q->NotifyWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(win32::IsWindow(window));
  q.reset();
  EXPECT_FALSE(win32::IsWindow(window));
}

TEST(Settings, DesignedComponentHasNoWindow) {
  vcl::TComponent form(nullptr);
  form.SetDesigning(true);
  auto* q = new Probe(&form);
  EXPECT_TRUE(q->ComponentState.Contains(vcl::csDesigning));
  EXPECT_EQ(q->NotifyWindow(), nullptr);
  EXPECT_EQ(q->OpenConnection(), 0);  // no Port: nothing opens, designing or not
  delete q;
}

// ---- Form files ---------------------------------------------------------------------------------

// The property names a form file holds for its outer object.
std::set<std::string> WrittenProperties(const AnsiString& form) {
  std::set<std::string> names;
  std::istringstream in(form.str());
  std::string line;
  int depth = 0;
  while (std::getline(in, line)) {
    const auto first = line.find_first_not_of(' ');
    if (first == std::string::npos) continue;
    const std::string text = line.substr(first);
    if (text.rfind("object ", 0) == 0) {
      ++depth;
    } else if (text == "end") {
      --depth;
    } else if (depth == 1) {
      names.insert(text.substr(0, text.find(' ')));
    }
  }
  return names;
}

struct Form {
  vcl::TComponent owner{nullptr};
  TQuellin* Load(const AnsiString& text) {
    return dynamic_cast<TQuellin*>(vcl::ReadComponentText(text, &owner));
  }
};

TEST(FormFile, StartValuesWriteOnlyWhatDiffersFromTheRecordedDefaults) {
  Form form;
  auto* q = new TQuellin(&form.owner);
  q->Name = "Port1";
  std::set<std::string> expected = {"ErrorChar", "Version"};
  if (QUELLIN_VCL != 3) {
    expected.insert({"TimeoutReadInterval", "TimeoutReadMultiplier", "TimeoutReadConstant",
                     "TimeoutWriteMultiplier"});
  }
  EXPECT_EQ(WrittenProperties(vcl::WriteComponentText(q)), expected);
}

TEST(FormFile, ValuesSavedAtTheirDefaultsComeBackAsConstructionValues) {
  Form form;
  auto* q = new TQuellin(&form.owner);
  q->Name = "Port1";
  q->ErrorChar = 0;
  q->TimeoutReadInterval = static_cast<TCommInt>(-1);
  q->TimeoutReadMultiplier = 0;
  q->TimeoutReadConstant = 0;
  q->TimeoutWriteMultiplier = 0;
  const AnsiString text = vcl::WriteComponentText(q);
  delete q;

  TQuellin* back = form.Load(text);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->ErrorChar, 126);
  // Where construction and default agree (all of QuellinObj's time-outs) the saved value is what
  // comes back; elsewhere the construction value does.
  const auto* t = kBuild.timeouts;
  EXPECT_EQ(vcl::GetOrdProp(back, "TimeoutReadInterval"), t[0]);
  EXPECT_EQ(vcl::GetOrdProp(back, "TimeoutReadMultiplier"), t[1]);
  EXPECT_EQ(vcl::GetOrdProp(back, "TimeoutReadConstant"), t[2]);
  EXPECT_EQ(vcl::GetOrdProp(back, "TimeoutWriteMultiplier"), t[3]);
}

TEST(FormFile, EverySettingSurvivesARoundTrip) {
  Form form;
  auto* q = new TQuellin(&form.owner);
  q->Name = "Port1";
  q->Port = "/dev/serial/by-id/usb-Some_Adapter_0123456789-if00-port0";
  // A value per ordinal setting that is neither its default nor its start value; negative where
  // the type allows, to see the sign travel.
  std::map<std::string, std::int64_t> values;
  for (const vcl::TPropInfo& p : vcl::GetPropList(vcl::classid<TQuellin>())) {
    if (!p.PropType->IsOrdinal() || p.ReadOnly || p.Name == "Tag") continue;
    std::int64_t v;
    switch (p.Kind()) {
      case vcl::tkBool:
        v = !p.Default;
        break;
      case vcl::tkEnumeration:
        v = p.Default == 2 ? 1 : 2;
        break;
      case vcl::tkChar:
        v = -5;
        break;
      default:
        v = p.PropType->MinValue < 0 ? -123456 : 3000000000;
        break;
    }
    vcl::SetOrdProp(q, &p, v);
    values[p.Name.str()] = v;
  }
  ASSERT_EQ(values.size(), 27u);
  const AnsiString text = vcl::WriteComponentText(q);
  delete q;

  TQuellin* back = form.Load(text);
  ASSERT_NE(back, nullptr);
  for (const auto& [name, v] : values) EXPECT_EQ(vcl::GetOrdProp(back, name.c_str()), v) << name;
  EXPECT_EQ(back->Port, "/dev/serial/by-id/usb-Some_Adapter_0123456789-if00-port0");
  EXPECT_EQ(AnsiString(back->Version), kBuild.version);
}

TEST(FormFile, AVersionInTheFormDoesNotChangeWhatVersionReads) {
  Form form;
  TQuellin* q = form.Load("object Port1: TQuellin\n  Version = '0.0.1'\nend\n");
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(AnsiString(q->Version), kBuild.version);
}

TEST(FormFile, ComponentLoadedAtRunTimeHasItsWindow) {
  Form form;
  TQuellin* q = form.Load("object Port1: TQuellin\nend\n");
  ASSERT_NE(q, nullptr);
  EXPECT_TRUE(win32::IsWindow(Probe::NotifyWindowOf(q)));
}

}  // namespace

namespace {

TEST(Registration, PutsTheComponentOnItsPageWithItsEditors) {
  vcl::ClearDesignerRegistrations();
  Register();
  const auto pages = vcl::GetPalettePages();
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0].Name, QUELLIN_VCL == 3 ? "Dovrane" : "Quellin");
  EXPECT_EQ(pages[0].Classes, std::vector<vcl::TComponentClass>{vcl::classid<TQuellin>()});

  const auto editors = vcl::GetPropertyEditorRegistrations();
  ASSERT_EQ(editors.size(), QUELLIN_VCL == 5 ? 2u : 1u);
  EXPECT_EQ(editors[0].PropertyName, "DataBits");
  const vcl::TClass cls = vcl::classid<TQuellin>();
  // The designer hands these properties to the registered editors.
  EXPECT_EQ(vcl::GetPropertyEditorClass(cls, vcl::GetPropInfo(cls, "DataBits")),
            vcl::classid<vcl::TStringProperty>());
  if (QUELLIN_VCL == 5) {
    EXPECT_EQ(editors[1].PropertyName, "BaudRate");
    EXPECT_EQ(vcl::GetPropertyEditorClass(cls, vcl::GetPropInfo(cls, "BaudRate")),
              vcl::classid<vcl::TIntegerProperty>());
  }
  vcl::ClearDesignerRegistrations();
}

}  // namespace
