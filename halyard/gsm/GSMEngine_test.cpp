#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <random>
#include <thread>

#include "PtyPair.h"
#include "ScriptedModem.h"
#include "halyard/gsm/GSM.h"

using namespace Halyard;
using namespace Halyard::GSM;
using Framework::Application;
using Framework::MakeComponent;
using HalyardTest::TPtyPair;
using HalyardTest::TScriptedModem;
using HalyardTest::WaitFor;

namespace {

TScriptedModem::TReply Reply(std::vector<std::string> chunks, int pauseMs = 0) {
  TScriptedModem::TReply r;
  r.Chunks = std::move(chunks);
  r.PauseMs = pauseMs;
  return r;
}

TScriptedModem::TReply Silence() {
  TScriptedModem::TReply r;
  r.Silent = true;
  return r;
}

class GSMEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    Modem = std::make_unique<TScriptedModem>(Pty);
    Port = MakeComponent<CommConnect::TComm>(nullptr);
    Port->SetDeviceName(Pty.SlavePath());
    Gsm = MakeComponent<TGSM>(nullptr);
    Gsm->SetComDevice(Port.get());
    Gsm->SetRecTimeout(300);
    Gsm->SetRepeatTimeout(20);
    Gsm->SetRepeatCount(3);
    Gsm->OpenComDevice();
  }
  void TearDown() override {
    Gsm.reset();
    Port.reset();
    Modem.reset();
  }
  std::string Error(const std::function<void()>& f) {
    try {
      f();
    } catch (const EGSMError& e) {
      return e.what();
    }
    return "(no error)";
  }

  TPtyPair Pty;
  std::unique_ptr<TScriptedModem> Modem;
  Framework::TOwned<CommConnect::TComm> Port;
  Framework::TOwned<TGSM> Gsm;
};

}  // namespace

TEST_F(GSMEngine, PrefixedQueryKeepsOnlyTheValue) {
  Modem->Answer("AT+CPIN?", {"+CPIN: READY", "OK"});
  TStringList lines;
  EXPECT_EQ(Gsm->SendATCommand("AT+CPIN?", wmPrefixedAnswer, &lines), 0);
  ASSERT_EQ(lines.Count(), 1);
  EXPECT_EQ(lines[0], "READY");
  EXPECT_FALSE(Gsm->IsBusy());
}

TEST_F(GSMEngine, ErrorResultIsRetriedThenReported) {
  Modem->Answer("AT+CPIN?", {"+CME ERROR: 10"});
  EXPECT_EQ(Error([&] { Gsm->SendATCommand("AT+CPIN?", wmPrefixedAnswer); }),
            "+CME ERROR: 10 \"SIM not inserted\" was returned on AT command: AT+CPIN?");
  EXPECT_EQ(Modem->Count("AT+CPIN?"), 3);
  EXPECT_EQ(Gsm->LastResultLine(), "+CME ERROR: 10");
}

TEST_F(GSMEngine, ErrorEndsUnderAnswerOrErrorAndCheckATRaises) {
  Modem->Answer("AT+CMGL=4", {"ERROR"});
  EXPECT_EQ(Gsm->SendATCommand("AT+CMGL=4", wmAnswerOrError), 4);
  EXPECT_EQ(Modem->Count("AT+CMGL=4"), 1);
  EXPECT_EQ(Error([&] { Gsm->CheckAT(4); }), "Error was returned: ERROR");
  EXPECT_EQ(Gsm->CheckAT(0), 0);
}

TEST_F(GSMEngine, SilenceGivesNoReplyAfterEveryAttempt) {
  Modem->On("AT", Silence());
  EXPECT_EQ(Error([&] { Gsm->SendATCommand("AT", wmResult); }), "No reply on AT command: AT");
  EXPECT_EQ(Modem->Count("AT"), 3);
}

TEST_F(GSMEngine, NoWaitAndPrefixedOnlyReturnEarly) {
  Modem->SetEcho(false);  // an echo would be the chunk that ends a wmPrefixed wait
  Modem->On("AT+CNMA", Reply({"\r\nOK\r\n"}));
  EXPECT_EQ(Gsm->SendATCommand("AT+CNMA", 0), 0);
  EXPECT_EQ(Gsm->SendATCommand("AT+CNMA", wmPrefixed), 0);
  Modem->On("AT+X", Reply({"\r\n+X: 1\r\n", "\r\nOK\r\n"}, 200));
  TStringList lines;
  Gsm->SendATCommand("AT+X", wmPrefixed, &lines);  // returns with the first chunk
  EXPECT_EQ(lines.Count(), 1);
}

TEST_F(GSMEngine, RingInsideATransactionReachesUnsolicitedAfterwards) {
  std::vector<std::string> unsolicited;
  Gsm->SetOnUnsolicitedLine([&](TObject*, const std::string& l) { unsolicited.push_back(l); });
  Modem->Answer("AT+CSQ", {"RING", "+CSQ: 20,99", "OK"});
  TStringList lines;
  EXPECT_EQ(Gsm->SendATCommand("AT+CSQ", wmAnswer, &lines), 0);
  EXPECT_EQ(lines.Count(), 1);
  EXPECT_EQ(lines[0], "+CSQ: 20,99");
  ASSERT_TRUE(WaitFor([&] { return unsolicited.size() >= 4; }, 3000, true));
  // The transaction's own lines come through too, after it.
  EXPECT_EQ(unsolicited, (std::vector<std::string>{"AT+CSQ", "RING", "+CSQ: 20,99", "OK"}));
}

TEST_F(GSMEngine, AnswerModeFiltersForeignPrefixes) {
  Modem->Answer("AT+CPMS?", {"+CREG: 0,1", "SIEMENS", "+CPMS: \"SM\",1,10", "OK"});
  TStringList lines;
  Gsm->SendATCommand("AT+CPMS?", wmAnswer, &lines);
  EXPECT_EQ(lines.Text(), "SIEMENS\n+CPMS: \"SM\",1,10\n");
}

TEST_F(GSMEngine, CommandSpellingAndBadCommands) {
  Modem->Answer("AT+CGMI", {"SIEMENS", "OK"});
  TStringList lines;
  EXPECT_EQ(Gsm->SendATCommand(" at+cgmi ", wmAnswer, &lines), 0);
  EXPECT_EQ(lines.Text(), "SIEMENS\n");  // the echo was recognised in capitals
  Modem->Answer("ATZ", {"OK"});
  EXPECT_EQ(Gsm->SendATCommand(" ATZ", wmResult), 0);
  EXPECT_EQ(Error([&] { Gsm->SendATCommand("+CSQ", wmResult); }), "Bad AT command");
  EXPECT_EQ(Error([&] { Gsm->SendATCommand("AT+CMGS=5", 8 | 1); }), "Bad PDU format");
  EXPECT_FALSE(Gsm->IsBusy());
}

TEST_F(GSMEngine, TwoStageCommandWithLatePrompt) {
  HalyardTest::TScriptedModem::TReply r;
  r.Prompt = true;
  r.PromptDelays = {-1, 0};  // the first attempt waits in vain
  r.Chunks = {"\r\n+CMGS: 7\r\n\r\nOK\r\n"};
  Modem->On("AT+CMGS=", r);
  TStringList lines;
  EXPECT_EQ(Gsm->SendATCommand("AT+CMGS=5>0011AB", wmTwoStage, &lines), 0);
  EXPECT_EQ(Modem->Count("AT+CMGS=5"), 2);
  auto bodies = Modem->Bodies();
  ASSERT_FALSE(bodies.empty());
  EXPECT_EQ(bodies.back(), "0011AB");
  EXPECT_EQ(lines.Text(), "7\n");
}

TEST_F(GSMEngine, OneLineRuleInAndOutsideTransactions) {
  std::vector<std::string> unsolicited;
  Gsm->SetOnUnsolicitedLine([&](TObject*, const std::string& l) { unsolicited.push_back(l); });
  Modem->SetEcho(false);
  // A line feed alone, a carriage return alone and the pair each end one line, in a transaction
  // and in the framing after it; a run ended by another control character is no line.
  Modem->On("AT+A", Reply({"OK\n"}));
  EXPECT_EQ(Gsm->SendATCommand("AT+A", wmResult), 0);
  Modem->On("AT+B", Reply({"junk\x1A", "OK\r"}));
  EXPECT_EQ(Gsm->SendATCommand("AT+B", wmResult), 0);
  Modem->On("AT+C", Reply({"+C: 1\r\n", "OK\r\n"}));
  TStringList lines;
  EXPECT_EQ(Gsm->SendATCommand("AT+C", wmPrefixedAnswer, &lines), 0);
  EXPECT_EQ(lines.Text(), "1\n");
  ASSERT_TRUE(WaitFor([&] { return unsolicited.size() >= 4; }, 5000, true));
  EXPECT_EQ(unsolicited, (std::vector<std::string>{"OK", "OK", "+C: 1", "OK"}));
}

TEST_F(GSMEngine, BusyEdgesAndUnbusyWithoutBusy) {
  std::vector<bool> edges;
  Gsm->SetOnBusyChanged([&](TObject*, bool b) { edges.push_back(b); });
  Gsm->Unbusy();
  EXPECT_TRUE(edges.empty());
  Gsm->Busy();
  Gsm->Busy();
  Gsm->Unbusy();
  Gsm->Unbusy();
  Gsm->Unbusy();
  EXPECT_EQ(edges, (std::vector<bool>{true, false}));
}

TEST_F(GSMEngine, WorkerThreadCommandsAndEveryCharacterOnceInOrder) {
  std::string seen;  // main thread only
  std::atomic<bool> offMain{false};
  Gsm->SetOnRxChar([&](TObject*, char c) {
    if (!Application().IsMainThread()) offMain = true;
    seen += c;
  });
  Modem->Answer("AT+CGMR", {"REVISION 1.0", "OK"});
  Gsm->SetRecTimeout(20000);  // what is counted below must not include a retry under load
  std::atomic<int> done{0};
  std::thread worker([&] {
    for (int i = 0; i < 5; ++i) Gsm->SendATCommand("AT+CGMR", wmAnswer);
    done = 1;
  });
  ASSERT_TRUE(WaitFor([&] { return done.load() == 1; }, 20000, true));
  worker.join();
  for (int i = 0; i < 3; ++i) Gsm->SendATCommand("AT+CGMR", wmAnswer);  // and from the main thread
  std::string one = "AT+CGMR\r\r\nREVISION 1.0\r\n\r\nOK\r\n";
  std::string all;
  for (int i = 0; i < 8; ++i) all += one;
  ASSERT_TRUE(WaitFor([&] { return seen.size() >= all.size(); }, 5000, true));
  EXPECT_EQ(seen, all);
  EXPECT_FALSE(offMain);
}

TEST_F(GSMEngine, ChatterWithoutAnAnswerCannotHoldTheCaller) {
  // The peer reports signal quality twice per time-out and never answers.
  Modem->On("AT+CPIN?", Silence());
  std::atomic<bool> stop{false};
  std::thread chatter([&] {
    for (int i = 0; i < 400 && !stop; ++i) {
      Modem->Inject("\r\n+CSQ: 15,99\r\n");
      WaitFor([&] { return stop.load(); }, 150);
    }
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Error([&] { Gsm->SendATCommand("AT+CPIN?", wmPrefixedAnswer); }), "No reply on AT command: AT+CPIN?");
  stop = true;
  chatter.join();
  EXPECT_EQ(Modem->Count("AT+CPIN?"), 3);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST_F(GSMEngine, GarbageInTheMiddleOfATransaction) {
  std::mt19937 rng(11);
  std::string noise(1 << 20, '\0');
  for (char& c : noise) c = static_cast<char>(rng());
  for (size_t i = 0; i < noise.size(); i += 1000) noise[i] = '\0';
  TScriptedModem::TReply r;
  r.Chunks = {noise, std::string(200000, 'x'), "\r\n>\r\n", "\r\nOK\r\n"};
  Modem->On("AT+NOISE", r);
  Gsm->SetRecTimeout(2000);
  int code = -1;
  try {
    code = Gsm->SendATCommand("AT+NOISE", wmResult);
  } catch (const EGSMError&) {
    // Random bytes may hold an "ERROR" line of their own; ending by the rules is what counts.
  }
  (void)code;
  Application().ProcessMessages();
  // The component keeps working afterwards.
  Modem->Answer("AT", {"OK"});
  Gsm->SetRecTimeout(300);
  EXPECT_EQ(Gsm->SendATCommand("AT", wmResult), 0);
}

TEST(GSMEngineLifecycle, DestroyWhileHandOverWaitsForMainThread) {
  TPtyPair pty;
  auto port = MakeComponent<CommConnect::TComm>(nullptr);
  port->SetDeviceName(pty.SlavePath());
  auto* gsm = new TGSM(nullptr);
  gsm->SetComDevice(port.get());
  gsm->OpenComDevice();
  pty.Write("RING\r\n");
  // The hand-over thread is now blocked until the main thread runs cmRxChar.
  ASSERT_TRUE(WaitFor([] { return Application().PendingCount() > 0; }));
  gsm->Free();  // must not deadlock
  pty.Write("late\r\n");  // nothing may reach the freed component
  Application().ProcessMessages();
  // The port has its own handler and delivery mode back, and keeps what came after.
  EXPECT_FALSE(port->OnRxChar());
  EXPECT_FALSE(port->DontSynchronize());
  EXPECT_TRUE(WaitFor([&] { return port->InQueCount() >= 6; }));
}

TEST(GSMEngineLifecycle, PortDestroyedFirstClearsTheReference) {
  TPtyPair pty;
  auto* port = new CommConnect::TComm(nullptr);
  port->SetDeviceName(pty.SlavePath());
  auto gsm = MakeComponent<TGSM>(nullptr);
  gsm->SetComDevice(port);
  port->Free();
  EXPECT_EQ(gsm->COMDevice(), nullptr);
  try {
    gsm->Open();
    FAIL();
  } catch (const EGSMError& e) {
    EXPECT_STREQ(e.what(), "No assigned COM device");
  }
}

// The answer to AT+CGMI comes only when AT+CGMM has been sent, before AT+CGMM's own echo.
class GSMEngineLateAnswer : public GSMEngine, public ::testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(Echo, GSMEngineLateAnswer, ::testing::Values(true, false),
                         [](const auto& p) { return p.param ? "On" : "Off"; });

TEST_P(GSMEngineLateAnswer, IsNotTakenAsTheNextCommandsAnswer) {
  const bool echo = GetParam();
  Modem->SetEcho(false);  // echoes written by the rules, where a real modem would put them
  Modem->On("AT+CGMI", Reply({echo ? "AT+CGMI\r" : ""}));
  Modem->On("AT+CGMM", Reply({"\r\nSIEMENS\r\n\r\nOK\r\n", echo ? "AT+CGMM\r" : "", "\r\nMC35\r\n\r\nOK\r\n"}, 50));
  TStringList lines;
  EXPECT_EQ(Error([&] { Gsm->SendATCommand("AT+CGMI", wmAnswer, &lines, 1); }), "No reply on AT command: AT+CGMI");
  lines.Clear();
  EXPECT_EQ(Gsm->SendATCommand("AT+CGMM", wmAnswer, &lines, 1), 0);
  // AT+CGMI was taken (echoed, or the modem does not echo) and got no final result: the first
  // final result after it is its own.
  EXPECT_EQ(lines.Text(), "MC35\n");
}

TEST_F(GSMEngine, EchoTurnedOffOnPurposeIsNotWaitedFor) {
  Modem->Answer("ATE0", {"OK"});
  EXPECT_EQ(Gsm->SendATCommand("ATE0", wmResult), 0);  // its own echo still comes
  Modem->SetEcho(false);
  Modem->Answer("AT+CGMM", {"MC35", "OK"});
  TStringList lines;
  EXPECT_EQ(Gsm->SendATCommand("AT+CGMM", wmAnswer, &lines, 1), 0);
  EXPECT_EQ(lines.Text(), "MC35\n");
}

TEST_F(GSMEngine, IndicationDuringAWorkerTransactionIsFramedAfterIt) {
  std::vector<std::string> unsolicited;  // main thread only
  Gsm->SetOnUnsolicitedLine([&](TObject*, const std::string& l) { unsolicited.push_back(l); });
  Modem->SetEcho(false);
  Modem->Answer("AT+CSQ", {"RING", "+CSQ: 20,99", "OK"});
  // Whether the hand-over ran during the transaction or after it is the scheduler's choice:
  // a few rounds see both.
  for (int round = 1; round <= 6; ++round) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
      TStringList lines;
      Gsm->SendATCommand("AT+CSQ", wmAnswer, &lines);
      done = true;
    });
    ASSERT_TRUE(WaitFor([&] { return done.load(); }, 10000, true));
    worker.join();
    // Nothing more comes from the modem: the lines must not wait for it.
    ASSERT_TRUE(WaitFor([&] { return std::count(unsolicited.begin(), unsolicited.end(), "RING") == round; }, 5000, true))
        << "round " << round;
  }
}

TEST_F(GSMEngine, BabblingModemFailsTheAttemptLongLineIsProgress) {
  // Every line is kept with wmAnswer: without a bound the junk would be the "answer".
  Gsm->SetMaxReplyLines(100);
  std::vector<std::string> junk;
  for (int i = 0; i < 300; ++i) junk.push_back("\r\nJUNK " + std::to_string(i) + "\r\n");
  Modem->On("AT+CGMI", Reply(junk));
  EXPECT_EQ(Error([&] { Gsm->SendATCommand("AT+CGMI", wmAnswer, nullptr, 1); }),
            "The modem's answer to AT+CGMI exceeds 100 lines or 262144 bytes");
  // One long line trickling in for longer than RecTimeout is not silence.
  std::vector<std::string> trickle = {"\r\n"};
  for (int i = 0; i < 16; ++i) trickle.push_back(std::string(22, static_cast<char>('a' + i)));
  trickle.push_back("\r\n\r\nOK\r\n");
  Modem->On("AT+CGMM", Reply(trickle, 60));  // about a second in all, RecTimeout 300 ms
  TStringList lines;
  EXPECT_EQ(Gsm->SendATCommand("AT+CGMM", wmAnswer, &lines, 1), 0);
  ASSERT_EQ(lines.Count(), 1);
  EXPECT_EQ(lines[0].size(), 352u);
}

// Opted in, a modem's lines and events live on its own thread: a main thread that never runs its
// loop holds nothing up, and a transaction from it (or from a handler) still gets its answer.
TEST_F(GSMEngine, OwnThreadEventsNeedNoMainLoop) {
  Gsm->CloseComDevice(true);  // handlers are set before the port opens, as with any event thread
  Gsm->SetOwnThreadEvents(true);
  std::mutex m;
  std::vector<std::string> lines;
  std::atomic<int> onMain{0};
  std::atomic<int> fromHandler{-1};
  Modem->Answer("AT+CSQ", {"+CSQ: 20,99", "OK"});
  Gsm->SetOnUnsolicitedLine([&](TObject*, const std::string& l) {
    if (Application().IsMainThread()) ++onMain;
    if (l == "+XYZ: 3") fromHandler = Gsm->SendATCommand("AT+CSQ", wmAnswer);
    std::lock_guard lk(m);
    lines.push_back(l);
  });
  auto have = [&](const std::string& l) {
    std::lock_guard lk(m);
    return std::find(lines.begin(), lines.end(), l) != lines.end();
  };
  Gsm->OpenComDevice();
  Modem->Inject("\r\n+XYZ: 3\r\n");
  ASSERT_TRUE(WaitFor([&] { return have("+XYZ: 3") && have("OK"); }, 10000, false));
  EXPECT_EQ(fromHandler, 0);
  TStringList answer;
  EXPECT_EQ(Gsm->SendATCommand("AT+CSQ", wmAnswer, &answer), 0);  // the main thread's own
  EXPECT_EQ(answer.Text(), "+CSQ: 20,99\n");
  Modem->Inject("\r\nRING\r\n");
  ASSERT_TRUE(WaitFor([&] { return have("RING"); }, 10000, false));
  EXPECT_EQ(onMain, 0);
}
