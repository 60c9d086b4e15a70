#include "halyard/framework/SysUtils.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

using namespace Halyard::Framework;

TEST(Format, TheFormsThePackageUses) {
  EXPECT_EQ(Format("%d", 42), "42");
  EXPECT_EQ(Format("%.2d", 5), "05");
  EXPECT_EQ(Format("%.2d", -5), "-05");
  EXPECT_EQ(Format("%.2x ", 0x41), "41 ");
  EXPECT_EQ(Format("%.2x)", 255), "ff)");
  EXPECT_EQ(Format("%x", -1), "ffffffff");
  EXPECT_EQ(Format("%X", 2748), "ABC");
  EXPECT_EQ(Format("AT+CMGS=%d>%s", 17, "0011"), "AT+CMGS=17>0011");
  EXPECT_EQ(Format("Error %d %s in function: %s", 2, "No such file or directory", "CreateFile"),
            "Error 2 No such file or directory in function: CreateFile");
  EXPECT_EQ(Format("%5s|%-5s|", "ab", "cd"), "   ab|cd   |");
  EXPECT_EQ(Format("%.3s", "abcdef"), "abc");
  EXPECT_EQ(Format("%1:s %0:s", "a", "b"), "b a");
  EXPECT_EQ(Format("%*d", 4, 7), "   7");
  EXPECT_EQ(Format("100%%"), "100%");
  EXPECT_EQ(Format("%.1f", 2.25), "2.2");
  EXPECT_EQ(Format("%u", -1), "4294967295");
  EXPECT_EQ(Format("%s", std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(Format, MismatchOrMissingArgumentRaises) {
  EXPECT_THROW(Format("%d"), EConvertError);
  EXPECT_THROW(Format("%d", "text"), EConvertError);
  EXPECT_THROW(Format("%s", 5), EConvertError);
  EXPECT_THROW(Format("%q", 5), EConvertError);
  EXPECT_THROW(Format("abc%"), EConvertError);
}

TEST(IntConversion, StrToIntRaisesOnBadText) {
  EXPECT_EQ(StrToInt(" 12 "), 12);
  EXPECT_EQ(StrToInt("-7"), -7);
  EXPECT_EQ(StrToInt("$1F"), 31);
  EXPECT_THROW(StrToInt(""), EConvertError);
  EXPECT_THROW(StrToInt("12a"), EConvertError);
  EXPECT_THROW(StrToInt("99999999999"), EConvertError);
  try {
    StrToInt("x1");
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'x1' is not a valid integer value");
  }
  EXPECT_EQ(StrToIntDef("zz", 9), 9);
  EXPECT_EQ(IntToStr(-12), "-12");
}

TEST(DateTime, EncodeDecodeRoundTripAndEpoch) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
  EXPECT_EQ(EncodeDate(2000, 1, 1), 36526.0);
  for (int y : {1601, 1899, 1900, 2000, 2024, 2099}) {
    for (int m = 1; m <= 12; ++m) {
      int yy, mm, dd;
      DecodeDate(EncodeDate(y, m, 28), yy, mm, dd);
      ASSERT_EQ(yy, y);
      ASSERT_EQ(mm, m);
      ASSERT_EQ(dd, 28);
    }
  }
  int h, n, s, ms;
  DecodeTime(EncodeDate(2021, 3, 4) + EncodeTime(23, 59, 59, 999), h, n, s, ms);
  EXPECT_EQ((std::vector<int>{h, n, s, ms}), (std::vector<int>{23, 59, 59, 999}));
  EXPECT_TRUE(IsLeapYear(2000));
  EXPECT_FALSE(IsLeapYear(1900));
}

TEST(DateTime, ImpossibleValuesRaise) {
  EXPECT_THROW(EncodeDate(2023, 2, 29), EConvertError);
  EXPECT_THROW(EncodeDate(2023, 13, 1), EConvertError);
  EXPECT_THROW(EncodeDate(0, 1, 1), EConvertError);
  EXPECT_NO_THROW(EncodeDate(2024, 2, 29));
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
  EXPECT_THROW(EncodeTime(0, 60, 0, 0), EConvertError);
  EXPECT_THROW(EncodeTime(0, 0, 0, 1000), EConvertError);
}

TEST(DateTime, TextIsShortDateSpaceLongTime) {
  TDateTime dt = EncodeDate(2001, 2, 3) + EncodeTime(4, 5, 6, 0);
  EXPECT_EQ(DateTimeToStr(dt), "2001-02-03 04:05:06");
  EXPECT_EQ(FormatDateTime("dd.mm.yy h:n:s.zzz", dt), "03.02.01 4:5:6.000");
  TDateTime now = Now();
  EXPECT_GT(now, EncodeDate(2020, 1, 1));
}

TEST(SystemErrors, TextsAreTheCLibrarys) {
  EXPECT_EQ(SysErrorMessage(ENOENT), "No such file or directory");
  EXPECT_FALSE(FileExists("/nonexistent/halyard"));
  EXPECT_FALSE(FileExists("/tmp"));  // a folder is not a file
}

#include "halyard/framework/FrontBuffer.h"

TEST(FrontBuffer, TakesFromTheFrontAndKeepsTheRestThroughCompaction) {
  Halyard::Framework::TFrontBuffer b;
  std::string all;
  for (int i = 0; i < 3000; ++i) all += std::to_string(i) + ",";
  b.Append(all);
  std::string got;
  bool appended = false;
  char chunk[7];
  while (size_t n = b.Take(chunk, sizeof chunk)) {  // small takes pass many compactions
    got.append(chunk, n);
    if (!appended && got.size() >= 6000) {
      b.Append("tail");
      appended = true;
    }
  }
  EXPECT_TRUE(got == all + "tail");
  EXPECT_TRUE(b.empty());
  b.Append("abc");
  b.Consume(1);
  EXPECT_EQ(b.substr(0, 2), "bc");
  EXPECT_EQ(b[1], 'c');
}
