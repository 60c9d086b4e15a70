// USSD answers as modems give them, read as strings: text, the packed septets in hex (Huawei: as
// the gsm-ussd script of JochenHoch2/gsm-ussd and the huawei-ussd script in felixonmars/aur3-mirror
// read them), UCS2, a language prefix, and lines that are not answers.
#include "halyard/gsm/Ussd.h"

#include <gtest/gtest.h>

using namespace Halyard::GSM;

TEST(Ussd, AnswersInEveryCodingTheyCome) {
  auto text = ParseCusd("+CUSD: 0,\"Balance: 12.34 EUR, valid until 31.12.2026\",15");
  ASSERT_TRUE(text);
  EXPECT_EQ(text->Status, 0);
  EXPECT_EQ(text->Dcs, 15);
  EXPECT_EQ(text->Text, "Balance: 12.34 EUR, valid until 31.12.2026");
  auto packed = ParseCusd("+CUSD: 0,\"C2303BEC1E9775A098CC35A3818A5529\",15");
  ASSERT_TRUE(packed);
  EXPECT_EQ(packed->Text, "Balance: 12.34 EUR");
  auto ucs2 = ParseCusd("+CUSD: 0,\"04110430043B0430043D0441003A002000310032002E00330034002020BD\",72");
  ASSERT_TRUE(ucs2);
  EXPECT_EQ(ucs2->Text, "\xD0\x91\xD0\xB0\xD0\xBB\xD0\xB0\xD0\xBD\xD1\x81: 12.34 \xE2\x82\xBD");
  auto menu = ParseCusd("+CUSD: 1,\"1 Balance\n2 Offers\",15");
  ASSERT_TRUE(menu);
  EXPECT_TRUE(menu->MoreToCome());
  EXPECT_EQ(menu->Text, "1 Balance\n2 Offers");
  // Digits alone are an answer, not octets; a language prefix (dcs 16) goes.
  EXPECT_EQ(DecodeUssd("1234", 15), "1234");
  EXPECT_EQ(DecodeUssd("en\rHello", 16), "Hello");
  EXPECT_EQ(DecodeUssd("BALANCE", -1), "BALANCE");
  // Not supported, and bare status lines.
  auto none = ParseCusd("+CUSD: 4");
  ASSERT_TRUE(none);
  EXPECT_EQ(none->Status, 4);
  EXPECT_EQ(none->Text, "");
  EXPECT_EQ(ParseCusd("+CUSD:2")->Status, 2);
  EXPECT_FALSE(ParseCusd("+CUSD: x"));
  EXPECT_FALSE(ParseCusd("+CMTI: \"SM\",1"));
  EXPECT_FALSE(ParseCusd("+CUSD: 0,\"unterminated"));
}

// Text answers with line breaks come framed as several lines; the mailbox joins them and leaves
// other lines alone.
TEST(Ussd, AMenuOverSeveralLinesIsOneAnswer) {
  TUssdMailbox box;
  EXPECT_FALSE(box.Offer("RING"));
  EXPECT_TRUE(box.Offer("+CUSD: 1,\"1 Balance"));
  EXPECT_TRUE(box.Offer("2 Offers"));
  EXPECT_TRUE(box.Offer("0 Back\",15"));
  EXPECT_FALSE(box.Offer("OK"));
  auto a = box.Wait(std::chrono::milliseconds(10), false);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->Text, "1 Balance\n2 Offers\n0 Back");
  EXPECT_TRUE(a->MoreToCome());
  EXPECT_FALSE(box.Wait(std::chrono::milliseconds(10), false));
}

TEST(Ussd, CodesAndHuaweisPackedRequests) {
  EXPECT_EQ(PackUssd("*100#"), "AA180C3602");
  EXPECT_EQ(PackUssd("1234567"), "31D98C56B3DD1A");  // seven spare bits: a CR, not "@"
  EXPECT_TRUE(ValidUssdCode("*100#"));
  EXPECT_TRUE(ValidUssdCode("1"));
  EXPECT_FALSE(ValidUssdCode(""));
  EXPECT_FALSE(ValidUssdCode("*100#\",15\r\nAT+CFUN=0"));  // no command behind it
  EXPECT_FALSE(ValidUssdCode(std::string(161, '1')));
}
