#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_components.h"

namespace {

using vcl::AnsiString;
using vcl::TComponent;
using vcltest::TColour;
using vcltest::TSample;
using vcltest::TSpeed;

class FormFileTest : public ::testing::Test {
 protected:
  void SetUp() override { owner_.Name = "Host"; }
  void TearDown() override {
    owner_.DestroyComponents();
    EXPECT_EQ(vcltest::LiveComponents(), 1) << "only the test's own owner may be alive";
  }

  TSample* Load(const AnsiString& text) { return dynamic_cast<TSample*>(vcl::ReadComponentText(text, &owner_)); }

  // Reading must fail with the given line, and leave the owner and the live count unchanged.
  template <class E = vcl::EReadError>
  void ExpectRefused(const std::string& text, int line, const char* needle = nullptr) {
    SCOPED_TRACE(text.size() < 200 ? text : text.substr(0, 200));
    int before = owner_.ComponentCount;
    int live = vcltest::LiveComponents();
    try {
      vcl::ReadComponentText(AnsiString(text), &owner_);
      ADD_FAILURE() << "accepted";
    } catch (const E& e) {
      EXPECT_EQ(e.Line, line) << e.Message;
      EXPECT_EQ(e.Message.SubString(1, 5 + static_cast<int>(std::to_string(line).size())),
                "Line " + vcl::IntToStr(line))
          << e.Message;
      if (needle) {
        EXPECT_NE(e.Message.Pos(needle), 0) << e.Message;
      }
    }
    EXPECT_EQ(owner_.ComponentCount, before);
    EXPECT_EQ(vcltest::LiveComponents(), live);
  }

  TSample owner_{nullptr};
};

TEST_F(FormFileTest, FreshComponentWritesOnlyWhatDiffersFromDefaults) {
  TSample s(nullptr);
  s.Name = "Sample1";
  EXPECT_EQ(vcl::WriteComponentText(&s),
            "object Sample1: TSample\n"
            "  Timeout = 65535\n"
            "  ReplaceCh = '~'\n"
            "  Speed = fast\n"
            "  NoDefault = 0\n"
            "  Version = '2.5'\n"
            "end\n");
  TSample unnamed(nullptr);
  EXPECT_EQ(vcl::WriteComponentText(&unnamed).SubString(1, 15), "object TSample\n");
}

TEST_F(FormFileTest, RoundTripOverEveryPropertyKind) {
  const AnsiString tricky("quote' zero\0 cr\r lf\n hash# high\xff\x80 tab\t end''", 43);
  TSample s(nullptr);
  s.Name = "Full";
  s.Tag = -7;
  s.Signed32 = -1;
  s.Unsigned32 = 4294967295u;
  s.Timeout = -2147483647 - 1;
  s.Limit = 0;
  s.Ch = -128;
  s.ReplaceCh = '\'';
  s.Colour = vcltest::magenta;
  s.Speed = TSpeed::medium;
  s.Flag = false;
  s.Other = true;
  s.NoDefault = 2147483647;
  s.Port = tricky;
  s.Text = AnsiString("\0", 1);
  AnsiString text = vcl::WriteComponentText(&s);
  EXPECT_NE(text.Pos("Unsigned32 = 4294967295\n"), 0) << text;
  EXPECT_NE(text.Pos("Signed32 = -1\n"), 0) << text;
  EXPECT_NE(text.Pos("Ch = #128\n"), 0) << text;
  EXPECT_NE(text.Pos("Flag = False\n"), 0) << text;
  EXPECT_EQ(text.Pos("State"), 0) << "read-only properties are never written";
  EXPECT_EQ(text.Pos("OnChange"), 0);

  TSample* back = Load(text);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->Owner, &owner_);
  EXPECT_EQ(back->Name, "Full");
  EXPECT_EQ(back->Tag, -7);
  EXPECT_EQ(back->Signed32, -1);
  EXPECT_EQ(back->Unsigned32, 4294967295u);
  EXPECT_EQ(back->Timeout, -2147483647 - 1);
  EXPECT_EQ(back->Limit, 0u);
  EXPECT_EQ(back->Ch, -128);
  EXPECT_EQ(back->ReplaceCh, '\'');
  EXPECT_EQ(back->Colour, vcltest::magenta);
  EXPECT_EQ(back->Speed, TSpeed::medium);
  EXPECT_FALSE(back->Flag);
  EXPECT_TRUE(back->Other);
  EXPECT_EQ(back->NoDefault, 2147483647);
  EXPECT_EQ(back->Port, tricky);
  EXPECT_EQ(back->Text, AnsiString("\0", 1));
  EXPECT_EQ(back->FVersionSink, "2.5");  // Version is written and read through its accessors
  EXPECT_EQ(vcl::WriteComponentText(back), text);
}

TEST_F(FormFileTest, ValueEqualToDefaultComesBackWithConstructionValue) {
  TSample s(nullptr);
  s.Timeout = -1;        // recorded default -1, construction 65535
  s.ReplaceCh = 0;       // recorded default 0, construction 126
  s.Speed = TSpeed::slow;  // recorded default slow, construction fast
  s.Signed32 = 9600;     // default equals construction
  AnsiString text = vcl::WriteComponentText(&s);
  EXPECT_EQ(text.Pos("Timeout"), 0) << text;
  EXPECT_EQ(text.Pos("ReplaceCh"), 0) << text;
  EXPECT_EQ(text.Pos("Speed"), 0) << text;
  TSample* back = Load(text);
  EXPECT_EQ(back->Timeout, 65535);
  EXPECT_EQ(back->ReplaceCh, 126);
  EXPECT_EQ(back->Speed, TSpeed::fast);
  EXPECT_EQ(back->Signed32, 9600);
}

TEST_F(FormFileTest, MissingPropertiesKeepConstructionValues) {
  TSample* s = Load("object X: TSample\n  Port = 'COM1'\nend\n");
  EXPECT_EQ(s->Port, "COM1");
  EXPECT_EQ(s->Timeout, 65535);
  EXPECT_EQ(s->ReplaceCh, 126);
  EXPECT_EQ(s->Colour, vcltest::green);
  EXPECT_EQ(s->TextWrites, 0);
}

TEST_F(FormFileTest, LoadingStateAndLoadedCalls) {
  TSample* s = Load(
      "object Outer: TSample\n"
      "  object Inner: TSampleChild\n"
      "    Extra = 3\n"
      "  end\n"
      "end\n");
  ASSERT_EQ(s->ComponentCount, 1);
  auto* inner = dynamic_cast<vcltest::TSampleChild*>(s->Components[0]);
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->Extra, 3);
  EXPECT_EQ(inner->Owner, s);
  for (TSample* c : {s, static_cast<TSample*>(inner)}) {
    EXPECT_EQ(c->LoadedCalls, 1);
    EXPECT_TRUE(c->LoadingSeenInLoaded);
    EXPECT_FALSE(c->ComponentState.Contains(vcl::csLoading));
  }
}

TEST_F(FormFileTest, NestedComponentsRoundTrip) {
  TSample root(nullptr);
  root.Name = "Root";
  auto* a = new vcltest::TSampleChild(&root);
  a->Name = "A";
  a->Extra = -5;
  auto* b = new TSample(a);
  b->Name = "B";
  b->Port = "deep";
  AnsiString text = vcl::WriteComponentText(&root);
  EXPECT_NE(text.Pos("  object A: TSampleChild\n"), 0) << text;
  EXPECT_NE(text.Pos("    object B: TSample\n      Port = 'deep'\n"), 0) << text;
  TSample* back = Load(text);
  TComponent* a2 = back->FindComponent("A");
  ASSERT_NE(a2, nullptr);
  EXPECT_EQ(dynamic_cast<vcltest::TSampleChild*>(a2)->Extra, -5);
  auto* b2 = dynamic_cast<TSample*>(a2->FindComponent("B"));
  ASSERT_NE(b2, nullptr);
  EXPECT_EQ(b2->Port, "deep");
  EXPECT_EQ(vcl::WriteComponentText(back), text);
}

TEST_F(FormFileTest, DesigningOwnerMakesLoadedComponentsDesigning) {
  owner_.SetDesigning(true);
  TSample* s = Load("object D: TSample\n  object E: TSample\n  end\nend\n");
  EXPECT_TRUE(s->DesigningAtConstruction);
  EXPECT_TRUE(dynamic_cast<TSample*>(s->Components[0])->DesigningAtConstruction);
  owner_.SetDesigning(false);
}

TEST_F(FormFileTest, ReadsVclValueSpellings) {
  TSample* s = Load(
      "object V: TSample\r\n"
      "  Port = 'it''s'#13#10'x'#0 +\r\n"
      "    ' more'\r\n"
      "  Signed32 = -5\r\n"
      "  Unsigned32 = $FFFFFFFF\r\n"
      "  Ch = -3\r\n"
      "  ReplaceCh = #$41\r\n"
      "  Colour = BLUE\r\n"
      "  Speed = Medium\r\n"
      "  Flag = false\r\n"
      "  Other = TRUE\r\n"
      "  Tag = +12\r\n"
      "  Text = ''\r\n"
      "end\r\n");
  EXPECT_EQ(s->Port, AnsiString("it's\r\nx\0 more", 13));
  EXPECT_EQ(s->Signed32, -5);
  EXPECT_EQ(s->Unsigned32, 4294967295u);
  EXPECT_EQ(s->Ch, -3);
  EXPECT_EQ(s->ReplaceCh, 'A');
  EXPECT_EQ(s->Colour, vcltest::blue);
  EXPECT_EQ(s->Speed, TSpeed::medium);
  EXPECT_FALSE(s->Flag);
  EXPECT_TRUE(s->Other);
  EXPECT_EQ(s->Tag, 12);
  EXPECT_EQ(s->TextWrites, 1);
}

TEST_F(FormFileTest, RefusesTruncatedInput) {
  ExpectRefused<vcl::EParserError>("", 1, "'object' expected");
  ExpectRefused<vcl::EParserError>("object A: TSample\n  Port = 'x'\n", 3, "end of file");
  ExpectRefused<vcl::EParserError>("object A: TSample\n  Port = 'abc", 2, "unterminated");
  ExpectRefused<vcl::EParserError>("object A: TSample\n  Port =\n  Tag = 1\nend\n", 2, "value expected");
  ExpectRefused<vcl::EParserError>("object A:\n", 2, "class name expected");
  ExpectRefused<vcl::EParserError>("object A: TSample\n  object B: TSample\n  end\n", 4);
  ExpectRefused<vcl::EParserError>("object A: TSample\n  Tag 5\nend\n", 2, "'=' expected");
  ExpectRefused<vcl::EParserError>("object A: TSample\nend\nobject B: TSample\nend\n", 3, "end of file expected");
  ExpectRefused<vcl::EParserError>("object A: TSample\n  Port = 'a' +\nend\n", 3, "string expected");
}

TEST_F(FormFileTest, RefusesUnknownClassesAndProperties) {
  ExpectRefused<vcl::EClassNotFound>("object A: TNoSuchThing\nend\n", 1, "TNoSuchThing");
  ExpectRefused<vcl::EClassNotFound>(
      "object A: TSample\n  Port = 'x'\n  object B: TSample\n  end\n  object C: TMissing\n  end\nend\n", 5);
  ExpectRefused("object A: TSample\n  Colour = red\n  Bogus = 1\nend\n", 3, "Bogus");
  ExpectRefused("object A: TPersistent\nend\n", 1, "cannot be created");
}

TEST_F(FormFileTest, RefusesWrongValueTypes) {
  ExpectRefused("object A: TSample\n  Signed32 = 'abc'\nend\n", 2, "integer expected");
  ExpectRefused("object A: TSample\n  Port = 12\nend\n", 2, "string expected");
  ExpectRefused("object A: TSample\n  Port = COM1\nend\n", 2, "string expected");
  ExpectRefused("object A: TSample\n  Flag = 1\nend\n", 2, "True or False");
  ExpectRefused("object A: TSample\n  Flag = yes\nend\n", 2, "not a value of bool");
  ExpectRefused("object A: TSample\n  Colour = 3\nend\n", 2, "value name expected");
  ExpectRefused("object A: TSample\n  Colour = mauve\nend\n", 2, "not a value of TColour");
  ExpectRefused("object A: TSample\n  Ch = 'ab'\nend\n", 2, "single character");
  ExpectRefused("object A: TSample\n  State = 3\nend\n", 2, "read-only");
  ExpectRefused("object A: TSample\n  OnChange = Handler\nend\n", 2, "event");
  ExpectRefused<vcl::EParserError>("object A: TSample\n  Colour = [red]\nend\n", 2, "not supported");
  ExpectRefused<vcl::EParserError>("object A: TSample\n  Signed32 = 1.5\nend\n", 2);
}

TEST_F(FormFileTest, RefusesOutOfRangeAndHugeNumbers) {
  ExpectRefused("object A: TSample\n  Unsigned32 = -1\nend\n", 2, "out of range");
  ExpectRefused("object A: TSample\n  Unsigned32 = 4294967296\nend\n", 2, "out of range");
  ExpectRefused("object A: TSample\n  Signed32 = 4294967295\nend\n", 2, "out of range");
  ExpectRefused("object A: TSample\n  Signed32 = -2147483649\nend\n", 2, "out of range");
  ExpectRefused("object A: TSample\n  Ch = 128\nend\n", 2, "out of range");
  ExpectRefused("object A: TSample\n  Ch = -129\nend\n", 2, "out of range");
  ExpectRefused("object A: TSample\n\n  Tag = 99999999999999999999\nend\n", 3, "out of range");
  ExpectRefused("object A: TSample\n  Tag = -99999999999999999999999999999999999999999\nend\n", 2);
  ExpectRefused("object A: TSample\n  Tag = $FFFFFFFFFFFFFFFFFFFF\nend\n", 2);
  ExpectRefused<vcl::EParserError>("object A: TSample\n  Port = #256\nend\n", 2, "not a byte");
  ExpectRefused<vcl::EParserError>("object A: TSample\n  Port = #99999999999\nend\n", 2, "not a byte");
}

TEST_F(FormFileTest, BoundsNestingInsteadOfOverflowingTheStack) {
  auto nested = [](int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += "object TSample\n";
    for (int i = 0; i < depth; ++i) text += "end\n";
    return text;
  };
  TComponent* ok = vcl::ReadComponentText(AnsiString(nested(vcl::kMaxFormNesting)), &owner_);
  ASSERT_NE(ok, nullptr);
  delete ok;
  ExpectRefused<vcl::EParserError>(nested(vcl::kMaxFormNesting + 1), vcl::kMaxFormNesting + 1, "nested deeper");
  ExpectRefused<vcl::EParserError>(nested(200000), vcl::kMaxFormNesting + 1, "nested deeper");
}

TEST_F(FormFileTest, RefusesBinaryJunk) {
  std::string junk;
  for (int i = 0; i < 256; ++i) junk += static_cast<char>((i * 37) & 0xff);
  ExpectRefused<vcl::EParserError>(junk, 1);
  ExpectRefused<vcl::EParserError>(std::string("object A: TSample\n  Port = 'x'\n\x01\x02\nend\n", 32), 3,
                                   "invalid character");
  ExpectRefused<vcl::EParserError>(std::string("object A: TSample\0\nend\n", 23), 1, "invalid character #0");
}

TEST_F(FormFileTest, RefusesNameClashesAndFailingConstructors) {
  ExpectRefused("object A: TSample\n  object Twin: TSample\n  end\n  object twin: TSample\n  end\nend\n", 4,
                "already exists");
  auto* existing = new TSample(&owner_);
  existing->Name = "Taken";
  ExpectRefused("object Taken: TSample\nend\n", 1, "already exists");
  ExpectRefused("object A: TSample\n  Tag = 666\n  object B: TSample\n  end\n  object F: TFragile\n  end\nend\n", 5,
                "refused");
  ExpectRefused("object A: TSample\n  object 1x: TSample\n  end\nend\n", 2);
}

TEST_F(FormFileTest, OwnerStaysUsableAfterRefusals) {
  ExpectRefused("object A: TSample\n  Bogus = 1\nend\n", 2);
  TSample* s = Load("object A: TSample\nend\n");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(owner_.ComponentCount, 1);
  EXPECT_EQ(owner_.FindComponent("A"), s);
}

TEST_F(FormFileTest, WriterRefusesValuesItCannotSpell) {
  TSample s(nullptr);
  s.Colour = static_cast<TColour>(9);
  EXPECT_THROW(vcl::WriteComponentText(&s), vcl::EWriteError);
}

}  // namespace
