#include "halyard/gsm/ATReplies.h"

#include <gtest/gtest.h>

#include "halyard/gsm/GSMUtils.h"
#include "halyard/gsm/SMS.h"

using namespace Halyard;
using namespace Halyard::GSM;

TEST(ATReplies, DeliverTextHeaderShortAndDetailed) {
  // +CMT as 3GPP TS 27.005 gives it, without and with +CSDH=1 (the header after "+CMT: ").
  std::string shortForm = "\"+31628870634\",,\"11/01/09,10:26:26+04\"";
  int pos = 1;
  TDeliverTextHeader h = ParseDeliverTextHeader(shortForm, pos);
  EXPECT_EQ(h.OA, "+31628870634");
  EXPECT_FALSE(h.Detailed);
  EXPECT_EQ(h.Length, 0);
  EXPECT_EQ(h.TimeZone, 4);
  EXPECT_EQ(Framework::FormatDateTime("yyyy-mm-dd hh:nn:ss", h.SCTS), "2011-01-09 10:26:26");

  std::string detailed = "\"+31628870634\",\"Jan\",\"11/01/09,10:26:26-08\",145,4,0,8,\"+31658510000\",145,12";
  pos = 1;
  h = ParseDeliverTextHeader(detailed, pos);
  EXPECT_TRUE(h.Detailed);
  EXPECT_EQ(h.FO, 4);
  EXPECT_EQ(h.PID, 0);
  EXPECT_EQ(h.DCS, 8);
  EXPECT_EQ(h.Length, 12);
  EXPECT_EQ(h.TimeZone, -8);
  EXPECT_GT(pos, static_cast<int>(detailed.size()));

  // After a +CMGR status, from where <oa> starts.
  std::string cmgr = "\"REC UNREAD\",\"+4917212345\",,\"26/12/09,18:00:00+04\"";
  pos = 1;
  ExtractParam(cmgr, pos);
  EXPECT_EQ(ParseDeliverTextHeader(cmgr, pos).OA, "+4917212345");

  pos = 1;
  EXPECT_THROW(ParseDeliverTextHeader("\"+1\",,\"26/12/09,18:00:00+04\",145,x,0,0,\"\",145,3", pos),
               Framework::EConvertError);
}

TEST(ATReplies, RegistrationSignalAndStoredIndications) {
  EXPECT_EQ(ParseRegistration("+CREG: 1"), 1);                      // indication, n=1
  EXPECT_EQ(ParseRegistration("+CREG: 0,1"), 1);                    // answer to AT+CREG?
  EXPECT_EQ(ParseRegistration("+CREG: 2,5,\"00C3\",\"A1B2\""), 5);  // answer with location
  EXPECT_EQ(ParseRegistration("+CREG: 1,\"00C3\",\"A1B2\""), 1);    // indication, n=2
  // Unquoted location, with and without the access technology (ModemManager's
  // src/tests/test-modem-helpers.c, Huawei and Sierra cases).
  EXPECT_EQ(ParseRegistration("+CREG: 5,8BE3,2BAF"), 5);
  EXPECT_EQ(ParseRegistration("+CREG: 1,8BE3,2BAF,7"), 1);
  EXPECT_EQ(ParseRegistration("+CREG: 2,1,8BE3,2BAF"), 1);
  EXPECT_EQ(ParseRegistration("+CREG: 2,5,\"8BE3\",\"2BAF\",7"), 5);
  EXPECT_THROW(ParseRegistration("+CREG: x"), Framework::EConvertError);
  EXPECT_EQ(ParseSignalQuality("+CSQ: 17,99"), 17);
  EXPECT_EQ(ParseSignalQuality("+CSQ: 99"), 99);
  EXPECT_THROW(ParseSignalQuality("+CSQ: "), Framework::EConvertError);
  TStoredIndication i = ParseStoredIndication("+CMTI: \"SM\",3", 6);
  EXPECT_EQ(i.Storage, "\"SM\"");
  EXPECT_EQ(i.Index, 3);
  EXPECT_EQ(ParseStoredIndication("+CDSI: \"SR\",12", 6).Index, 12);
  EXPECT_EQ(ParseStoredIndication("+CDS: \"ME\",4", 5).Storage, "\"ME\"");
}

TEST(ATReplies, StorageServiceAndListEntries) {
  EXPECT_EQ(ParseStorageAnswer(" \"SM\",3,30,\"SM\",3,30,\"SM\",3,30"), "\"SM\"");
  EXPECT_EQ(ParseStorageAnswer("\"ME\",0,100"), "\"ME\"");
  EXPECT_EQ(ParseServiceAnswer("1,1,1,1"), 1);
  EXPECT_EQ(ParseServiceAnswer(" 0,1,1,0"), 0);
  try {
    ParseServiceAnswer("\"x\",1");
    FAIL();
  } catch (const EGSMError& e) {
    EXPECT_STREQ(e.what(), "The modem's answer to AT+CSMS? has no service number: \"x\",1");
  }
  // +CMGL headers in PDU mode (<index>,<stat>,[<alpha>],<length>) and text mode.
  TListEntry e = ParseListEntry(" 12,1,,24", false);
  EXPECT_EQ(e.Index, 12);
  EXPECT_EQ(e.Status, 1);
  e = ParseListEntry(" 3,\"REC READ\",\"+31628870634\",,\"11/01/09,10:26:26+04\"", true);
  EXPECT_EQ(e.Index, 3);
  EXPECT_EQ(e.Status, 1);
  EXPECT_EQ(ParseListEntry("4,\"STO SENT\",\"+1\",", true).Status, 3);
  EXPECT_EQ(ParseListEntry("4,\"SOMETHING\"", true).Status, -1);
  EXPECT_THROW(ParseListEntry("x,1,,24", false), Framework::EConvertError);
  EXPECT_EQ(TextStatus("ALL"), 4);
  EXPECT_EQ(TextStatus("all"), -1);
}

TEST(ATReplies, SubmitTextHeaderWithAndWithoutValidity) {
  // +CMGR of a stored message with +CSDH=1: relative validity, absolute validity, none.
  int pos = 1;
  TSubmitTextHeader h = ParseSubmitTextHeader("\"+4917212345\",,129,17,0,0,167,\"+491710760000\",145,5", pos);
  EXPECT_EQ(h.DA, "+4917212345");
  ASSERT_TRUE(h.Detailed);
  EXPECT_EQ(h.FO, 17);
  EXPECT_TRUE(h.HasVP);
  EXPECT_DOUBLE_EQ(h.VP, ValPerToDT(167));
  EXPECT_EQ(h.Length, 5);
  pos = 1;
  h = ParseSubmitTextHeader("\"+1\",,129,25,0,0,\"26/12/09,18:00:00+08\",\"+491710760000\",145,3", pos);
  EXPECT_TRUE(h.HasVP);
  EXPECT_EQ(h.TimeZone, 8);
  EXPECT_EQ(h.Length, 3);
  pos = 1;
  h = ParseSubmitTextHeader("\"+1\",,129,1,0,0,\"+491710760000\",145,7", pos);
  EXPECT_FALSE(h.HasVP);
  EXPECT_EQ(h.Length, 7);
  pos = 1;
  EXPECT_FALSE(ParseSubmitTextHeader("\"+1\",", pos).Detailed);
}

TEST(ATReplies, StatusReportAndBroadcastTextHeaders) {
  // "+CDS: " behind, as TS 27.005 gives it.
  TStatusReportTextHeader r =
      ParseStatusReportTextHeader(" 6,46,\"+4917212345\",145,\"26/12/09,18:00:00+04\",\"26/12/09,18:00:05+04\",0");
  EXPECT_EQ(r.FO, 6);
  EXPECT_EQ(r.MR, 46);
  EXPECT_EQ(r.RA, "+4917212345");
  EXPECT_EQ(r.ST, 0);
  EXPECT_EQ(r.DTTimeZone, 4);
  EXPECT_GT(r.DT, r.SCTS);
  EXPECT_THROW(ParseStatusReportTextHeader(" 6,46,\"+1\",145,\"bad\",\"bad\",0"), Framework::Exception);
  TBroadcastTextHeader b = ParseBroadcastTextHeader(" 4352,50,1,2,3");
  EXPECT_EQ(b.SerialNumber, 4352);
  EXPECT_EQ(b.MessageIdentifier, 50);
  EXPECT_EQ(b.DCS, 1);
  EXPECT_EQ(b.Page, 2);
  EXPECT_EQ(b.Pages, 3);
  EXPECT_THROW(ParseBroadcastTextHeader(" 1,2"), Framework::EConvertError);
}

// The spellings modems answer with (ModemManager reads EF_ICCID with +CRSM and swaps its
// digits, plugins/huawei and plugins/quectel their own commands); an error status word or a
// short answer is no ICCID.
TEST(ATReplies, IccidInEverySpellingAndFromTheSim) {
  const std::string iccid = "8949226000000123456";
  for (const char* l : {"+CCID: 8949226000000123456F", "+CCID: \"8949226000000123456\"", "^ICCID: 8949226000000123456F",
                        "+QCCID: 8949226000000123456F", "#CCID: 8949226000000123456", "8949226000000123456",
                        "+ICCID: 8949226000000123456"})
    EXPECT_EQ(ParseIccid(l), iccid) << l;
  EXPECT_EQ(ParseIccid("+CRSM: 144,0,\"98942206000000214365\""), "89492260000000123456");
  EXPECT_EQ(ParseIccid("+CRSM: 144,0,\"989422060000002143F5\""), "8949226000000012345");
  EXPECT_EQ(ParseIccid("+CRSM: 106,130,\"\""), "");
  EXPECT_EQ(ParseIccid("+CCID: 12345"), "");
  EXPECT_EQ(ParseIccid("+CCID: 8949F26000000123456"), "");
  EXPECT_EQ(ParseIccid("ERROR"), "");
}
