#include <gtest/gtest.h>

#include "GSMFixture.h"
#include "halyard/gsm/CellBroadcast.h"

using namespace Halyard;
using namespace Halyard::GSM;
using Framework::Application;
using HalyardTest::Commands;
using HalyardTest::WaitFor;
using HalyardTest::DeliverPDU;

namespace {

struct Seen {
  int Idx;
  std::string Kind;
  std::string Text;
};

class GSMUnsolicited : public HalyardTest::TGSMFixture {
 protected:
  void Listen() {
    Gsm->SetOnUnsolicitedSMS([this](TObject*, int idx, TSMS* sms) {
      Seen s{idx, "", ""};
      if (auto* d = dynamic_cast<TSMSDeliver*>(sms)) s = {idx, "deliver", d->OA + ":" + d->UD};
      else if (auto* r = dynamic_cast<TSMSStatusReport*>(sms)) s = {idx, "report", std::to_string(r->ST)};
      else if (auto* c = dynamic_cast<TCellBroadcast*>(sms)) s = {idx, "cb", c->Content};
      Messages.push_back(s);
    });
    Gsm->SetOnUnsolicitedLine([this](TObject*, const std::string& l) { Lines.push_back(l); });
    Gsm->SetOnNetworkRegistration([this](TObject*, int st) { Registrations.push_back(st); });
  }
  bool Pump(const std::function<bool()>& cond) { return WaitFor(cond, 5000, true); }
  bool SawLine(const std::string& l) { return std::find(Lines.begin(), Lines.end(), l) != Lines.end(); }
  std::vector<Seen> Messages;
  std::vector<std::string> Lines;
  std::vector<int> Registrations;
};


}  // namespace

// The engine's side of the rules (which are tested as strings): what it does for each action.
TEST_F(GSMUnsolicited, DeliveredPDUIsDecodedAndAcknowledgedAndAStoredItemSelectsItsStorage) {
  Listen();
  Gsm->Open();  // the fixture's modem reports message service 1
  Mark();
  Modem->Inject("\r\n+CMT: ,24\r\n" + DeliverPDU("+4917", "hello") + "\r\n");
  ASSERT_TRUE(Pump([&] { return !Messages.empty(); }));
  EXPECT_EQ(Messages[0].Idx, -1);
  EXPECT_EQ(Messages[0].Text, "+4917:hello");
  ASSERT_TRUE(WaitFor([&] { return Sent() == Commands{"AT+CNMA"}; }, 3000, true));
  // Lines ended by a line feed alone, or a carriage return alone: the body loses no character.
  Modem->Inject("+CMT: ,24\n" + DeliverPDU("+4918", "lf") + "\n");
  Modem->Inject("+CMT: ,24\r" + DeliverPDU("+4919", "cr") + "\r");
  ASSERT_TRUE(Pump([&] { return Messages.size() == 3; }));
  EXPECT_EQ(Messages[1].Text, "+4918:lf");
  EXPECT_EQ(Messages[2].Text, "+4919:cr");
  Mark();
  Modem->Inject("\r\n+CMTI: \"ME\",5\r\n");
  ASSERT_TRUE(Pump([&] { return Messages.size() == 4; }));
  EXPECT_EQ(Messages[3].Idx, 5);
  EXPECT_EQ(Messages[3].Kind, "");
  EXPECT_EQ(Gsm->MessageStorage(), "\"ME\"");
  EXPECT_EQ(Sent(), Commands{"AT+CPMS=\"ME\""});
}

TEST_F(GSMUnsolicited, RegistrationForms) {
  Listen();
  Gsm->Open();  // the answer "+CREG: 0,1" at open reports 1
  ASSERT_TRUE(Pump([&] { return !Registrations.empty(); }));
  EXPECT_EQ(Registrations, std::vector<int>{1});
  Modem->Inject("\r\n+CREG: 2\r\n\r\n+CREG: 2\r\n\r\n+CREG: (0-2)\r\n\r\n+CREG: 1,5\r\n\r\n+CREG: 3,\"00C3\",\"0010\"\r\nMARK\r");
  ASSERT_TRUE(Pump([&] { return SawLine("MARK"); }));
  EXPECT_EQ(Registrations, (std::vector<int>{1, 2, 5, 3}));
  Gsm->Close();
  EXPECT_EQ(Registrations.back(), 0);
  EXPECT_EQ(Gsm->RegistrationStatus(), 0);
}

TEST_F(GSMUnsolicited, IndicationSettingFromTheModemsOffer) {
  Gsm->Open();
  Mark();
  Gsm->SetUnsolicitedIndication({uindSMSDeliver});
  EXPECT_EQ(Sent(), (Commands{"AT+CNMI=?", "AT+CNMI=2,2,0,0,1"}));
  Mark();
  Gsm->SetUnsolicitedIndication({uindSMSDeliver});  // the same set: nothing sent
  EXPECT_TRUE(Sent().empty());
  Gsm->SetUnsolicitedIndication({uindSMSDeliver, uindSMSStatusReport, uindOnlyIndication});
  EXPECT_EQ(Sent().back(), "AT+CNMI=2,1,0,2,1");
  Modem->Answer("AT+CNMI=?", {"+CNMI: (0-2),(0-3),(0),(0-2),(0,1)", "OK"});
  Gsm->SetUnsolicitedIndication({uindCellBroadcast});
  EXPECT_EQ(Sent().back(), "AT+CNMI=2,0,,0,1");
  EXPECT_TRUE(Gsm->UnsolicitedIndication().Empty());
  // Lists inside the parentheses, as many modems write them, are one parameter each.
  Modem->Answer("AT+CNMI=?", {"+CNMI: (0,1,2),(0,1,2,3),(0,2),(0,1),(0,1)", "OK"});
  Gsm->SetUnsolicitedIndication({uindSMSDeliver});
  EXPECT_EQ(Sent().back(), "AT+CNMI=2,2,0,0,1");
}

TEST_F(GSMUnsolicited, RefusedStorageSwitchKeepsTheStorageAndIsReported) {
  Listen();
  std::vector<std::string> errors;
  Framework::Application().SetOnException([&](const std::exception_ptr& e) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& x) {
      errors.push_back(x.what());
    }
  });
  Gsm->Open();
  std::string before = Gsm->MessageStorage();
  Modem->Answer("AT+CPMS=\"SR\"", {"+CMS ERROR: 302"});
  Modem->Inject("\r\n+CDSI: \"SR\",3\r\n");
  bool reported = Pump([&] { return !errors.empty(); });
  Framework::Application().SetOnException(nullptr);
  ASSERT_TRUE(reported);
  EXPECT_NE(errors[0].find("Message 3 in storage \"SR\" cannot be reached"), std::string::npos) << errors[0];
  EXPECT_EQ(Gsm->MessageStorage(), before);
  EXPECT_TRUE(Messages.empty());
}

TEST_F(GSMUnsolicited, RobustAgainstBadAndEndlessInput) {
  Listen();
  Gsm->Open();
  // A header whose body is garbage, one whose body never comes, a bad stamp: each is dropped.
  Modem->Inject("\r\n+CMT: ,24\r\nZZZZ-not-hex\r\n");
  Modem->Inject("\r\n+CREG: x\r\n");
  std::string flood;
  for (int i = 0; i < 10000; ++i) flood += "\r\n+CIEV: 1," + std::to_string(i % 5) + "\r\n";
  Modem->Inject(flood);
  ASSERT_TRUE(Pump([&] { return SawLine("+CIEV: 1,4") && Lines.size() >= 9999; }));
  Modem->Inject("\r\n+CMT: ,24\r\n");  // the body never comes: the next line is taken for it
  Modem->Inject(DeliverPDU("+1", "after") + "\r\n");
  ASSERT_TRUE(Pump([&] { return !Messages.empty(); }));
  EXPECT_EQ(Messages.back().Text, "+1:after");
  Modem->Answer("AT", {"OK"});
  EXPECT_EQ(Gsm->SendATCommand("AT", wmResult), 0);  // and the component keeps working
}

TEST_F(GSMUnsolicited, CloseFromOwnIndicationHandler) {
  bool inactiveAfterClose = false;
  TGSM* gsm = Gsm.get();
  Gsm->Open();
  Gsm->SetOnUnsolicitedLine([&](TObject*, const std::string& line) {
    if (line != "RING") return;
    gsm->Close();  // the application hangs up on a call
    inactiveAfterClose = !gsm->Active();
  });
  Modem->Inject("\r\nRING\r\n");
  ASSERT_TRUE(Pump([&] { return !Gsm->Active(); }));
  EXPECT_TRUE(inactiveAfterClose);
  Gsm->SetOnUnsolicitedLine(nullptr);
  Gsm->Open();  // and it opens again
  EXPECT_TRUE(Gsm->Active());
}
