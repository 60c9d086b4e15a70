#include "halyard/gsm/GSMUtils.h"

#include <gtest/gtest.h>

#include "halyard/resources/Resources.h"

using namespace Halyard;
using namespace Halyard::GSM;

namespace {
std::string Raised(const std::string& line, const std::string& cmd) {
  try {
    RaiseResponseError(line, cmd);
  } catch (const EGSMError& e) {
    return e.what();
  }
  return "";
}
}  // namespace

TEST(ATResponse, RecognizeAndStrip) {
  EXPECT_FALSE(IsATResponse("+CSQ:15"));
  EXPECT_TRUE(IsATResponse("^SMSO: x"));
  EXPECT_FALSE(IsATResponse(""));
  EXPECT_EQ(StripATResponse("+CPIN: READY"), "READY");
  EXPECT_EQ(StripATResponse("+CPIN:READY"), "+CPIN:READY");
  EXPECT_EQ(StripATResponse("+CMGR: 0,,23"), "0,,23");
  EXPECT_EQ(StripATResponse("OK"), "OK");
}

TEST(ATResponse, ExtractParam) {
  std::string s = "+CMTI: \"SM\",3";
  int pos = 7;
  EXPECT_EQ(ExtractParam(s, pos), "\"SM\"");
  EXPECT_EQ(ExtractParam(s, pos), "3");
  EXPECT_EQ(pos, static_cast<int>(s.size()) + 1);
  EXPECT_EQ(ExtractParam(s, pos), "");
  std::string q = "\"a, b\",c";
  pos = 1;
  EXPECT_EQ(ExtractParam(q, pos), "\"a, b\"");
  EXPECT_EQ(ExtractParam(q, pos), "c");
  pos = 100;  // far beyond the text: nothing, and no read past it
  EXPECT_EQ(ExtractParam(q, pos), "");
}

TEST(ATResponse, ExtractParamSet) {
  std::string s = "(0-2),(0-3),(0-3),(0-2),(0,1)";
  int pos = 1;
  EXPECT_EQ(ExtractParamSet(s, pos), (TByteSet{0, 1, 2}));
  EXPECT_EQ(ExtractParamSet(s, pos), (TByteSet{0, 1, 2, 3}));
  EXPECT_EQ(ExtractParamSet(s, pos), (TByteSet{0, 1, 2, 3}));
  EXPECT_EQ(ExtractParamSet(s, pos), (TByteSet{0, 1, 2}));
  EXPECT_EQ(ExtractParamSet(s, pos), (TByteSet{0}));
  EXPECT_EQ(ExtractParamSet(s, pos), (TByteSet{1}));
  std::string t = "300-2";
  pos = 1;
  EXPECT_EQ(ExtractParamSet(t, pos), (TByteSet{2}));
  t = "250-300";
  pos = 1;
  EXPECT_EQ(ExtractParamSet(t, pos), (TByteSet{250, 251, 252, 253, 254, 255}));
  t = "0 - 2";
  pos = 1;
  EXPECT_EQ(ExtractParamSet(t, pos), (TByteSet{0, 2}));
  t = "";
  pos = 1;
  EXPECT_TRUE(ExtractParamSet(t, pos).Empty());
  t = "(99999999999)";
  pos = 1;
  EXPECT_THROW(ExtractParamSet(t, pos), Framework::EConvertError);
}

TEST(ATResponse, TrimQuotesAndModelNames) {
  EXPECT_EQ(TrimQuotes("\"SM\""), "SM");
  EXPECT_EQ(TrimQuotes("\"\"SM\"\""), "SM");
  EXPECT_EQ(TrimQuotes("\"\"\""), "");
  EXPECT_EQ(TrimQuotes(" \"x\" "), " \"x\" ");
  EXPECT_EQ(Str2GMSEquipment("nokia6210"), eqNokia6210);
  EXPECT_EQ(Str2GMSEquipment("WAVECOM"), eqWaveCom);
  try {
    Str2GMSEquipment("Nokia 6210");
    FAIL();
  } catch (const EGSMError& e) {
    EXPECT_STREQ(e.what(), "Bad equipment name");
  }
  EXPECT_STREQ(GSMEquipmentLongName[eqT260], "Motorola T260");
  EXPECT_STREQ(StatS[4], "ALL");
}

TEST(GSMErrorTexts, TablesAreCompleteAndExact) {
  int cme = 0, cms = 0;
  for (int i = 0; i < 1000; ++i) {
    cme += Resources::HasResString(5000 + i);
    cms += Resources::HasResString(6000 + i);
  }
  EXPECT_EQ(cme, 57);
  EXPECT_EQ(cms, 81);
  EXPECT_EQ(Resources::LoadResString(5032), "Network not allowed   emergency calls only");
  EXPECT_EQ(Resources::LoadResString(6340), "NO +CNMA ACK EXPECTED");
  EXPECT_EQ(Resources::LoadResString(6208), "D0 SIM SMS storage full");
  EXPECT_EQ(Resources::LoadResString(5999), "");
}

TEST(GSMErrorTexts, ResponseErrorMessages) {
  EXPECT_EQ(Raised("+CME ERROR: 10", "AT+CPIN?"),
            "+CME ERROR: 10 \"SIM not inserted\" was returned on AT command: AT+CPIN?");
  EXPECT_EQ(Raised("ERROR", "AT+CSQ"), "ERROR was returned on AT command: AT+CSQ");
  EXPECT_EQ(Raised("+CMS ERROR: 999", "AT+CMGS=1"), "+CMS ERROR: 999 was returned on AT command: AT+CMGS=1");
  EXPECT_EQ(Raised("+CME ERROR: abc", "AT"), "+CME ERROR: abc was returned on AT command: AT");
  EXPECT_EQ(Raised("+cms error: 500", "AT"), "+cms error: 500 \"Unknown error\" was returned on AT command: AT");
  // EGSMError is the serial unit's error.
  EXPECT_THROW(GSMError("x"), CommConnect::EComError);
}

// The modem's error number travels with the exception, whatever the text says.
TEST(ATResponse, TheErrorNumberIsCarried) {
  auto caught = [](const std::string& Line) {
    try {
      RaiseResponseError(Line, "AT+CMGS=17");
    } catch (const EGSMError& e) {
      return std::make_pair(e.Source, e.Code);
    }
    return std::make_pair(EGSMError::esNone, -2);
  };
  EXPECT_EQ(caught("+CMS ERROR: 304"), std::make_pair(EGSMError::esCMS, 304));
  EXPECT_EQ(caught("+cme error: 10"), std::make_pair(EGSMError::esCME, 10));
  EXPECT_EQ(caught("+CME ERROR: SIM busy"), std::make_pair(EGSMError::esCME, -1));
  EXPECT_EQ(caught("ERROR"), std::make_pair(EGSMError::esNone, -1));
  EXPECT_EQ(caught("COMMAND NOT SUPPORT"), std::make_pair(EGSMError::esNone, -1));
}
