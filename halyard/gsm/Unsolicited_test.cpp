// The unsolicited rules as strings: lines as modems send them (forms from ModemManager's
// mm-modem-helpers tests and gammu's ATGEN replies), the action each asks for.
#include "halyard/gsm/Unsolicited.h"

#include <gtest/gtest.h>

#include "GSMFixture.h"

#include "halyard/gsm/CellBroadcast.h"
#include "halyard/gsm/GSMUtils.h"

using namespace Halyard;
using namespace Halyard::GSM;
using A = TUnsolicitedAction;
using HalyardTest::DeliverPDU;

namespace {

TUnsolicitedContext Pdu(TGSMEquipment Model = eqTC35) { return TUnsolicitedContext::Of(GSMModel(Model), false); }
TUnsolicitedContext Text(TGSMEquipment Model = eqTC35) { return TUnsolicitedContext::Of(GSMModel(Model), true); }


}  // namespace

TEST(UnsolicitedRules, RegistrationInItsForms) {
  for (auto [line, status] : std::initializer_list<std::pair<const char*, int>>{
           {"+CREG: 2", 2}, {"+CREG: 1,5", 5}, {"+CREG: 3,\"00C3\",\"0010\"", 3}, {"+CREG: 0,1", 1},
           {"+CREG: 5,\"1A2B\",\"00C3A01\",7", 5}}) {
    A a = UnsolicitedAction(line, Pdu());
    EXPECT_EQ(a.Kind, A::uaRegistration) << line;
    EXPECT_EQ(a.Registration, status) << line;
  }
  EXPECT_EQ(UnsolicitedAction("+CREG: (0-2)", Pdu()).Kind, A::uaNone);  // the answer to AT+CREG=?
  EXPECT_THROW(UnsolicitedAction("+CREG: x", Pdu()), std::exception);  // dropped by the engine
  // The rules match their prefix with its letter case.
  EXPECT_EQ(UnsolicitedAction("+creg: 1", Pdu()).Kind, A::uaLine);
}

TEST(UnsolicitedRules, WhatDependsOnTheModel) {
  // "+WIND: 4" ends a WaveCom's start-up; to others it is a line like any.
  EXPECT_EQ(UnsolicitedAction("+WIND: 4", Pdu(eqWaveCom)).Kind, A::uaStartedUp);
  EXPECT_EQ(UnsolicitedAction("+WIND: 1", Pdu(eqWaveCom)).Kind, A::uaNone);
  EXPECT_EQ(UnsolicitedAction("+WIND: 4", Pdu(eqTC35)).Kind, A::uaLine);
  // The T260 is registered when it knows its signal.
  A a = UnsolicitedAction("+CSQ: 15", Pdu(eqT260));
  EXPECT_EQ(a.Kind, A::uaRegistration);
  EXPECT_EQ(a.Registration, 1);
  EXPECT_EQ(UnsolicitedAction("+CSQ: 99", Pdu(eqT260)).Registration, 0);
  EXPECT_EQ(UnsolicitedAction("+CSQ: 17,99", Pdu(eqT260)).Registration, 1);
  EXPECT_EQ(UnsolicitedAction("+CSQ: (0-31,99),(0-7,99)", Pdu(eqT260)).Kind, A::uaLine);
  EXPECT_EQ(UnsolicitedAction("+CSQ: 15,99", Pdu(eqTC35)).Kind, A::uaLine);
  // Its "+CDS: <mem>,<index>" names a stored report; elsewhere "+CDS:" is the report.
  a = UnsolicitedAction("+CDS: \"SR\",4", Pdu(eqT260));
  EXPECT_EQ(a.Kind, A::uaStored);
  EXPECT_EQ(a.Stored.Storage, "\"SR\"");
  EXPECT_EQ(a.Stored.Index, 4);
  EXPECT_EQ(UnsolicitedAction("+CDS: 25", Pdu(eqTC35)).Kind, A::uaAwaitBody);
  // Quectel stores reports in "SR" and names "SM" (ModemManager's quectel plugin notes it).
  EXPECT_EQ(UnsolicitedAction("+CDSI: \"SM\",2", Pdu(eqQuectel)).Stored.Storage, "\"SR\"");
  EXPECT_EQ(UnsolicitedAction("+CDSI: \"SM\",2", Pdu(eqGeneric)).Stored.Storage, "\"SM\"");
}

TEST(UnsolicitedRules, StoredItems) {
  for (const char* line : {"+CMTI: \"ME\",5", "+CBMI: \"ME\",5", "+CDSI: \"ME\",5", "+CMTI: \"ME\", 5"}) {
    A a = UnsolicitedAction(line, Pdu());
    EXPECT_EQ(a.Kind, A::uaStored) << line;
    EXPECT_EQ(a.Stored.Storage, "\"ME\"") << line;
    EXPECT_EQ(a.Stored.Index, 5) << line;
  }
}

TEST(UnsolicitedRules, HeadersAndTheirBodies) {
  // PDU mode: the body is the next line, a PDU.
  A a = UnsolicitedAction("+CMT: ,24", Pdu());
  ASSERT_EQ(a.Kind, A::uaAwaitBody);
  EXPECT_EQ(a.BodyLength, -1);
  CompleteBody(*a.Message, DeliverPDU("+4917", "hello"), false);
  auto* d = dynamic_cast<TSMSDeliver*>(a.Message.get());
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->OA + ":" + d->UD, "+4917:hello");
  A bad = UnsolicitedAction("+CMT: ,24", Pdu());
  EXPECT_THROW(CompleteBody(*bad.Message, "ZZZZ-not-hex", false), std::exception);

  TSMSStatusReport r;
  r.ST = 0x20;
  r.RA = "+4917";
  r.SCTS = r.DT = Framework::EncodeDate(2026, 12, 9);
  a = UnsolicitedAction("+CDS: 25", Pdu());
  CompleteBody(*a.Message, r.GetPDU(), false);
  EXPECT_EQ(dynamic_cast<TSMSStatusReport&>(*a.Message).ST, 0x20);

  TCellBroadcast cb;
  cb.Content = "hello";
  a = UnsolicitedAction("+CBM: 88", Pdu());
  CompleteBody(*a.Message, cb.GetPDU(), false);
  EXPECT_EQ(dynamic_cast<TCellBroadcast&>(*a.Message).Content, "hello");

  // Text mode: the header tells; the body is the text (of the length given, when it is given).
  a = UnsolicitedAction("+CMT: \"+4917\",,\"26/12/09,10:00:00+04\"", Text());
  ASSERT_EQ(a.Kind, A::uaAwaitBody);
  EXPECT_EQ(a.BodyLength, 0);
  CompleteBody(*a.Message, "plain text", true);
  EXPECT_EQ(dynamic_cast<TSMSDeliver&>(*a.Message).OA, "+4917");
  EXPECT_EQ(dynamic_cast<TSMSDeliver&>(*a.Message).UD, "plain text");
  a = UnsolicitedAction("+CMT: \"+4918\",,\"26/12/09,10:00:00+04\",145,4,0,0,\"+49\",145,5", Text());
  EXPECT_EQ(a.BodyLength, 5);
  a = UnsolicitedAction("+CDS: 6,7,\"+4917\",145,\"26/12/09,10:00:00+04\",\"26/12/09,10:00:05+04\",0", Text());
  ASSERT_EQ(a.Kind, A::uaMessage);
  auto& report = dynamic_cast<TSMSStatusReport&>(*a.Message);
  EXPECT_EQ(report.MR, 7);
  EXPECT_EQ(report.RA, "+4917");
  EXPECT_EQ(report.ST, 0);
  a = UnsolicitedAction("+CBM: 16,50,1,2,3", Text());
  ASSERT_EQ(a.Kind, A::uaAwaitBody);
  EXPECT_EQ(a.BodyLength, 0);
  CompleteBody(*a.Message, "news of the day", true);
  auto& page = dynamic_cast<TCellBroadcast&>(*a.Message);
  EXPECT_EQ(page.Content, "news of the day");
  EXPECT_EQ(page.MessageIdentifier, 50);
}

TEST(UnsolicitedRules, EverythingElseIsTheApplications) {
  for (const char* line : {"RING", "+CIEV: 1,4", "^RSSI: 12", "+QIND: SMS DONE", "RDY", "", "+CMTI",
                           "#STN: 150,1,\"\"", "*PSUTTZ: 1"})
    EXPECT_EQ(UnsolicitedAction(line, Pdu()).Kind, A::uaLine) << line;
}
