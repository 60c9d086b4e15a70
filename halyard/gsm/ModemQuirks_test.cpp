// How the engine copes with what current modems do on the line. The behaviours are those that
// ModemManager's plugins and src/tests/test-modem-helpers.c, gammu's libgammu/protocol/at/at.c and
// asterisk chan_dongle's at_response.c describe for Quectel, SIMCom, Huawei, Sierra and Telit.
#include <gtest/gtest.h>

#include <algorithm>

#include "GSMFixture.h"
#include "halyard/gsm/ATReplies.h"
#include "halyard/gsm/GSM.h"
#include "halyard/gsm/GSMModels.h"

using namespace Halyard;
using namespace Halyard::GSM;
using HalyardTest::Commands;
using HalyardTest::TScriptedModem;

namespace {

class ModemQuirks : public HalyardTest::TGSMFixture {
 protected:
  std::unique_ptr<TSMSSubmit> Message() {
    auto s = std::make_unique<TSMSSubmit>();
    s->DA = "+0123456789";
    s->UD = "hello";
    s->GSM = Gsm.get();
    return s;
  }
  TScriptedModem::TReply Prompted(std::vector<std::string> Chunks, int PauseMs = 0,
                                  std::string PromptText = "\r\n> ") {
    TScriptedModem::TReply r;
    r.Prompt = true;
    r.Chunks = std::move(Chunks);
    r.PauseMs = PauseMs;
    r.PromptText = std::move(PromptText);
    return r;
  }
  static TScriptedModem::TReply Say(std::vector<std::string> Chunks, int PauseMs = 0) {
    TScriptedModem::TReply r;
    r.Chunks = std::move(Chunks);
    r.PauseMs = PauseMs;
    return r;
  }
  int CmgsSent() {
    int n = 0;
    for (auto& c : Modem->Received()) n += c.rfind("AT+CMGS=", 0) == 0;
    return n;
  }
};

}  // namespace

// Quectel allows +CMGS two minutes. An answer later than the wait is "may have been sent", and
// neither the command nor its body goes out a second time.
TEST_F(ModemQuirks, ASlowSendIsNeverSentTwice) {
  Gsm->SetEquipment(eqTC35);
  Gsm->Open();
  Gsm->SetRecTimeout(300);
  Gsm->SetRepeatCount(5);
  Modem->On("AT+CMGS=", Prompted({"", "\r\n+CMGS: 7\r\n\r\nOK\r\n"}, 1500));
  auto m0 = Message();
  TSMSSubmit& s = *m0;
  try {
    Gsm->SendSMS(&s);
    FAIL() << "a send without its answer succeeded";
  } catch (const EGSMNoAnswerAfterBody& e) {
    EXPECT_STREQ(e.what(), "No answer from the modem after the body of AT+CMGS=17: it may have been sent");
  }
  EXPECT_EQ(CmgsSent(), 1);
  EXPECT_EQ(Modem->Bodies().size(), 1u);
  // Waited for long enough, the same modem's late answer is the send's.
  Gsm->SetSendTimeout(30000);
  Gsm->SendSMS(&s);
  EXPECT_EQ(Gsm->LastMessageReference(), 7);
  EXPECT_EQ(CmgsSent(), 2);
  EXPECT_EQ(Modem->Bodies().size(), 2u);
}

// Huawei's ^RSSI, or a +CMTI, in the same read as the prompt: the prompt is not the answer, and
// the report between the body and +CMGS is not either.
TEST_F(ModemQuirks, ReportsAroundThePromptAreNotTheAnswer) {
  Gsm->SetEquipment(eqTC35);
  Gsm->Open();
  auto m0 = Message();
  TSMSSubmit& s = *m0;
  for (const char* prompt : {"\r\n> \r\n^RSSI: 12\r\n", "\r\n^RSSI: 12\r\n\r\n> ", "\r\n+CMTI: \"SM\",3\r\n\r\n> "}) {
    Modem->On("AT+CMGS=", Prompted({"\r\n^HCSQ: \"LTE\",50,44,120,20\r\n", "\r\n+CMGS: 42\r\n\r\nOK\r\n"}, 20, prompt));
    Gsm->SendSMS(&s);
    EXPECT_EQ(Gsm->LastMessageReference(), 42) << prompt;
  }
}

// RDY, Call Ready, SMS Ready (SIMCom, Quectel at boot) and Telit's #STN inside answers; a
// message body that reads like a result code or a report is still the body.
TEST_F(ModemQuirks, BareReportsInsideAnswersAreNotData) {
  Gsm->SetEquipment(eqTC35);
  Gsm->Open();
  Modem->Answer("AT+CGMM", {"RDY", "EC25", "Call Ready", "#STN: 150,1,\"\"", "SMS Ready", "OK"});
  TStringList lines;
  Gsm->SendATCommand("AT+CGMM", wmAnswer, &lines);
  EXPECT_EQ(lines.Text(), "EC25\n");
  auto m0 = Message();
  TSMSSubmit& s = *m0;
  const std::string pdu = s.GetPDU();
  Modem->Answer("AT+CMGR=1", {"SMS Ready", "+CMGR: 2,,17", pdu, "#STN: 150,1,\"\"", "OK"});
  int status = -1;
  auto m = Gsm->ReadSMS(1, status);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(status, 2);
  EXPECT_EQ(m->UD, "hello");
  Gsm->Close();
  Gsm->SetSMSFormat(1);
  Gsm->Open();
  for (const std::string body : {"ERROR 42 in your bill", "+1 for that", "#STN: not a report"}) {
    Modem->Answer("AT+CMGR=2", {"+CMGR: \"REC READ\",\"+4917\",,\"26/01/02,03:04:05+04\"", body, "OK"});
    m = Gsm->ReadSMS(2, status);
    ASSERT_NE(m, nullptr) << body;
    EXPECT_EQ(m->UD, body);
  }
}

// In text mode the number is quoted on the command line; a ">" in it is the number's, not the
// place where the body starts.
TEST_F(ModemQuirks, AQuotedNumberKeepsItsPromptSign) {
  EXPECT_EQ(PromptSplit("AT+CMGS=\"+49>123\">hi > there"), 17u);
  EXPECT_EQ(PromptSplit("AT+CMGS=23>0011"), 10u);
  EXPECT_EQ(PromptSplit("AT+CMGS=\"+49>123\""), std::string::npos);
  Gsm->SetEquipment(eqTC35);
  Gsm->SetSMSFormat(1);
  Gsm->Open();
  Modem->On("AT+CMGS=", Prompted({"\r\n+CMGS: 9\r\n\r\nOK\r\n"}));
  auto m = Message();
  m->DA = "+49>123";
  m->UD = "hi > there";
  Gsm->SendSMS(m.get());
  EXPECT_EQ(CmgsSent(), 1);
  auto sent = Modem->Received();
  EXPECT_NE(std::find(sent.begin(), sent.end(), "AT+CMGS=\"+49>123\""), sent.end());
  ASSERT_EQ(Modem->Bodies().size(), 1u);
  EXPECT_EQ(Modem->Bodies()[0], "hi > there");
}

// Huawei's "COMMAND NOT SUPPORT" and verbose +CME errors end the command at once.
TEST_F(ModemQuirks, HuaweiAndVerboseErrorsAreFinal) {
  Gsm->SetEquipment(eqTC35);
  Gsm->Open();
  Gsm->SetRecTimeout(20000);  // a result that is not seen as final would wait this long, per attempt
  Modem->Answer("AT+CLAC", {"COMMAND NOT SUPPORT"});
  EXPECT_EQ(Error([&] { Gsm->SendATCommand("AT+CLAC", wmAnswer, nullptr, 1); }),
            "COMMAND NOT SUPPORT was returned on AT command: AT+CLAC");
  Modem->Answer("AT+CPIN?", {"+CME ERROR: SIM busy"});
  EXPECT_EQ(Error([&] { Gsm->SendATCommand("AT+CPIN?", wmPrefixedAnswer, nullptr, 1); }),
            "+CME ERROR: SIM busy was returned on AT command: AT+CPIN?");
  // A refusal instead of the prompt ends the send's attempt without waiting for a prompt.
  Modem->Answer("AT+CMGS=", {"+CMS ERROR: 304"});
  auto m0 = Message();
  TSMSSubmit& s = *m0;
  EXPECT_EQ(Error([&] { Gsm->SendSMS(&s); }),
            "+CMS ERROR: 304 \"Invalid PDU mode parameter\" was returned on AT command: AT+CMGS=17>" + s.GetPDU());
}

// Echo turned off by a command not spelt "ATE0" ("ATV1E0", "AT&FE0", a profile restored by ATZ):
// learnt from the answer that comes without it, so nothing waits for an echo and nothing is sent
// twice.
TEST_F(ModemQuirks, EchoIsLearntFromWhatTheModemDoes) {
  Gsm->SetEquipment(eqTC35);
  Gsm->SetRecTimeout(20000);
  Gsm->Open();  // echoes: the channel knows the modem echoes
  Modem->Answer("ATV1E0", {"OK"});
  Gsm->SendATCommand("ATV1E0", wmResult);
  Modem->SetEcho(false);
  Modem->On("AT+CMGS=", Prompted({"\r\n+CMGS: 5\r\n\r\nOK\r\n"}));
  auto m0 = Message();
  TSMSSubmit& s = *m0;
  Gsm->SendSMS(&s);
  EXPECT_EQ(Gsm->LastMessageReference(), 5);
  EXPECT_EQ(CmgsSent(), 1);
  EXPECT_EQ(Modem->Bodies().size(), 1u);
  TStringList lines;
  Modem->Answer("AT+CGMI", {"Quectel", "OK"});
  Gsm->SendATCommand("AT+CGMI", wmAnswer, &lines, 1);
  EXPECT_EQ(lines.Text(), "Quectel\n");
}

// A modem that echoes AT+CGMM at once but still answers the timed-out AT+CGMI first: the first
// final result after the echo is AT+CGMI's.
TEST_F(ModemQuirks, ALateAnswerAfterTheNextEchoIsTheEarlierCommands) {
  Gsm->OpenComDevice();
  Gsm->SetRecTimeout(300);
  Modem->SetEcho(false);  // echoes written by the rules, where this modem puts them
  Modem->On("AT+CGMI", Say({"AT+CGMI\r"}));
  Modem->On("AT+CGMM", Say({"AT+CGMM\r", "\r\nQuectel\r\n\r\nOK\r\n", "\r\nEC25\r\n\r\nOK\r\n"}, 50));
  TStringList lines;
  EXPECT_EQ(Error([&] { Gsm->SendATCommand("AT+CGMI", wmAnswer, &lines, 1); }), "No reply on AT command: AT+CGMI");
  lines.Clear();
  Gsm->SetRecTimeout(20000);
  EXPECT_EQ(Gsm->SendATCommand("AT+CGMM", wmAnswer, &lines, 1), 0);
  EXPECT_EQ(lines.Text(), "EC25\n");
  // The debt is paid: the next command's answer is its own again.
  Modem->On("AT+CGMR", Say({"AT+CGMR\r", "\r\nEM06ELAR03A05M4G\r\n\r\nOK\r\n"}));
  lines.Clear();
  Gsm->SendATCommand("AT+CGMR", wmAnswer, &lines, 1);
  EXPECT_EQ(lines.Text(), "EM06ELAR03A05M4G\n");
}

// The port's thread must not wait for the main thread while the open is under way: the port is
// opened with its lines handed over directly.
TEST_F(ModemQuirks, ThePortOpensWithoutWaitingForTheMainThread) {
  struct TWatchedComm : CommConnect::TComm {
    using TComm::TComm;
    bool DirectAtOpen = false;
    void OpenConn() override {
      DirectAtOpen = DontSynchronize();
      TComm::OpenConn();
    }
  };
  auto port = Framework::MakeComponent<TWatchedComm>(nullptr);
  port->SetDeviceName(Pty.SlavePath());
  auto gsm = Framework::MakeComponent<TGSM>(nullptr);
  gsm->SetComDevice(port.get());
  gsm->SetEquipment(eqTC35);
  gsm->Open();
  EXPECT_TRUE(port->DirectAtOpen);
  gsm.reset();
}

TEST(ATReplies, UnsolicitedAndRestartLines) {
  for (const char* l : {"RDY", "Call Ready", "SMS Ready", "#STN: 150,1,\"\"", "^RSSI: 12", "+CREG: 1", "*PSUTTZ: 1"})
    EXPECT_TRUE(IsUnsolicitedLine(l, "+CGMM")) << l;
  for (const char* l : {"EC25", "+CGMM: EC25", "#CGMM: LE910", "0011000B91", "> ", "+4917 is my number"})
    EXPECT_FALSE(IsUnsolicitedLine(l, l[0] == '#' ? "#CGMM" : "+CGMM")) << l;
  for (const char* l : {"RDY", "^SYSSTART", "SMS Ready", "+QIND: SMS DONE"}) EXPECT_TRUE(IsRestartLine(l)) << l;
  for (const char* l : {"+CPIN: READY", "OK", "^BOOT:12345,0,0,0,6", "Call Ready"}) EXPECT_FALSE(IsRestartLine(l)) << l;
}

TEST(ModemModels, AutoDetectionFromWhatTheModemSays) {
  struct TCase {
    const char *Maker, *Model;
    TGSMEquipment Want;
  } cases[] = {{"Quectel", "EC25", eqQuectel},
               {"SIMCOM INCORPORATED", "SIMCOM_SIM7600E-H", eqSIMCom},
               {"SIMCOM_Ltd", "SIMCOM_SIM800L", eqSIMCom},
               {"huawei", "E3372", eqHuawei},
               {"Sierra Wireless, Incorporated", "MC7455", eqSierra},
               {"u-blox", "SARA-U201", eqUblox},
               {"Telit", "LE910C1-EU", eqTelit},
               {"SIEMENS", "TC35", eqTC35},
               {"WAVECOM MODEM", "MULTIBAND  900E  1800", eqWaveCom},
               {"HALYARD", "Siemens M20", eqM20},  // the simulator names the model it plays
               {"ACME", "X1", eqGeneric},
               {"", "", eqGeneric}};
  for (const auto& c : cases) EXPECT_EQ(EquipmentFor(c.Maker, c.Model), c.Want) << c.Maker << " " << c.Model;
  EXPECT_EQ(Str2GMSEquipment("GENERIC"), eqGeneric);
  EXPECT_EQ(Str2GMSEquipment("u-blox"), eqUblox);
}

// Quectel keeps everything in "ME"; listing goes where new messages arrive, not to "SM".
TEST_F(ModemQuirks, StoragesAsTheModemHasThem) {
  Gsm->SetEquipment(eqQuectel);
  Modem->Answer("AT+CPMS?", {"+CPMS: \"ME\",0,255,\"ME\",0,255,\"ME\",0,255", "OK"});
  Modem->Answer("AT+CPMS=?", {"+CPMS: (\"SM\",\"ME\",\"MT\",\"SR\"),(\"SM\",\"ME\",\"MT\"),(\"SM\",\"ME\",\"MT\")", "OK"});
  Gsm->Open();
  EXPECT_EQ(Gsm->MessageStorage(), "\"ME\"");
  EXPECT_EQ(Gsm->ReceiveStorage(), "\"ME\"");
  EXPECT_EQ(Gsm->OfferedStorages(), (std::vector<std::string>{"\"SM\"", "\"ME\"", "\"MT\"", "\"SR\""}));
  // A report stored in "SR" is announced as "SM".
  std::vector<std::pair<std::string, int>> stored;
  Gsm->SetOnUnsolicitedSMS([&](Framework::TObject*, int Index, TSMS* Sms) {
    if (!Sms) stored.emplace_back(Gsm->MessageStorage(), Index);
  });
  Modem->Inject("\r\n+CDSI: \"SM\",4\r\n");
  ASSERT_TRUE(HalyardTest::WaitFor([&] { return !stored.empty(); }, 10000, true));
  EXPECT_EQ(stored[0], (std::pair<std::string, int>{"\"SR\"", 4}));
  Gsm->Close();

  // Huawei E3372-325 takes +CPMS only with all three memories (gammu issues #829, #908).
  Gsm->SetEquipment(eqHuawei);
  Modem->Answer("AT+CPMS?", {"+CPMS: \"SM\",0,30,\"SM\",0,30,\"ME\",2,100", "OK"});
  Modem->Answer("AT+CPMS=\"ME\"", {"+CMS ERROR: 302"});
  Modem->Answer("AT+CPMS=\"ME\",\"SM\",\"ME\"", {"+CPMS: 2,100,0,30,2,100", "OK"});
  Modem->Answer("AT+CPMS=\"SM\",\"SM\",\"ME\"", {"+CPMS: 0,30,0,30,2,100", "OK"});
  Mark();
  Gsm->Open();
  EXPECT_EQ(Gsm->MessageStorage(), "\"ME\"");
  Commands sent = Sent();
  EXPECT_EQ(std::count(sent.begin(), sent.end(), "AT+CPMS=\"ME\""), 1);
  EXPECT_EQ(std::count(sent.begin(), sent.end(), "AT+CPMS=\"ME\",\"SM\",\"ME\""), 1);
  Mark();
  Gsm->Setmem1("\"SM\"");  // learnt: straight to the form it takes
  EXPECT_EQ(Sent(), Commands{"AT+CPMS=\"SM\",\"SM\",\"ME\""});
  EXPECT_EQ(Gsm->MessageStorage(), "\"SM\"");
}

// Sierra MC7455 offers <ds> 1 and refuses it (+CMS ERROR 303): stepped down to 2, which it takes.
TEST_F(ModemQuirks, IndicationsFallBackToWhatTheModemTakes) {
  Gsm->SetEquipment(eqSierra);
  Gsm->SetUnsolicitedIndication({uindSMSDeliver, uindSMSStatusReport});
  Modem->Answer("AT+CNMI=?", {"+CNMI: (0-2),(0-3),(0,2),(0-2),(0,1)", "OK"});
  Modem->Answer("AT+CNMI=2,2,0,1,1", {"+CMS ERROR: 303"});
  Modem->Answer("AT+CNMI=2,2,0,2,1", {"OK"});
  Mark();
  Gsm->Open();
  EXPECT_EQ(Gsm->IndicationSetting(), "2,2,0,2,1");
  EXPECT_TRUE(Gsm->UnsolicitedIndication().Contains(uindSMSStatusReport));
  Commands sent = Sent();
  EXPECT_EQ(std::count(sent.begin(), sent.end(), "AT+CNMI=2,2,0,1,1"), 1);  // not retried as it was
  Gsm->Close();
  // Nothing taken for reports at all: 0, and the application hears there are none.
  Modem->Answer("AT+CNMI=2,2,0,2,1", {"+CMS ERROR: 303"});
  Modem->Answer("AT+CNMI=2,2,0,0,1", {"OK"});
  Gsm->SetUnsolicitedIndication({uindSMSDeliver, uindSMSStatusReport});
  Gsm->Open();
  EXPECT_EQ(Gsm->IndicationSetting(), "2,2,0,0,1");
  EXPECT_FALSE(Gsm->UnsolicitedIndication().Contains(uindSMSStatusReport));
}

// "RDY" and Quectel's "+QIND: SMS DONE" after the open: the modem started again and lost its
// settings; noise and boot lines during the open do not count.
TEST_F(ModemQuirks, ARestartIsNoticed) {
  Gsm->SetEquipment(eqQuectel);
  Modem->Answer("AT+CPIN?", {"RDY", "+CPIN: READY", "OK"});
  Gsm->Open();
  EXPECT_FALSE(Gsm->TakeRestart());
  Modem->Inject("\r\n^RSSI: 12\r\n");
  Modem->Inject("\r\nRDY\r\n\r\n+CPIN: READY\r\n\r\n+QIND: SMS DONE\r\n");
  ASSERT_TRUE(HalyardTest::WaitFor([&] { return Gsm->TakeRestart(); }, 10000, true));
  EXPECT_FALSE(Gsm->TakeRestart());
}
