#include "halyard/commconnect/Modem.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "../../tests/PtyPair.h"
#include "../../tests/ScriptedModem.h"
#include "halyard/framework/Properties.h"

using namespace Halyard;
using namespace Halyard::CommConnect;
using Framework::MakeComponent;
using HalyardTest::TPtyPair;
using HalyardTest::WaitFor;

namespace {

// A Hayes modem on the master side: records each command line and answers it.
class THayesPeer : public HalyardTest::TScriptedModem {
 public:
  THayesPeer(TPtyPair& Pty, TAnswer Answer) : TScriptedModem(Pty) {
    SetEcho(false);
    SetAnswer(std::move(Answer));
  }
  std::vector<std::string> Commands() { return Received(); }
};

Framework::TOwned<TModem> NewModem(TPtyPair& pty) {
  auto m = MakeComponent<TModem>(nullptr);
  m->SetDeviceName(pty.SlavePath());
  m->SetDelayBeforeInit(0);
  m->SetDelayAfterInit(0);
  m->SetConnectTimeout(2000);
  m->SetPhoneNumber("5551234");
  return m;
}

// Answers ATZ with OK and the dial command with DialAnswer.
THayesPeer::TAnswer Dialogue(std::string DialAnswer) {
  return [DialAnswer](const std::string& cmd) -> std::string {
    if (cmd == "ATZ") return "OK\r\n";
    if (cmd.rfind("ATM1L1X3DT", 0) == 0) return DialAnswer;
    if (cmd == "+++ATH") return "OK\r\n";
    return "";
  };
}

std::string OpenError(TModem& m) {
  try {
    m.Open();
  } catch (const Framework::EAbort&) {
    return "(abort)";
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

TEST(Modem, DialsConnectsPassesDataAndHangsUp) {
  TPtyPair pty;
  THayesPeer peer(pty, Dialogue("\r\nCONNECT 9600\r\n"));
  auto m = NewModem(pty);
  std::vector<std::string> commandText;
  std::mutex textLock;
  m->SetOnRxCommand([&](Framework::TObject*, const std::string& rx) {
    std::lock_guard lk(textLock);
    commandText.push_back(rx);
  });
  std::string plain;  // main thread only
  m->SetOnRxChar([&](Framework::TObject*, int count) { plain += m->Retrieve(count); });
  m->Open();
  EXPECT_TRUE(m->Active());
  EXPECT_FALSE(m->DontSynchronize());  // restored after the exchanges
  EXPECT_EQ(peer.Commands(), (std::vector<std::string>{"ATZ", "ATM1L1X3DT5551234"}));
  {
    std::lock_guard lk(textLock);
    EXPECT_FALSE(commandText.empty());
  }

  // Connected: a plain byte stream, told through OnRxChar only. (The LF that ends the
  // connect line may still have come during the exchange, or just after it.)
  pty.Write("hello");
  EXPECT_TRUE(WaitFor([&] { return plain.find("hello") != std::string::npos; }, 5000, true));
  {
    std::lock_guard lk(textLock);
    for (const auto& t : commandText) EXPECT_EQ(t.find('h'), std::string::npos) << t;
  }
  m->Close();
  EXPECT_EQ(peer.Commands().back(), "+++ATH");
  EXPECT_FALSE(m->Active());
}

TEST(Modem, FailedCallsHangUpCloseAndName) {
  struct Case {
    const char* Answer;
    const char* Error;
  };
  const Case cases[] = {
      {"BUSY\r\n", "Line is busy"},
      {"NO CARRIER\r", "Cannot connect"},
      {"\r\nNO DIALTONE\r\n", "No dial tone"},
      {"RING 5551234 BUSY\r\n", "No response on ATM1L1X3DT5551234"},  // mid-line is no answer
      {"", "No response on ATM1L1X3DT5551234"},
  };
  for (const Case& c : cases) {
    TPtyPair pty;
    THayesPeer peer(pty, Dialogue(c.Answer));
    auto m = NewModem(pty);
    // Short only where the time-out is what is tested: a loaded machine must not turn an answer
    // into a missing one.
    bool answered = std::string(c.Error).rfind("No response", 0) != 0;
    m->SetConnectTimeout(answered ? 20000 : 300);
    EXPECT_EQ(OpenError(*m), c.Error) << c.Answer;
    EXPECT_FALSE(m->Active());
    EXPECT_EQ(m->hCommDev(), Platform::INVALID_HANDLE_VALUE);
    ASSERT_TRUE(WaitFor([&] { return peer.Commands().size() == 3; }));
    EXPECT_EQ(peer.Commands().back(), "+++ATH") << c.Answer;
  }
}

TEST(Modem, MatchingRules) {
  {  // the first response in list order wins, wherever it stands
    TPtyPair pty;
    THayesPeer peer(pty, Dialogue("BUSY\r\nCONNECT\r\n"));
    auto m = NewModem(pty);
    m->Open();
    EXPECT_TRUE(m->Active());
  }
  {  // a lone LF ends a line for matching, but only the next CR wakes the exchange
    TPtyPair pty;
    THayesPeer peer(pty, Dialogue("x\nCONNECT"));
    auto m = NewModem(pty);
    std::thread late([&] {
      WaitFor([&] { return peer.Commands().size() == 2; });
      ::poll(nullptr, 0, 100);
      pty.Write("\r");
    });
    m->Open();
    late.join();
    EXPECT_TRUE(m->Active());
  }
  {  // no init answer
    TPtyPair pty;
    THayesPeer peer(pty, [](const std::string&) { return std::string("ERROR\r\n"); });
    auto m = NewModem(pty);
    m->SetResponseTimeout(200);
    EXPECT_EQ(OpenError(*m), "No response on ATZ");
  }
  {  // an empty response matches at the first CR
    TPtyPair pty;
    THayesPeer peer(pty, Dialogue("whatever\r"));
    auto m = NewModem(pty);
    m->SetrConnect("");
    m->Open();
    EXPECT_TRUE(m->Active());
  }
}

TEST(Modem, DropEndsTheScriptWithTheSilentAbort) {
  TPtyPair pty;
  THayesPeer peer(pty, Dialogue(""));  // the call never connects
  auto m = NewModem(pty);
  m->SetConnectTimeout(30000);
  m->Drop();  // no script: nothing happens
  m->SetOnRxCommand([&](Framework::TObject*, const std::string& rx) {
    if (rx.find("OK") != std::string::npos) m->Drop();  // from the port's event thread
  });
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(OpenError(*m), "(abort)");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_FALSE(m->Active());
  ASSERT_TRUE(WaitFor([&] { return !peer.Commands().empty() && peer.Commands().back() == "+++ATH"; }));

  // Dropped from another thread while dialling.
  m->SetOnRxCommand(nullptr);
  size_t before = peer.Commands().size();
  std::thread dropper([&] {
    WaitFor([&] {
      auto c = peer.Commands();
      return c.size() > before && c.back().rfind("ATM1L1X3DT", 0) == 0;
    });
    m->Drop();
  });
  EXPECT_EQ(OpenError(*m), "(abort)");
  dropper.join();
}

TEST(Modem, CommandTableDesignerAndPublishedOrder) {
  TPtyPair pty;
  auto m = NewModem(pty);
  EXPECT_EQ(m->cInit(), "ATZ");
  EXPECT_EQ(m->cHangUp(), "+++ATH");
  m->SetCommand(12, "twelve");
  EXPECT_EQ(m->GetCommand(10), "");
  EXPECT_EQ(m->GetCommand(12), "twelve");
  EXPECT_EQ(m->GetCommand(20), "");

  // In the designer opening and closing say nothing to the modem.
  auto d = MakeComponent<TModem>(nullptr);
  d->SetDesigning(true);
  d->SetDeviceName(pty.SlavePath());
  d->Open();
  d->Close();
  EXPECT_EQ(pty.Read(1, 200), "");

  std::vector<std::string> names;
  for (const Framework::TPropInfo* p : Framework::GetPropList("TModem")) names.push_back(p->Name);
  std::vector<std::string> tail(names.end() - 15, names.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"cInit", "DelayBeforeInit", "DelayAfterInit", "ResponseTimeout",
                                            "ConnectTimeout", "rInit", "cDial", "rConnect", "rBusy", "rNoCarrier",
                                            "rNoDialtone", "cHangUp", "rHangUp", "PhoneNumber", "OnRxCommand"}));
  EXPECT_EQ(names[names.size() - 16], "DeviceName");
}

}  // namespace
