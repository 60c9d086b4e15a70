#pragma once
// A TGSM on a TComm on a pseudo-terminal, with a scripted modem that answers the open
// dialogue of every model, and short time-outs.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "PtyPair.h"
#include "ScriptedModem.h"
#include "halyard/gsm/GSM.h"

namespace HalyardTest {

// A received message's PDU as a modem gives it (a service-centre field in front).
inline std::string DeliverPDU(const std::string& oa, const std::string& text) {
  Halyard::GSM::TSMSDeliver d;
  d.OA = oa;
  d.UD = text;
  d.SCTS = Halyard::Framework::EncodeDate(2026, 12, 9);
  return d.GetPDU();
}

using Commands = std::vector<std::string>;

class TGSMFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    Modem = std::make_unique<HalyardTest::TScriptedModem>(Pty);
    for (auto* ok : {"AT+WIND=12", "AT+CREG=1", "AT+CSCA=", "AT+CMGF=", "AT+CSMS=0", "AT+CSDH=1", "AT+CMEE=1",
                     "AT^SMSO", "AT+CFUN=0", "AT+CPIN=", "AT+CPMS=", "AT+CSMP=", "AT+CMGD=", "AT+CNMI=", "AT+CNMA"})
      Modem->Answer(ok, {"OK"});
    Modem->Answer("AT+CPIN?", {"+CPIN: READY", "OK"});
    Modem->Answer("AT+CREG?", {"+CREG: 0,1", "OK"});
    Modem->Answer("AT+CSQ", {"+CSQ: 20,99", "OK"});
    Modem->Answer("AT+CNMI=?", {"+CNMI: (0-2),(0-3),(0-3),(0-2),(0,1)", "OK"});
    Modem->Answer("AT+CPMS?", {"+CPMS: \"SM\",1,10,\"SM\",1,10", "OK"});
    Modem->Answer("AT+CSMS?", {"+CSMS: 1,1,1,1", "OK"});
    Modem->Answer("AT+CGMI", {"HALYARD", "OK"});
    Port = Halyard::Framework::MakeComponent<Halyard::CommConnect::TComm>(nullptr);
    Port->SetDeviceName(Pty.SlavePath());
    Gsm = Halyard::Framework::MakeComponent<Halyard::GSM::TGSM>(nullptr);
    Gsm->SetComDevice(Port.get());
    // Generous: the command sequences these tests check must not change with a retry under load.
    Gsm->SetRecTimeout(3000);
    Gsm->SetRepeatTimeout(10);
    Gsm->SetRepeatCount(2);
  }
  void TearDown() override {
    Gsm.reset();
    Port.reset();
    Modem.reset();
  }
  // What was sent from now on.
  void Mark() { Start = Modem->Received().size(); }
  Commands Sent() {
    auto all = Modem->Received();
    return Commands(all.begin() + static_cast<long>(Start), all.end());
  }
  std::string Error(const std::function<void()>& f) {
    try {
      f();
    } catch (const std::exception& e) {
      return e.what();
    }
    return "(no error)";
  }
  void PromptRule(const std::string& cmd, const std::string& answer) {
    HalyardTest::TScriptedModem::TReply r;
    r.Prompt = true;
    r.Chunks = {"\r\n" + answer + "\r\n\r\nOK\r\n"};
    Modem->On(cmd, r);
  }

  TPtyPair Pty;
  std::unique_ptr<HalyardTest::TScriptedModem> Modem;
  Halyard::Framework::TOwned<Halyard::CommConnect::TComm> Port;
  Halyard::Framework::TOwned<Halyard::GSM::TGSM> Gsm;
  size_t Start = 0;
};


}  // namespace HalyardTest
