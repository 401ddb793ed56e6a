#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "vcl/vcl.h"

namespace {

using vcl::AnsiString;

TEST(AnsiString, HoldsEveryByteIncludingZeros) {
  const char raw[] = {'A', '\0', 'B', '\xff', '\0'};
  AnsiString s(raw, 5);
  EXPECT_EQ(s.Length(), 5);
  EXPECT_EQ(std::string(s.data(), 5), std::string(raw, 5));
  EXPECT_EQ(s.c_str()[5], '\0');  // c_str() is terminated after the last byte
  AnsiString copy = s;
  EXPECT_EQ(copy, s);
  EXPECT_NE(copy, AnsiString("A"));  // a zero byte does not end the comparison
}

TEST(AnsiString, ConstructionForms) {
  EXPECT_TRUE(AnsiString().IsEmpty());
  EXPECT_TRUE(AnsiString(nullptr).IsEmpty());
  EXPECT_EQ(AnsiString("abc", -4).Length(), 0);
  EXPECT_EQ(AnsiString("abc", 2u), AnsiString("ab"));
  std::string std_text("x\0y", 3);
  AnsiString from_std(std_text);
  EXPECT_EQ(from_std.Length(), 3);
  std::string back = from_std;
  EXPECT_EQ(back, std_text);
}

TEST(AnsiString, ValueSemantics) {
  AnsiString a = "one";
  AnsiString b = a;
  b += "two";
  EXPECT_EQ(a, "one");
  EXPECT_EQ(b, "onetwo");
  EXPECT_EQ(a + "+" + b, "one+onetwo");
}

TEST(AnsiString, OrdersBytesUnsigned) {
  EXPECT_LT(AnsiString("a"), AnsiString("b"));
  EXPECT_LT(AnsiString("a"), AnsiString("a\x01", 2));
  EXPECT_LT(AnsiString("\x7f"), AnsiString("\x80"));
  EXPECT_GT(AnsiString("b"), AnsiString("abc"));
}

TEST(AnsiString, OneBasedIndexingAndHelpers) {
  AnsiString s = "Hello";
  EXPECT_EQ(s[1], 'H');
  EXPECT_EQ(s[5], 'o');
  EXPECT_THROW(s[0], vcl::ERangeError);
  EXPECT_THROW(s[6], vcl::ERangeError);
  s[1] = 'J';
  EXPECT_EQ(s, "Jello");
  EXPECT_EQ(s.SubString(2, 3), "ell");
  EXPECT_EQ(s.SubString(4, 100), "lo");
  EXPECT_EQ(s.SubString(9, 1), "");
  EXPECT_EQ(s.Pos("ll"), 3);
  EXPECT_EQ(s.Pos("x"), 0);
  EXPECT_EQ(AnsiString("  a b \r\n").Trim(), "a b");
  EXPECT_EQ(AnsiString("aBc").UpperCase(), "ABC");
  EXPECT_EQ(AnsiString(" -42 ").ToInt(), -42);
  EXPECT_THROW(AnsiString("4x").ToInt(), vcl::EConvertError);
  EXPECT_THROW(AnsiString("99999999999").ToInt(), vcl::EConvertError);
  EXPECT_EQ(AnsiString("").ToIntDef(7), 7);
  EXPECT_TRUE(vcl::SameText("TQuellin", "tquellin"));
  EXPECT_FALSE(vcl::SameText("TQuellin", "TQuellin1"));
}

TEST(AnsiString, StreamsEveryByte) {
  std::ostringstream out;
  out << AnsiString("a\0b", 3);
  EXPECT_EQ(out.str(), std::string("a\0b", 3));
}

TEST(Exception, CarriesMessage) {
  try {
    throw vcl::EReadError(12, "broken");
  } catch (const vcl::Exception& e) {
    EXPECT_EQ(e.Message, "Line 12: broken");
    EXPECT_STREQ(e.what(), "Line 12: broken");
  }
}

}  // namespace
