#include "halyard/gsm/ATReplies.h"

#include <gtest/gtest.h>

#include "halyard/gsm/GSMUtils.h"

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
