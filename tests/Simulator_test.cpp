// End to end: TComm and TGSM against the modem simulator on a pseudo-terminal, for every model.
#include <gtest/gtest.h>

#include <tuple>

#include "PtyPair.h"
#include "halyard/gsm/GSM.h"
#include "halyard/simulator/GSMSimulator.h"

using namespace Halyard;
using namespace Halyard::GSM;
using Framework::MakeComponent;
using HalyardTest::TPtyPair;
using HalyardTest::WaitFor;

namespace {

bool HasPINStage(TGSMEquipment m) { return m != eqNokia6210 && m != eqNokia9110 && m != eqT260; }

class SimulatedModem : public ::testing::TestWithParam<std::tuple<TGSMEquipment, int>> {
 protected:
  void SetUp() override {
    auto [model, format] = GetParam();
    Simulator::TSimOptions opt;
    opt.Model = model;
    if (HasPINStage(model)) opt.PIN = "1234";
    Sim = std::make_unique<Simulator::TGSMSimulator>(opt);
    Sim->Start(Pty.Master(), Pty.Master());
    Port = MakeComponent<CommConnect::TComm>(nullptr);
    Port->SetDeviceName(Pty.SlavePath());
    Gsm = MakeComponent<TGSM>(nullptr);
    Gsm->SetComDevice(Port.get());
    Gsm->SetEquipment(model);
    Gsm->SetSMSFormat(static_cast<uint8_t>(format));
    Gsm->SetPIN("1234");
    Gsm->SetRecTimeout(2000);
    Gsm->SetRepeatTimeout(50);
    Gsm->SetRepeatCount(2);
    Gsm->SetOnUnsolicitedSMS([this](TObject*, int idx, TSMS* sms) {
      Indexes.push_back(idx);
      if (auto* d = dynamic_cast<TSMSDeliver*>(sms)) Texts.push_back(d->Packed() ? SMStoISO(d->UD) : d->UD);
    });
  }
  void TearDown() override {
    Gsm.reset();
    Port.reset();
    Sim.reset();
  }
  void SendToSelf(const std::string& text) {
    TSMSSubmit s;
    s.GSM = Gsm.get();
    s.DA = "+15550000001";
    s.UD = Gsm->SMSFormat() == 1 ? text : ISOtoSMS(text);
    Gsm->SendSMS(&s);
  }

  TPtyPair Pty;
  std::unique_ptr<Simulator::TGSMSimulator> Sim;
  Framework::TOwned<CommConnect::TComm> Port;
  Framework::TOwned<TGSM> Gsm;
  std::vector<int> Indexes;
  std::vector<std::string> Texts;
};

}  // namespace

TEST_P(SimulatedModem, OpenSendReceiveListReadDeleteClose) {
  Gsm->Open();
  ASSERT_TRUE(Gsm->Active());
  EXPECT_EQ(Gsm->GetMEId(1), "HALYARD");
  // Stored on arrival, announced by index.
  Gsm->SetUnsolicitedIndication({uindSMSDeliver, uindOnlyIndication});
  EXPECT_EQ(Gsm->UnsolicitedIndication(), (TGSMUnsolicitedIndicationSet{uindSMSDeliver, uindOnlyIndication}));
  SendToSelf("stored one");
  ASSERT_TRUE(WaitFor([&] { return !Indexes.empty(); }, 5000, true));
  int index = Indexes[0];
  ASSERT_GE(index, 1);
  int status = -1;
  auto m = Gsm->ReadSMS(index, status);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(Gsm->SMSFormat() == 1 ? m->UD : SMStoISO(m->UD), "stored one");
  auto list = Gsm->GetSMSList(4);
  ASSERT_EQ(list->Count(), 1);
  EXPECT_EQ(list->Names(0), std::to_string(index));
  ASSERT_NE(list->Objects(0), nullptr);
  Gsm->DeleteSMS(index);
  EXPECT_EQ(Gsm->GetSMSList(4)->Count(), 0);
  // Delivered directly, as an object, and acknowledged.
  Gsm->SetUnsolicitedIndication({uindSMSDeliver});
  SendToSelf("direct two");
  ASSERT_TRUE(WaitFor([&] { return !Texts.empty(); }, 5000, true));
  EXPECT_EQ(Texts[0], "direct two");
  Gsm->Close();
  EXPECT_FALSE(Gsm->Active());
}

namespace {
std::vector<std::tuple<TGSMEquipment, int>> Cases() {
  std::vector<std::tuple<TGSMEquipment, int>> c;
  for (int m = eqA1; m <= eqTC35; ++m) {
    auto model = static_cast<TGSMEquipment>(m);
    if (TGSMEquipmentSet::FromBits(0x07DF).Contains(model)) c.emplace_back(model, 0);
    if (TGSMEquipmentSet::FromBits(0x04F4).Contains(model)) c.emplace_back(model, 1);
  }
  return c;
}
}  // namespace

INSTANTIATE_TEST_SUITE_P(EveryModel, SimulatedModem, ::testing::ValuesIn(Cases()),
                         [](const auto& p) {
                           return std::string(GSMEquipmentShortName[std::get<0>(p.param)]) +
                                  (std::get<1>(p.param) ? "_text" : "_pdu");
                         });

namespace {
// Feeds a command line and gives what the simulator answered to it; Out collects everything.
std::function<std::string(const std::string&)> Asker(Simulator::TGSMSimulator& sim, std::string& out) {
  sim.Output = [&out](const std::string& s) { out += s; };
  return [&sim, &out](const std::string& cmd) {
    out.clear();
    sim.Feed(cmd + "\r");
    return out;
  };
}
}  // namespace

TEST(SimulatorAlone, SpeaksAT) {
  Simulator::TSimOptions opt;
  opt.Model = eqM1;
  opt.PIN = "1111";
  Simulator::TGSMSimulator sim(opt);
  std::string out;
  auto ask = Asker(sim, out);
  EXPECT_EQ(ask("ATE0"), "ATE0\r\r\nOK\r\n");
  EXPECT_EQ(ask("AT+CPIN?"), "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n");
  EXPECT_EQ(ask("AT+CMGL"), "\r\n+CMS ERROR: 311\r\n");
  ask("AT+CMEE=1");
  EXPECT_EQ(ask("AT+CPIN=\"0000\""), "\r\n+CME ERROR: 16\r\n");
  EXPECT_EQ(ask("AT+CPIN=\"0000\""), "\r\n+CME ERROR: 16\r\n");
  EXPECT_EQ(ask("AT+CPIN=\"0000\""), "\r\n+CME ERROR: 12\r\n");
  EXPECT_EQ(ask("AT+CPIN?"), "\r\n+CPIN: SIM PUK\r\n\r\nOK\r\n");
  EXPECT_EQ(ask("AT+CPIN=\"12345678\",\"2222\""), "\r\nOK\r\n");
  EXPECT_EQ(ask("AT+CNMA"), "\r\n+CMS ERROR: 340\r\n");
  ask("AT+CMEE=2");
  EXPECT_EQ(ask("AT+CPIN=\"2222\""), "\r\n+CME ERROR: Operation not allowed\r\n");
  EXPECT_EQ(ask("AT+CMGF=1"), "\r\n+CME ERROR: Operation not supported\r\n");  // M1: PDU only
  ask("AT+CREG=1");
  out.clear();
  sim.SetRegistration(5);
  EXPECT_EQ(out, "\r\n+CREG: 5\r\n");
  sim.Feed("AT+CMGS=5\r");
  EXPECT_NE(out.find("> "), std::string::npos);
  out.clear();
  sim.Feed("00\x1B");  // ESC cancels
  EXPECT_EQ(out, "\r\nOK\r\n");
  EXPECT_EQ(sim.Control("bogus"), "unknown control command: bogus");
}

// What other programs send: NUL before the CR, several commands on a line, +CMGW with its
// status, and long messages to the modem's own number.
TEST(SimulatorAlone, SpeaksAsClientsExpect) {
  Simulator::TGSMSimulator sim;  // TC35: PDUs with the service-centre octet
  std::string out;
  auto ask = Asker(sim, out);
  ask("ATE0");
  EXPECT_EQ(ask(std::string("AT+CIMI\0", 8)), "\r\n001010123456789\r\n\r\nOK\r\n");
  EXPECT_EQ(ask("AT+CMEE=1;+CREG=2;+CGREG=2"), "\r\nOK\r\n");
  EXPECT_EQ(ask("ATE0V1&D2S0=0"), "\r\nOK\r\n");
  EXPECT_EQ(ask("AT+CREG?;+CGREG?"), "\r\n+CREG: 2,1,\"00C3\",\"0010\"\r\n\r\n+CGREG: 2,1,\"00C3\",\"0010\"\r\n\r\nOK\r\n");
  EXPECT_EQ(ask("AT+CMEE=1;+CMEE=7;+CREG=0"), "\r\n+CME ERROR: 4\r\n");  // the first failure ends the line
  EXPECT_EQ(ask("AT+CREG?"), "\r\n+CREG: 2,1,\"00C3\",\"0010\"\r\n\r\nOK\r\n");

  // Written as given, status included, and listed with the service-centre octet and the TPDU's
  // length.
  const std::string written = "07911326040000F0" "11000B915155000000F20000AA05E8329BFD06";
  ask("AT+CMGW=19,3");
  EXPECT_EQ(ask(written + "\x1A"), "\r\n+CMGW: 1\r\n\r\nOK\r\n");
  EXPECT_EQ(ask("AT+CMGL=4"), "\r\n+CMGL: 1,3,,19\r\n" + written + "\r\n\r\nOK\r\n");
  EXPECT_EQ(ask("AT+CMGW=19,7"), "\r\n+CMS ERROR: 304\r\n");  // no such status: no prompt
  EXPECT_EQ(ask("AT+CMGD=1"), "\r\nOK\r\n");

  // To its own number: a DELIVER with the header bit, PID, DCS and user data as sent.
  ask("AT+CNMI=2,2,0,0,0");
  const std::string ud = "0A050003E80201C8329BFD06";  // a concatenation header and septets
  const std::string submit = "0041000B915155000000F1" "0008" + ud;
  out.clear();
  ask("AT+CMGS=" + std::to_string(submit.size() / 2 - 1));
  ask(submit + "\x1A");
  size_t cmt = out.find("+CMT: ,");
  ASSERT_NE(cmt, std::string::npos) << out;
  std::string pdu = out.substr(out.find("\r\n", cmt) + 2);
  pdu = pdu.substr(0, pdu.find("\r\n"));
  auto d = GSM::TSMS2::CreateSMS(nullptr, pdu, true);
  auto* deliver = dynamic_cast<GSM::TSMSDeliver*>(d.get());
  ASSERT_NE(deliver, nullptr);
  EXPECT_EQ(deliver->SCA, "+15550009999");
  EXPECT_TRUE(deliver->GetPDUTypeBit(6));  // the header bit
  EXPECT_EQ(deliver->DCS, 0x08);
  EXPECT_EQ(pdu.substr(pdu.size() - ud.size()), ud);
}
