#include <gtest/gtest.h>

#include <map>

#include "PtyPair.h"
#include "GSMFixture.h"
#include "ScriptedModem.h"
#include "halyard/auxstr/AuxStr.h"
#include "halyard/gsm/GSM.h"

using namespace Halyard;
using namespace Halyard::GSM;
using Framework::MakeComponent;
using HalyardTest::TPtyPair;
using HalyardTest::TScriptedModem;
using HalyardTest::Commands;

namespace {

class GSMDevice : public HalyardTest::TGSMFixture {};

}  // namespace

TEST_F(GSMDevice, DefaultsOfANewComponent) {
  EXPECT_EQ(Gsm->Equipment(), eqM1);
  EXPECT_EQ(Gsm->SMSFormat(), 0);
  auto fresh = MakeComponent<TGSM>(nullptr);
  EXPECT_EQ(fresh->RepeatCount(), 5);
  EXPECT_EQ(fresh->RecTimeout(), 6000);
  EXPECT_EQ(fresh->RepeatTimeout(), 500);
  EXPECT_FALSE(fresh->ExtendedErrorMsg());
  EXPECT_EQ(fresh->MessageStorage(), "\"SM\"");
}

TEST_F(GSMDevice, OpenDialogueOfEveryModel) {
  std::map<TGSMEquipment, Commands> want = {
      {eqA1, {"AT+CPIN?", "AT+CREG?", "AT+CREG=1", "AT+CPMS?", "AT+CSMS?", "AT+CMGF=0", "AT+CNMI=?", "AT+CNMI=2,0,0,0,1"}},
      {eqM1, {"AT+CPIN?", "AT+CREG?", "AT+CREG=1", "AT+CPMS?", "AT+CSMS?", "AT+CMGF=0", "AT+CNMI=?", "AT+CNMI=2,0,0,0,1"}},
      {eqM20, {"AT+CPIN?", "AT+CREG?", "AT+CREG=1", "AT+CPMS?", "AT+CSMS?", "AT+CMGF=0", "AT+CSMS=0", "AT+CNMI=?", "AT+CNMI=2,0,0,0,1"}},
      // The GM12 works on "ME": selected while opening, not only remembered.
      {eqGM12, {"AT+CPIN?", "AT+CREG?", "AT+CREG=1", "AT+CPMS?", "AT+CSMS?", "AT+CMGF=0", "AT+CPMS=\"ME\"", "AT+CNMI=?", "AT+CNMI=2,0,0,0,1"}},
      {eqNokia6210, {"AT+CREG?", "AT+CREG=1", "AT+CPMS?", "AT+CSMS?", "AT+CMGF=0", "AT+CNMI=?", "AT+CNMI=2,0,0,0,1"}},
      {eqNokia9110, {"AT+CPMS?", "AT+CSMS?", "AT+CMGF=1", "AT+CSDH=1", "AT+CNMI=?", "AT+CNMI=2,0,0,0,1"}},
      {eqM35, {"AT+CPIN?", "AT+CREG?", "AT+CREG=1", "AT+CPMS?", "AT+CSMS?", "AT+CMGF=0", "AT+CMEE=1", "AT+CNMI=?", "AT+CNMI=2,0,0,0,1"}},
      {eqS25, {"AT+CPIN?", "AT+CREG?", "AT+CREG=1", "AT+CPMS?", "AT+CSMS?", "AT+CMGF=0", "AT+CMEE=1", "AT+CNMI=?", "AT+CNMI=2,0,0,0,1"}},
      {eqT260, {"AT+CSQ", "AT+CPMS?", "AT+CSMS?", "AT+CMGF=0", "AT+CMEE=1", "AT+CNMI=?", "AT+CNMI=2,0,0,0,1"}},
      {eqWaveCom, {"AT+WIND=12", "AT+CPIN?", "AT+CREG?", "AT+CREG=1", "AT+CPMS?", "AT+CSMS?", "AT+CMGF=0", "AT+CNMI=?", "AT+CNMI=2,0,0,0,1"}},
      {eqTC35, {"AT+CPIN?", "AT+CREG?", "AT+CREG=1", "AT+CPMS?", "AT+CSMS?", "AT+CMGF=0", "AT+CNMI=?", "AT+CNMI=2,0,0,0,1"}},
      {eqGeneric, {"AT+CPIN?", "AT+CREG?", "AT+CREG=1", "AT+CPMS?", "AT+CPMS=?", "AT+CSMS?", "AT+CMGF=0", "AT+CMEE=1", "AT+CNMI=?", "AT+CNMI=2,0,0,0,1"}},
      {eqHuawei, {"AT+CPIN?", "AT+CREG?", "AT+CREG=1", "AT+CPMS?", "AT+CPMS=?", "AT+CSMS?", "AT+CMGF=0", "AT^CURC=0", "AT+CMEE=1", "AT+CNMI=?", "AT+CNMI=2,0,0,0,1"}},
  };
  std::map<TGSMEquipment, Commands> switchOff = {{eqA1, {"AT^SMSO"}}, {eqM20, {"AT^SMSO"}}, {eqGM12, {"AT+CFUN=0"}},
                                                 {eqM35, {"AT^SMSO"}}, {eqS25, {"AT^SMSO"}}, {eqTC35, {"AT^SMSO"}}};
  Gsm->SetExtendedErrorMsg(true);
  for (auto& [model, commands] : want) {
    Gsm->SetEquipment(model);
    if (Gsm->GetSupportedSMSFormats().Contains(0)) Gsm->SetSMSFormat(0);
    Mark();
    Gsm->Open();
    EXPECT_EQ(Sent(), commands) << GSMEquipmentShortName[model];
    EXPECT_EQ(Gsm->MessageStorage(), model == eqGM12 ? "\"ME\"" : "\"SM\"");
    EXPECT_EQ(Gsm->SMSService(), 1);
    Mark();
    Gsm->SwitchOff();
    EXPECT_EQ(Sent(), switchOff[model]) << GSMEquipmentShortName[model];
    EXPECT_TRUE(Gsm->Active());
    Gsm->Close();
  }
}

TEST_F(GSMDevice, ServiceCentreOnlyWhenSetAndOnlyWhenChanged) {
  Gsm->SetSCA("+491710760000");  // closed: stored only
  Mark();
  Gsm->Open();
  Commands sent = Sent();
  EXPECT_NE(std::find(sent.begin(), sent.end(), "AT+CSCA=\"+491710760000\""), sent.end());
  Mark();
  Gsm->SetSCA("+491710760000");
  EXPECT_TRUE(Sent().empty());
  Gsm->SetSCA("+49");
  EXPECT_EQ(Sent(), Commands{"AT+CSCA=\"+49\""});
  Gsm->Close();
  Gsm->SetSCA("");
  Mark();
  Gsm->Open();
  sent = Sent();
  for (auto& c : sent) EXPECT_NE(c.rfind("AT+CSCA", 0), 0u) << "an empty address must not be sent";
}

TEST_F(GSMDevice, PinFlows) {
  Gsm->SetEquipment(eqS25);
  Modem->Answer("AT+CPIN?", {"+CPIN: SIM PIN", "OK"});
  EXPECT_EQ(Error([&] { Gsm->Open(); }), "PIN required");
  EXPECT_FALSE(Gsm->Active());
  Gsm->SetPIN("1234");
  Mark();
  Gsm->Open();
  Commands sent = Sent();
  ASSERT_GE(sent.size(), 3u);
  EXPECT_EQ(sent[1], "AT+CPIN=\"1234\"");
  EXPECT_EQ(Gsm->RecTimeout(), 3000);  // the 15000 ms PIN limit is put back
  Gsm->Close();
  Modem->Answer("AT+CPIN=", {"+CME ERROR: 16"});
  Mark();
  EXPECT_EQ(Error([&] { Gsm->Open(); }),
            "+CME ERROR: 16 \"Incorrect password\" was returned on AT command: AT+CPIN=\"1234\"");
  EXPECT_EQ(Modem->Count("AT+CPIN=\"1234\""), 2);  // once now, once before: no repeats
  Modem->Answer("AT+CPIN?", {"+CPIN: SIM PUK", "OK"});
  EXPECT_EQ(Error([&] { Gsm->Open(); }), "PIN is not expected (SIM PUK)");
  Modem->Answer("AT+CPIN?", {"OK"});
  EXPECT_EQ(Error([&] { Gsm->Open(); }), "PIN is not expected (no response)");
}

TEST_F(GSMDevice, ErrorToPinQueryPerModel) {
  Modem->Answer("AT+CPIN?", {"+CME ERROR: 10"});
  Gsm->SetEquipment(eqWaveCom);
  EXPECT_EQ(Error([&] { Gsm->Open(); }), "Error was returned: +CME ERROR: 10");
  EXPECT_EQ(Modem->Count("AT+CPIN?"), 1);
  Gsm->SetEquipment(eqTC35);
  EXPECT_EQ(Error([&] { Gsm->Open(); }),
            "+CME ERROR: 10 \"SIM not inserted\" was returned on AT command: AT+CPIN?");
  EXPECT_EQ(Modem->Count("AT+CPIN?"), 3);
}

TEST_F(GSMDevice, WaveComWaitsForStartUpWhileLinesAreHandled) {
  Gsm->SetEquipment(eqWaveCom);
  Gsm->SetPIN("0000");
  Modem->Answer("AT+CPIN?", {"+CPIN: SIM PIN", "OK"});
  TScriptedModem::TReply r;
  r.Chunks = {"\r\nOK\r\n", "\r\n+WIND: 4\r\n"};
  r.PauseMs = 400;
  Modem->On("AT+CPIN=", r);
  Gsm->Open();  // on the main thread: only keeps working if lines are framed during the wait
  EXPECT_TRUE(Gsm->Active());
}

TEST_F(GSMDevice, PropertyGuardsAndFormatSwitching) {
  Gsm->SetEquipment(eqNokia9110);
  EXPECT_EQ(Gsm->SMSFormat(), 1);
  Gsm->SetEquipment(eqT260);
  EXPECT_EQ(Gsm->SMSFormat(), 0);
  Gsm->SetEquipment(eqM20);
  EXPECT_EQ(Gsm->SMSFormat(), 0);
  Gsm->SetEquipment(eqA1);
  EXPECT_EQ(Error([&] { Gsm->SetSMSFormat(1); }), "SMS format (1) is not supported");
  EXPECT_TRUE(Gsm->GetSupportedSMSFormats() == (TByteSet{0}));
  Gsm->SetEquipment(eqTC35);
  Gsm->SetDefaults();
  EXPECT_EQ(Port->Baudrate(), CommConnect::br19200);
  Gsm->Open();
  EXPECT_EQ(Error([&] { Gsm->SetPIN("1"); }), "Connection is active");
  EXPECT_EQ(Error([&] { Gsm->SetSMSFormat(1); }), "Connection is active");
  EXPECT_EQ(Error([&] { Gsm->SetComDevice(nullptr); }), "Connection is active");
  EXPECT_EQ(Error([&] { Gsm->SetDefaults(); }), "Connection is active");
}

TEST_F(GSMDevice, PortLeftAsItWasAndIdentificationCached) {
  Gsm->Open();
  Gsm->Close();
  EXPECT_FALSE(Port->Active());
  Port->Open();
  Gsm->Open();
  Gsm->Close();
  EXPECT_TRUE(Port->Active());
  Port->Close();
  Gsm->Open();
  Mark();
  EXPECT_EQ(Gsm->GetMEId(1), "HALYARD");
  EXPECT_EQ(Gsm->GetMEId(1), "HALYARD");
  EXPECT_EQ(Sent(), Commands{"AT+CGMI"});
  Mark();
  EXPECT_EQ(Error([&] { Gsm->GetMEId(5); }), "ME identification index 5 is not 1 to 4");
  EXPECT_TRUE(Sent().empty());
  Gsm->Close();
  Mark();
  EXPECT_EQ(Gsm->GetMEId(1), "HALYARD");  // closed: borrows the port each time
  EXPECT_EQ(Gsm->GetMEId(1), "HALYARD");
  EXPECT_EQ(Sent().size(), 2u);
  EXPECT_FALSE(Port->Active());
}

TEST_F(GSMDevice, TextModeSendParameters) {
  Gsm->SetEquipment(eqNokia6210);
  Gsm->SetSMSFormat(1);
  Gsm->Open();
  PromptRule("AT+CMGS=", "+CMGS: 4");
  TSMSSubmit s;
  s.PDUType = 0x11;
  s.VP = 3;
  s.DA = "+4917";
  s.UD = "hello";
  Mark();
  Gsm->SendSMS(&s);
  EXPECT_EQ(Sent(), (Commands{"AT+CSMP=17,169,0,0", "AT+CMGS=\"+4917\""}));
  EXPECT_EQ(Modem->Bodies().back(), "hello");
  s.PDUType = 0x19;
  s.VP = Framework::EncodeDate(2026, 1, 2) + Framework::EncodeTime(3, 4, 5, 0);
  s.TimeZone = -4;
  Mark();
  Gsm->SendSMS(&s);
  EXPECT_EQ(Sent()[0], "AT+CSMP=25,\"26/01/02,03:04:05-04\",0,0");
  TSMSDeliver d;
  EXPECT_EQ(Error([&] { Gsm->SendSMS(&d); }), "SMS type not supported");
  TSMSCommand c;
  EXPECT_EQ(Error([&] { Gsm->SendSMS(&c); }), "SMS type not supported");
  Gsm->Close();
  Gsm->SetEquipment(eqTC35);
  Gsm->Open();
  s.PDUType = 0x01;
  Mark();
  Gsm->SendSMS(&s);
  EXPECT_EQ(Sent()[0], "AT+CSMP=17,,0,0");
}

TEST_F(GSMDevice, PDUModeLengthsPerModel) {
  PromptRule("AT+CMGS=", "+CMGS: 9");
  TSMSSubmit s;
  s.DA = "+0123456789";
  s.UD = "hello";
  for (auto [model, expected] : std::vector<std::pair<TGSMEquipment, int>>{{eqTC35, 17}, {eqWaveCom, 17}, {eqA1, 165}}) {
    Gsm->SetEquipment(model);
    Gsm->Open();
    Mark();
    s.GSM = Gsm.get();
    Gsm->SendSMS(&s);
    EXPECT_EQ(Sent(), Commands{"AT+CMGS=" + std::to_string(expected)}) << GSMEquipmentShortName[model];
    EXPECT_EQ(Modem->Bodies().back(), s.GetPDU());
    Gsm->Close();
  }
  // The WaveCom PDU has no service-centre field: 17 octets of TPDU; the TC35 one has 18 with it.
  Gsm->SetEquipment(eqTC35);
  EXPECT_EQ(s.GetPDU().size() / 2, 18u);
}

TEST_F(GSMDevice, ReadStoredMessagesInTextMode) {
  Gsm->SetEquipment(eqNokia6210);
  Gsm->SetSMSFormat(1);
  Gsm->Open();
  Modem->Answer("AT+CMGR=1", {"+CMGR: \"REC UNREAD\",\"+4917\",,\"26/12/09,10:00:00+04\"", "hello there", "OK"});
  int status = -9;
  auto m = Gsm->ReadSMS(1, status);
  auto* d = dynamic_cast<TSMSDeliver*>(m.get());
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(d->OA, "+4917");
  EXPECT_EQ(d->UD, "hello there");
  EXPECT_EQ(d->TimeZone, 4);
  Modem->Answer("AT+CMGR=2",
                {"+CMGR: \"REC READ\",\"+4917\",,\"26/12/09,10:00:00+04\",145,4,0,0,\"+49\",145,11", "two", "lines", "OK"});
  m = Gsm->ReadSMS(2, status);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->UD, "two\nlines");
  EXPECT_EQ(m->PDUType, 4);
  Modem->Answer("AT+CMGR=3", {"+CMGR: \"STO UNSENT\",\"+4917\",,145,17,0,0,167,\"+49\",145,5", "hello", "OK"});
  m = Gsm->ReadSMS(3, status);
  auto* s = dynamic_cast<TSMSSubmit*>(m.get());
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(status, 2);
  EXPECT_DOUBLE_EQ(s->VP, 1.0);
  EXPECT_EQ(s->UD, "hello");
  Modem->Answer("AT+CMGR=4", {"+CMGR: \"REC READ\",,,\"26/12/09,10:00:00+04\"", "x", "OK"});
  EXPECT_EQ(Gsm->ReadSMS(4, status), nullptr);  // an unquoted address gives no object
  Modem->Answer("AT+CMGR=5", {"+CMGR: \"REC READ\",\"1\",,\"26/13/09,10:00:00+04\"", "x", "OK"});
  EXPECT_THROW(Gsm->ReadSMS(5, status), Framework::EConvertError);  // an impossible stamp
}

TEST_F(GSMDevice, ReadAndListInPDUMode) {
  Gsm->SetEquipment(eqWaveCom);  // no service-centre field, no pauses
  Gsm->Open();
  TSMSDeliver d;
  d.GSM = Gsm.get();
  d.OA = "+4917";
  d.UD = "hi";
  d.SCTS = Framework::EncodeDate(2026, 12, 9);
  TSMSSubmit s;
  s.GSM = Gsm.get();
  s.DA = "+4918";
  s.UD = "yo";
  Modem->Answer("AT+CMGR=1", {"+CMGR: 0,,20", d.GetPDU(), "OK"});
  Modem->Answer("AT+CMGR=2", {"+CMGR: 2,,15", s.GetPDU(), "OK"});
  int status = -1;
  auto m = Gsm->ReadSMS(1, status);
  ASSERT_NE(dynamic_cast<TSMSDeliver*>(m.get()), nullptr);
  EXPECT_EQ(m->UD, "hi");
  m = Gsm->ReadSMS(2, status);
  ASSERT_NE(dynamic_cast<TSMSSubmit*>(m.get()), nullptr);
  EXPECT_EQ(status, 2);
  Modem->Answer("AT+CMGL", {"+CMGL: 1,0,,20", d.GetPDU(), "+CMGL: 2,2,,15", s.GetPDU(), "+CMGL: 3,1,,9", "00FF", "OK"});
  Mark();
  auto list = Gsm->GetSMSList(-1);
  EXPECT_EQ(Sent(), Commands{"AT+CMGL"});
  ASSERT_EQ(list->Count(), 3);
  EXPECT_EQ(list->Text(), "1=0\n2=2\n3=1\n");
  EXPECT_NE(dynamic_cast<TSMSDeliver*>(list->Objects(0)), nullptr);
  EXPECT_NE(dynamic_cast<TSMSSubmit*>(list->Objects(1)), nullptr);
  EXPECT_EQ(list->Objects(2), nullptr);  // undecodable: the entry stays, without object
  Modem->Answer("AT+CMGL=4", {"ERROR"});
  EXPECT_EQ(Gsm->GetSMSList(4)->Count(), 0);  // the WaveCom listing ignores the error
  Mark();
  Gsm->DeleteSMS(2);
  EXPECT_EQ(Sent(), Commands{"AT+CMGD=2"});
  Gsm->Close();
  EXPECT_EQ(Error([&] { Gsm->DeleteSMS(1); }), "Connection is inactive");
  EXPECT_EQ(Error([&] { Gsm->GetSMSList(1); }), "Connection is inactive");
}

TEST_F(GSMDevice, ListInTextModeReadsEachMessage) {
  Gsm->SetEquipment(eqNokia6210);
  Gsm->SetSMSFormat(1);
  Gsm->Open();
  Modem->Answer("AT+CMGL=\"ALL\"", {"+CMGL: 7,\"REC READ\",\"+4917\",,\"26/12/09,10:00:00+00\"", "first", "OK"});
  Modem->Answer("AT+CMGR=7", {"+CMGR: \"REC READ\",\"+4917\",,\"26/12/09,10:00:00+00\"", "first", "OK"});
  auto list = Gsm->GetSMSList(4);
  ASSERT_EQ(list->Count(), 1);
  EXPECT_EQ((*list)[0], "7=1");
  ASSERT_NE(list->Objects(0), nullptr);
  EXPECT_EQ(static_cast<TSMS2*>(list->Objects(0))->UD, "first");
}

TEST_F(GSMDevice, GM12ListsStatusZeroAndStorageSelection) {
  Gsm->SetEquipment(eqGM12);
  Gsm->Open();
  Modem->Answer("AT+CMGL=0", {"OK"});
  Mark();
  Gsm->GetSMSList(-1);
  EXPECT_EQ(Sent(), Commands{"AT+CMGL=0"});
  Mark();
  Gsm->Setmem1("\"ME\"");  // the current one
  EXPECT_TRUE(Sent().empty());
  Gsm->Setmem1("\"SM\"");
  EXPECT_EQ(Sent(), Commands{"AT+CPMS=\"SM\""});
  Gsm->Close();
  Mark();
  Gsm->Setmem1("\"ME\"");
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(Gsm->MessageStorage(), "\"ME\"");
}

TEST_F(GSMDevice, MalformedAnswersNeverCrash) {
  Gsm->SetEquipment(eqWaveCom);
  Gsm->Open();
  int status = 0;
  for (const Commands& answer : std::vector<Commands>{{"+CMGR: ", "OK"},
                                                       {"+CMGR: x,y", "ZZZZ", "OK"},
                                                       {"+CMGR: 0", "", "OK"},
                                                       {"+CMGR: 1,,5", "0791", "OK"},
                                                       {"garbage", "OK"}}) {
    Modem->Answer("AT+CMGR=1", answer);
    try {
      Gsm->ReadSMS(1, status);
    } catch (const Framework::Exception&) {
    }
  }
  Modem->Answer("AT+CMGL", {"+CMGL: 1", "+CMGL: x,y", "FFFF", "+CMGL: 2,0", "OK"});
  try {
    Gsm->GetSMSList(-1);
  } catch (const Framework::Exception&) {
  }
  Modem->Answer("AT+CGMI", {"OK"});  // no answer line
  EXPECT_EQ(Error([&] { Gsm->GetMEId(1); }), "The modem answered AT+CGMI without the information asked for");
}

TEST_F(GSMDevice, ShortOrMalformedAnswersNameTheCommand) {
  struct Case {
    const char* Cmd;
    Commands Answer;
    const char* Error;
  };
  for (const Case& c : std::vector<Case>{
           {"AT+CPMS?", {"OK"}, "The modem answered AT+CPMS? without the information asked for"},
           {"AT+CSMS?", {"OK"}, "The modem answered AT+CSMS? without the information asked for"},
           {"AT+CSMS?", {"+CSMS: x", "OK"}, "The modem's answer to AT+CSMS? has no service number: x"},
           {"AT+CNMI=?", {"OK"}, "The modem answered AT+CNMI=? without the information asked for"}}) {
    Modem->Answer(c.Cmd, c.Answer);
    EXPECT_EQ(Error([&] { Gsm->Open(); }), c.Error) << c.Cmd;
    EXPECT_FALSE(Gsm->Active());
    Modem->Answer("AT+CPMS?", {"+CPMS: \"SM\",1,10,\"SM\",1,10", "OK"});
    Modem->Answer("AT+CSMS?", {"+CSMS: 1,1,1,1", "OK"});
    Modem->Answer("AT+CNMI=?", {"+CNMI: (0-2),(0-3),(0-3),(0-2),(0,1)", "OK"});
  }
}
