#include "halyard/auxstr/AuxStr.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace Halyard::AuxStr;

TEST(AuxStrCase, OnlyAsciiLettersChangeCase) {
  EXPECT_EQ(UpString("abz\xe4\xfc 1!"), "ABZ\xe4\xfc 1!");
  EXPECT_EQ(LoString("ABZ\xc4\xdc 1!"), "abz\xc4\xdc 1!");
}

TEST(AuxStrTrim, SpacesOnlyTabsKept) {
  EXPECT_EQ(Trim("    "), "");
  EXPECT_EQ(Trim("\t a \t"), "\t a \t");
  EXPECT_EQ(LTrim("  a  "), "a  ");
  EXPECT_EQ(RTrim("  a  "), "  a");
}

TEST(AuxStrGetString, CutsRunAndLeavesRest) {
  std::string s = "ABCDEF";
  EXPECT_EQ(GetString(s, 2, 3), "BCD");
  EXPECT_EQ(s, "AEF");
  s = "ABCDEF";
  EXPECT_EQ(GetString(s, 4, 100), "DEF");
  EXPECT_EQ(s, "ABC");
  s = "ABC";
  EXPECT_EQ(GetString(s, 4, 1), "");
  EXPECT_EQ(s, "ABC");
}

TEST(AuxStrPadding, WidthsAndRepeats) {
  EXPECT_EQ(LStr("ABCDEF", 3), "ABC");
  EXPECT_EQ(RStr("ABCDEF", 3), "DEF");
  EXPECT_EQ(LStr("ABCDEF", 8), "ABCDEF  ");
  EXPECT_EQ(RStr("ABCDEF", 8), "  ABCDEF");
  EXPECT_EQ(LStr("AB", 0), "");
  EXPECT_EQ(RStr("AB", -1), "");
  EXPECT_EQ(ReplStr("ab", 3), "ababab");
  EXPECT_EQ(ReplStr("ab", -2), "");
  EXPECT_EQ(ReplSpace(3), "   ");
  EXPECT_EQ(RevStr(std::string("a\0b", 3)), std::string("b\0a", 3));
}

TEST(AuxStrNumbers, StrToNum) {
  EXPECT_EQ(StrToNum(" 0012 "), 12);
  EXPECT_EQ(StrToNum("$1f"), 31);
  EXPECT_EQ(StrToNum("$1G"), 0);
  EXPECT_EQ(StrToNum("$"), 0);
  EXPECT_EQ(StrToNum(""), 0);
  EXPECT_EQ(StrToNum("   "), 0);
  EXPECT_EQ(StrToNum("-5"), -5);
  EXPECT_EQ(StrToNum("+7"), 7);
  EXPECT_EQ(StrToNum("0$1F"), 31);
  EXPECT_EQ(StrToNum("007"), 7);
  EXPECT_EQ(StrToNum("$FFFFFFFF"), -1);
  EXPECT_EQ(StrToNum("0x1F"), 0);  // decimal path on "x1F": no digits
  EXPECT_EQ(StrToNum("99999999999"), 0);  // out of range never raises
}

TEST(AuxStrNumbers, DecimalAndHexTexts) {
  EXPECT_EQ(NumToHexStr(0), "$0");
  EXPECT_EQ(NumToHexStr(5), "$05");
  EXPECT_EQ(NumToHexStr(255), "$FF");
  EXPECT_EQ(NumToHexStr(2748), "$0ABC");
  EXPECT_EQ(NumToHexStr(256), "$0100");
  EXPECT_EQ(NumToHexStr(-1), "$FFFFFFFF");
  EXPECT_EQ(NumToHexStrI(0, 2), "$00");
  EXPECT_EQ(NumToHexStrI(5, 4), "$0005");
  EXPECT_EQ(NumToHexStrI(2748, 2), "$0ABC");
  EXPECT_EQ(NumToStr(-42), "-42");
  EXPECT_EQ(NumToStrI(-5, 4), "00-5");
  EXPECT_EQ(NumToStrI(1, 8), "00000001");
  EXPECT_EQ(NumToStrI(123, 2), "123");
}

TEST(AuxStrHex, Bin2HexAndHex2BinRules) {
  EXPECT_EQ(Bin2Hex(std::string("\x00\x0f\xff\x41", 4)), "000FFF41");
  EXPECT_EQ(Bin2Hex(""), "");
  EXPECT_EQ(Hex2Bin("ABC"), "\xAB\x0C");
  EXPECT_EQ(Hex2Bin("4A6f"), "Jo");
  EXPECT_EQ(Hex2Bin("zz41"), std::string("\0A", 2));
  EXPECT_EQ(Hex2Bin("1 "), "\x01");
  EXPECT_EQ(Hex2Bin(""), "");
}

TEST(AuxStrHex, RoundTripOverRandomBinary) {
  std::mt19937 rng(1234);
  for (int n = 0; n < 300; ++n) {
    std::string s(rng() % 200, '\0');
    for (char& c : s) c = static_cast<char>(rng() & 0xFF);
    ASSERT_EQ(Hex2Bin(Bin2Hex(s)), s);
  }
}

TEST(AuxStrFloatText, StripDecimals) {
  EXPECT_EQ(StripDecimals("100.00"), "100");
  EXPECT_EQ(StripDecimals("10."), "10");
  EXPECT_EQ(StripDecimals("0.000"), "0");
  EXPECT_EQ(StripDecimals("3.14159"), "3.14159");
  EXPECT_EQ(StripDecimals("1.50E+03"), "1.5E+03");
  EXPECT_EQ(StripDecimals("1.0E5"), "1E5");
  EXPECT_EQ(StripDecimals("1.2300e-05"), "1.23e-05");
  EXPECT_EQ(StripDecimals("."), "");
  EXPECT_EQ(StripDecimals("1000"), "1000");
}

TEST(AuxStrFloatText, StripExponent) {
  EXPECT_EQ(StripExponent("1.5E+003"), "1.5E+3");
  EXPECT_EQ(StripExponent("2E-05"), "2E-5");
  EXPECT_EQ(StripExponent("1e+007"), "1e+7");
  EXPECT_EQ(StripExponent("1.5E+000"), "1.5");
  EXPECT_EQ(StripExponent("1.5E+10"), "1.5E+10");
  EXPECT_EQ(StripExponent("1E05"), "1E05");
  EXPECT_EQ(StripExponent("1E005"), "1E05");
  EXPECT_EQ(StripExponent("12"), "12");
}

// The one UTF-8 walker: every malformed form is one byte of -1, never a code point, never a
// read past the text.
TEST(AuxStrUtf8, WalkAppendValidateAndCount) {
  auto walk = [](const std::string& S) {
    std::vector<int32_t> r;
    for (size_t i = 0; i < S.size();) r.push_back(Halyard::AuxStr::NextCodePoint(S, i));
    return r;
  };
  EXPECT_EQ(walk("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), (std::vector<int32_t>{'a', 0xE9, 0x20AC, 0x1F600}));
  EXPECT_EQ(walk("\xC0\xAF"), (std::vector<int32_t>{-1, -1}));          // overlong
  EXPECT_EQ(walk("\xED\xA0\x80"), (std::vector<int32_t>{-1, -1, -1}));  // a surrogate
  EXPECT_EQ(walk("\xF4\x90\x80\x80"), (std::vector<int32_t>(4, -1)));  // past U+10FFFF
  EXPECT_EQ(walk("\xE2\x82"), (std::vector<int32_t>{-1, -1}));          // cut short
  EXPECT_EQ(walk("\xC3" "a"), (std::vector<int32_t>{-1, 'a'}));         // no continuation
  std::string out;
  for (char32_t c : {U'a', U'\u00E9', U'\u20AC', U'\U0001F600'}) Halyard::AuxStr::AppendUtf8(out, c);
  EXPECT_EQ(out, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_TRUE(Halyard::AuxStr::ValidUtf8(out));
  EXPECT_FALSE(Halyard::AuxStr::ValidUtf8("ok\xFF"));
  EXPECT_EQ(Halyard::AuxStr::CountCodePoints(out), 4u);
  EXPECT_EQ(Halyard::AuxStr::CountCodePoints("\xFF\xFE"), 2u);
}
