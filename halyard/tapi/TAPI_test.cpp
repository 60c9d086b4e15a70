#include "halyard/tapi/TAPI.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <mutex>

#include "../../tests/PtyPair.h"
#include "../../tests/ScriptedModem.h"
#include "halyard/tapi/TAPICom.h"

using namespace Halyard;
using namespace Halyard::TAPI;
using namespace Halyard::TAPICom;
namespace P = Halyard::Platform;
using Framework::Application;
using Framework::MakeComponent;
using HalyardTest::TPtyPair;
using HalyardTest::WaitFor;

namespace {

std::string Raised(int32_t Result) {
  try {
    TapiCheck(Result);
  } catch (const ETAPIError& e) {
    return e.what();
  }
  return "(none)";
}

TEST(TapiTexts, ResultsBecomeValuesOrMessages) {
  EXPECT_EQ(TapiCheck(0), 0);
  EXPECT_EQ(TapiCheck(17), 17);
  EXPECT_EQ(Raised(static_cast<int32_t>(0x80000004)), "TAPI error: E004");
  EXPECT_EQ(Raised(static_cast<int32_t>(0x80000002)), "TAPI error: LINEERR_BADDEVICEID");
  EXPECT_EQ(Raised(static_cast<int32_t>(0x80000032)), "TAPI error: LINEERR_INVALPARAM");
  EXPECT_EQ(Raised(static_cast<int32_t>(0x8000005C)), "TAPI error: LINEERR_DIALVOICEDETECT");
  EXPECT_EQ(Raised(static_cast<int32_t>(0x8000005D)), "TAPI error: E05D");
  EXPECT_EQ(Raised(static_cast<int32_t>(0x90000003)), "TAPI error: F003");
  EXPECT_EQ(Raised(-1), "TAPI error: FFFF");
  int texts = 0;
  for (uint32_t v = 0x80000001; v <= 0x8000005C; ++v)
    texts += Raised(static_cast<int32_t>(v)).find("LINEERR_") != std::string::npos;
  EXPECT_EQ(texts, 90);
}

TEST(TapiTexts, BlocksStringsAndCallStates) {
  TTapiMem m = GetTapiMem(24);
  EXPECT_EQ(m.Size, 1048u);
  EXPECT_EQ(m.As<P::VARSTRING>()->dwTotalSize, 1048u);
  EXPECT_EQ(m.As<P::VARSTRING>()->dwStringSize, 0u);
  std::memcpy(m.Data.get() + 30, "abcd\0", 5);
  EXPECT_EQ(GetTapiString(m.Data.get(), 30, 5), "abcd");
  EXPECT_EQ(GetTapiString(m.Data.get(), 34, 5), "");
  EXPECT_EQ(GetTapiString(m.Data.get(), 30, 0), "");
  EXPECT_EQ(GetTapiString(m.Data.get(), 1040, 100), "");  // beyond the block: nothing is read
  EXPECT_THROW(GetTapiMem(-2000), ETAPIError);

  EXPECT_EQ(LineCallStateToStr(0x0100), "CONNECTED");
  EXPECT_EQ(LineCallStateToStr(0x8000), "UNKNOWN");
  EXPECT_EQ(LineCallStateToStr(0x0102), "Unknown (258)");
  EXPECT_EQ(LineCallStateToStr(0), "Unknown (0)");
  EXPECT_EQ(LineCallStateInfoToStr(0x4000, 0x20), "BUSY");
  EXPECT_EQ(LineCallStateInfoToStr(0x4000, 0x1000), "NODIALTONE");
  EXPECT_EQ(LineCallStateInfoToStr(0x0008, 0x02), "SPECIAL");
  EXPECT_EQ(LineCallStateInfoToStr(0x0040, 0x02), "TRUNK");
  EXPECT_EQ(LineCallStateInfoToStr(0x0100, 0), "SUCCESS");
  EXPECT_EQ(LineCallStateInfoToStr(0x0100, 4), "Undefined (4)");
  EXPECT_EQ(LineCallStateInfoToStr(0x0040, 0x10), "Undefined (16)");
}

// A line device the test drives: it records requests, and the test answers them.
class TScriptedLine : public P::ITapiLineDevice {
 public:
  TScriptedLine(std::string Name, std::string Port) : Name_(std::move(Name)), Port_(std::move(Port)) {}
  std::string Name() const override { return Name_; }
  bool HasName() const override { return HasName_; }
  P::DWORD StringFormat() const override { return Format_; }
  void MakeCall(P::DWORD RequestID, P::HCALL Call, const std::string& Dialable, bool PassThrough) override {
    std::lock_guard lk(M_);
    Log.push_back("make " + Dialable + (PassThrough ? " passthrough" : ""));
    LastRequest = RequestID;
    LastCall = Call;
  }
  void Answer(P::DWORD RequestID, P::HCALL Call) override {
    std::lock_guard lk(M_);
    Log.push_back("answer");
    LastRequest = RequestID;
    LastCall = Call;
  }
  void Drop(P::DWORD RequestID, P::HCALL) override {
    std::lock_guard lk(M_);
    Log.push_back("drop");
    LastRequest = RequestID;
  }
  std::string PortName(P::HCALL) const override { return Port_; }

  bool HasName_ = true;
  P::DWORD Format_ = P::STRINGFORMAT_ASCII;
  std::vector<std::string> Log;
  P::DWORD LastRequest = 0;
  P::HCALL LastCall = 0;

 private:
  std::mutex M_;
  std::string Name_, Port_;
};

class LineCom : public ::testing::Test {
 protected:
  void SetUp() override {
    P::TapiRemoveAllDevices();
    Modem = std::make_shared<TScriptedLine>("Modem A", Pty.SlavePath());
    Id = P::TapiAddDevice(Modem);
    Application().SetOnException([this](const std::exception_ptr& e) {
      try {
        std::rethrow_exception(e);
      } catch (const std::exception& x) {
        Shown.push_back(x.what());
      }
    });
  }
  void TearDown() override {
    TAPILine().SetKeepConnection(false);
    TAPILine().SetOnHandleCallback(nullptr);
    TAPILine().CloseAll();
    Application().SetOnException(nullptr);
    P::TapiRemoveAllDevices();
  }
  // Runs the delivered messages.
  static void Pump() {
    while (Application().ProcessMessages()) {
    }
  }
  Framework::TOwned<TLineCom> NewLine() {
    auto l = MakeComponent<TLineCom>(nullptr);
    l->SetDeviceId(Id);
    l->SetPhoneNumber("+1 (555) 123-4567");
    return l;
  }

  TPtyPair Pty;
  std::shared_ptr<TScriptedLine> Modem;
  P::DWORD Id = 0;
  std::vector<std::string> Shown;
};

TEST_F(LineCom, LineApplicationFollowsTheOpenLines) {
  auto bad = MakeComponent<TLineCom>(nullptr);
  EXPECT_THROW(
      try { bad->Open(); } catch (const ETAPIError& e) {
        EXPECT_STREQ(e.what(), "Bad device id");
        throw;
      },
      ETAPIError);
  EXPECT_FALSE(bad->Active());
  EXPECT_FALSE(TAPILine().Active());
  EXPECT_EQ(TAPILine().GetCount(), 0);

  auto a = NewLine();
  auto b = NewLine();
  a->Open();
  EXPECT_TRUE(TAPILine().Active());
  EXPECT_NE(a->LineHandle(), 0u);
  b->Open();
  EXPECT_EQ(TAPILine().GetCount(), 2);
  EXPECT_EQ(TAPILine().GetLine(1), b.get());
  EXPECT_THROW(TAPILine().GetLine(2), Framework::EListError);
  EXPECT_THROW(a->SetDeviceId(5), Connect::EComError);
  a->Close();
  EXPECT_TRUE(TAPILine().Active());
  b->Close();
  EXPECT_FALSE(TAPILine().Active());

  TAPILine().SetKeepConnection(true);
  a->Open();
  a->Close();
  EXPECT_TRUE(TAPILine().Active());
  TAPILine().SetKeepConnection(false);
  TAPILine().Close();

  // Inactive: the version negotiation refuses.
  EXPECT_THROW(a->APIVersion(), Connect::EComError);
  EXPECT_THROW(a->TranslatedPhoneNumber(), Connect::EComError);
}

TEST_F(LineCom, NamesConfigurationAndTranslation) {
  auto unnamed = std::make_shared<TScriptedLine>("", "");
  unnamed->HasName_ = false;
  auto empty = std::make_shared<TScriptedLine>("", "");
  auto wide = std::make_shared<TScriptedLine>("W", "");
  wide->Format_ = P::STRINGFORMAT_UNICODE;
  P::TapiAddDevice(unnamed);
  P::TapiAddDevice(empty);
  P::TapiAddDevice(wide);
  EXPECT_EQ(TAPILine().FindDeviceId("Modem A"), -1);  // inactive: every lookup fails
  TAPILine().Open();
  EXPECT_EQ(TAPILine().GetLineName(Id), "Modem A");
  EXPECT_EQ(TAPILine().GetLineName(Id + 1), "<Noname line>");
  EXPECT_EQ(TAPILine().GetLineName(Id + 2), "<Empty line name>");
  EXPECT_EQ(TAPILine().GetLineName(Id + 3), "<Noname line>");
  EXPECT_EQ(TAPILine().FindDeviceId("Modem A"), Id);
  EXPECT_EQ(TAPILine().FindDeviceId("<Noname line>"), Id + 1);
  EXPECT_EQ(TAPILine().FindDeviceId("modem a"), -1);
  EXPECT_EQ(TAPILine().GetAPIVersion(Id), 0x00020000u);
  EXPECT_THROW(TAPILine().GetLineName(99), ETAPIError);

  auto l = NewLine();
  l->SetDevConfig(std::string("\x01\x00\x02", 3));
  EXPECT_EQ(l->DevConfig(), std::string("\x01\x00\x02", 3));
  EXPECT_EQ(l->TranslatedPhoneNumber(), "+15551234567");
  l->ShowTranslateDialog();
  TAPILine().ShowConfigDialog(Id);
  TAPILine().Close();
}

TEST_F(LineCom, OutgoingCallConnectsTheSerialHandleAndHangsUp) {
  auto l = NewLine();
  std::vector<std::string> events;
  l->SetOnConnect([&](Framework::TObject*) { events.push_back("connect"); });
  l->SetOnDisconnect([&](Framework::TObject*) { events.push_back("disconnect"); });
  l->SetOnStateChange([&](Framework::TObject*, P::DWORD s, P::DWORD m) {
    events.push_back(LineCallStateToStr(s) + "/" + LineCallStateInfoToStr(s, m));
  });
  EXPECT_THROW(l->MakeCall(), Connect::EComError);  // closed
  l->Open();
  l->MakeCall();
  EXPECT_TRUE(l->IsMakingCall());
  EXPECT_EQ(Modem->Log.back(), "make +15551234567");
  try {
    l->MakeCall();
    ADD_FAILURE();
  } catch (const ETAPIError& e) {
    EXPECT_STREQ(e.what(), "Callin already in process");
  }
  P::TapiCompleteRequest(Modem->LastRequest, 0);
  Pump();
  EXPECT_FALSE(l->IsMakingCall());

  P::HCALL call = Modem->LastCall;
  P::TapiSetCallState(call, P::LINECALLSTATE_DIALING, 0);
  P::TapiSetCallState(call, P::LINECALLSTATE_CONNECTED, 0);
  P::TapiSetCallState(call, P::LINECALLSTATE_CONNECTED, 0);  // asks for the port once only
  Pump();
  ASSERT_TRUE(l->Connected());
  EXPECT_EQ(events, (std::vector<std::string>{"DIALING/SUCCESS", "connect", "CONNECTED/SUCCESS", "CONNECTED/SUCCESS"}));
  EXPECT_TRUE(Shown.empty());

  // The call's port is a serial port now.
  l->CommHandle()->Send("ATI\r");
  EXPECT_EQ(Pty.Read(4), "ATI\r");
  try {
    l->SetPhoneNumber("1");
    ADD_FAILURE();
  } catch (const ETAPIError& e) {
    EXPECT_STREQ(e.what(), "Call not disconnected");
  }
  EXPECT_THROW(l->MakeCall(), ETAPIError);

  // Remote hang-up: dropped once, then idle closes the port.
  events.clear();
  P::TapiSetCallState(call, P::LINECALLSTATE_DISCONNECTED, P::LINEDISCONNECTMODE_NORMAL);
  P::TapiSetCallState(call, P::LINECALLSTATE_DISCONNECTED, P::LINEDISCONNECTMODE_NORMAL);
  Pump();
  EXPECT_TRUE(l->IsDropping());
  EXPECT_EQ(std::count(Modem->Log.begin(), Modem->Log.end(), "drop"), 1);
  P::TapiCompleteRequest(Modem->LastRequest, 0);
  P::TapiSetCallState(call, P::LINECALLSTATE_IDLE, 0);
  Pump();
  EXPECT_FALSE(l->IsDropping());
  EXPECT_FALSE(l->Connected());
  EXPECT_EQ(l->CallHandle(), 0u);
  EXPECT_EQ(events, (std::vector<std::string>{"DISCONNECTED/NORMAL", "DISCONNECTED/NORMAL", "disconnect", "IDLE/SUCCESS"}));
  l->CheckDisconnected();
  EXPECT_THROW(l->CheckConnected(), ETAPIError);
}

TEST_F(LineCom, OfferedCallsAnsweredOnRequest) {
  auto l = NewLine();
  bool answer = false;
  int offered = 0, answering = 0;
  l->SetOnCallOffering([&](Framework::TObject*, bool& a) {
    ++offered;
    a = answer;
  });
  l->SetOnCallAnswering([&](Framework::TObject*) { ++answering; });
  l->Open();
  P::TapiOfferCall(Id);
  Pump();
  EXPECT_EQ(offered, 1);
  EXPECT_EQ(l->CallHandle(), 0u);  // left alone
  EXPECT_TRUE(Modem->Log.empty());

  answer = true;
  P::HCALL call = P::TapiOfferCall(Id);
  Pump();
  EXPECT_EQ(l->CallHandle(), call);
  EXPECT_TRUE(l->IsAnswering());
  P::TapiCompleteRequest(Modem->LastRequest, 0);
  Pump();
  EXPECT_EQ(answering, 1);
  EXPECT_FALSE(l->IsAnswering());
  P::TapiSetCallState(call, P::LINECALLSTATE_CONNECTED, 0);
  Pump();
  EXPECT_TRUE(l->Connected());

  // While connected, another offer is reported but neither offered nor answered.
  int states = 0;
  l->SetOnStateChange([&](Framework::TObject*, P::DWORD s, P::DWORD) { states += s == P::LINECALLSTATE_OFFERING; });
  P::TapiOfferCall(Id);
  Pump();
  EXPECT_EQ(offered, 2);
  EXPECT_EQ(states, 1);

  // A failed answer reply is shown and keeps the answer pending.
  l->CommHandle()->Close();
  P::HCALL third = P::TapiOfferCall(Id);
  Pump();
  EXPECT_EQ(l->CallHandle(), third);
  P::TapiCompleteRequest(Modem->LastRequest, P::LINEERR_CALLUNAVAIL);
  Pump();
  ASSERT_EQ(Shown.size(), 1u);
  EXPECT_EQ(Shown[0], "TAPI error: LINEERR_CALLUNAVAIL");
  EXPECT_TRUE(l->IsAnswering());
}

TEST_F(LineCom, MessagesReachTheirOwnersOnly) {
  auto a = NewLine();
  auto b = NewLine();
  std::vector<P::DWORD> seenA, seenB, seenApp;
  a->SetOnHandleCallback([&](P::DWORD, P::DWORD m, P::DWORD, P::DWORD, P::DWORD) { seenA.push_back(m); });
  b->SetOnHandleCallback([&](P::DWORD, P::DWORD m, P::DWORD, P::DWORD, P::DWORD) {
    seenB.push_back(m);
    if (m == P::LINE_CLOSE) throw ETAPIError("handler failed");
  });
  TAPILine().SetOnHandleCallback(
      [&](P::DWORD, P::DWORD m, P::DWORD_PTR, P::DWORD, P::DWORD, P::DWORD) { seenApp.push_back(m); });
  a->Open();
  b->Open();
  P::TapiPostLineMessage(Id, P::LINE_CLOSE, 0, 0, 0);
  P::TapiPostLineMessage(Id, P::LINE_CREATE, 0, 0, 0);
  P::TapiPostLineMessage(Id, P::LINE_LINEDEVSTATE, 0, 0, 0);
  Pump();
  EXPECT_EQ(seenA, (std::vector<P::DWORD>{P::LINE_CLOSE, P::LINE_LINEDEVSTATE}));
  EXPECT_EQ(seenB, (std::vector<P::DWORD>{P::LINE_CLOSE, P::LINE_LINEDEVSTATE}));  // delivered after the fault
  EXPECT_EQ(seenApp.size(), 6u);
  EXPECT_EQ(Shown, (std::vector<std::string>{"handler failed"}));
  EXPECT_TRUE(a->Active());  // LINE_CLOSE changes nothing else

  // A handler that closes another component during the walk.
  a->SetOnHandleCallback([&](P::DWORD, P::DWORD m, P::DWORD, P::DWORD, P::DWORD) {
    if (m == P::LINE_LINEDEVSTATE) b->Close();
  });
  seenB.clear();
  P::TapiPostLineMessage(Id, P::LINE_LINEDEVSTATE, 0, 0, 0);
  Pump();
  EXPECT_FALSE(b->Active());

  // CloseAll destroys what is still registered.
  TLineCom* raw = a.release();
  (void)raw;
  TAPILine().CloseAll();
  EXPECT_EQ(TAPILine().GetCount(), 0);
  EXPECT_FALSE(TAPILine().Active());
}

}  // namespace

namespace {

// A Hayes modem on the master side of a pty: answers reset, dial and hang-up.
class THayesModem : public HalyardTest::TScriptedModem {
 public:
  THayesModem(TPtyPair& Pty, std::string DialAnswer) : TScriptedModem(Pty) {
    SetEcho(false);
    SetAnswer([Dial = std::move(DialAnswer)](const std::string& cmd) -> std::string {
      if (cmd == "ATZ" || cmd == "ATH") return "\r\nOK\r\n";
      if (cmd.rfind("ATDT", 0) == 0) return Dial;
      return "";
    });
  }
  std::vector<std::string> Seen() { return Received(); }
};

TEST_F(LineCom, HayesModemDialsConnectsAndHangsUp) {
  TPtyPair port;
  THayesModem modem(port, "\r\nCONNECT 9600\r\n");
  P::DWORD id = P::TapiAddDevice(P::MakeHayesLineDevice("Hayes", port.SlavePath(), "ATZ", 3000));
  auto l = MakeComponent<TLineCom>(nullptr);
  l->SetDeviceId(id);
  l->SetPhoneNumber("555 0100");
  std::vector<std::string> states;
  l->SetOnStateChange([&](Framework::TObject*, P::DWORD s, P::DWORD) { states.push_back(LineCallStateToStr(s)); });
  l->Open();
  l->MakeCall();
  ASSERT_TRUE(WaitFor([&] { return l->Connected(); }, 10000, true));
  EXPECT_EQ(modem.Seen(), (std::vector<std::string>{"ATZ", "ATDT5550100"}));
  l->CommHandle()->Send("data\r");
  EXPECT_TRUE(WaitFor([&] { return modem.Seen().size() == 3; }));
  EXPECT_EQ(modem.Seen().back(), "data");

  l->Drop();
  ASSERT_TRUE(WaitFor([&] { return !l->Connected() && l->CallHandle() == 0; }, 10000, true));
  auto seen = modem.Seen();
  EXPECT_EQ(std::vector<std::string>(seen.end() - 2, seen.end()), (std::vector<std::string>{"+++", "ATH"}));
  EXPECT_EQ(states, (std::vector<std::string>{"DIALTONE", "DIALING", "CONNECTED", "IDLE"}));
}

TEST_F(LineCom, HayesModemBusyEndsTheCall) {
  TPtyPair port;
  THayesModem modem(port, "\r\nBUSY\r\n");
  P::DWORD id = P::TapiAddDevice(P::MakeHayesLineDevice("Hayes", port.SlavePath(), "ATZ", 3000));
  auto l = MakeComponent<TLineCom>(nullptr);
  l->SetDeviceId(id);
  l->SetPhoneNumber("5550100");
  std::vector<std::string> info;
  l->SetOnStateChange([&](Framework::TObject*, P::DWORD s, P::DWORD m) {
    if (s == P::LINECALLSTATE_DISCONNECTED) info.push_back(LineCallStateInfoToStr(s, m));
  });
  l->Open();
  l->MakeCall();
  ASSERT_TRUE(WaitFor([&] { return !info.empty() && l->CallHandle() == 0; }, 10000, true));
  EXPECT_EQ(info, (std::vector<std::string>{"BUSY"}));
  EXPECT_FALSE(l->Connected());
  EXPECT_TRUE(Shown.empty());
}

}  // namespace
