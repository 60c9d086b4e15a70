// The gateway's outbox and inbox rules against a modem driver of the test's own: no serial line,
// no simulator, so each rule is shown in milliseconds and exactly.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <filesystem>
#include <map>
#include <set>
#include <mutex>
#include <thread>

#include "ForwardingStore.h"
#include "GatewayTestDb.h"
#include "halyard/framework/SysUtils.h"
#include "halyard/gateway/Gateway.h"
#include "halyard/gsm/LongSMS.h"
#include "halyard/gsm/SMS.h"

using namespace Halyard;
using namespace Halyard::Gateway;
using namespace std::chrono_literals;

namespace {

// What one modem does, shared by every driver the gateway opens on it (one an open).
struct TFakeModem {
  std::mutex M;
  std::string IMEI = "490154203237518";
  int Opens = 0;
  int FailOpens = 0;
  int Resets = 0;
  // One a part, in order; an empty entry (or none left) sends it with the next reference.
  std::deque<std::function<void()>> Sends;
  std::map<std::string, std::deque<std::function<void()>>> SendsTo;  // by recipient, before Sends
  std::vector<std::string> SentTexts;  // the user data of each part that went out
  std::vector<std::string> SentTo;     // and its recipient
  int NextReference = 1;
  std::map<int, std::function<TStoredMessage()>> Stored;  // by index
  std::vector<int> Deleted;
  std::vector<std::string> UssdSent;
  TDriverEvents Events;

  void Store(int Index, std::function<TStoredMessage()> M) {
    std::function<void()> announce;
    {
      std::lock_guard lk(this->M);
      Stored[Index] = std::move(M);
      announce = Events.Stored;
    }
    if (announce) announce();
  }
};

class TFakeDriver : public IModemDriver {
 public:
  explicit TFakeDriver(std::shared_ptr<TFakeModem> Modem) : F_(std::move(Modem)) {}
  void Open(TDriverEvents Events) override {
    std::lock_guard lk(F_->M);
    ++F_->Opens;
    if (F_->FailOpens > 0) {
      --F_->FailOpens;
      throw std::runtime_error("No reply on AT command: AT");
    }
    F_->Events = std::move(Events);
  }
  std::string Describe() override { return "on the test's modem"; }
  void Identify(TModemRecord& R) override { R.IMEI = F_->IMEI; }
  void Probe(TModemRecord& R) override {
    R.Signal = 20;
    R.Registration = 1;
  }
  int SendPart(GSM::TSMSSubmit& Part) override {
    std::function<void()> step;
    {
      std::lock_guard lk(F_->M);
      auto& own = F_->SendsTo[Part.DA];
      auto& script = own.empty() ? F_->Sends : own;
      if (!script.empty()) {
        step = std::move(script.front());
        script.pop_front();
      }
    }
    if (step) step();  // throws what the modem says
    std::lock_guard lk(F_->M);
    F_->SentTexts.push_back(Part.UD);
    F_->SentTo.push_back(Part.DA);
    return F_->NextReference++;
  }
  std::vector<TStoredMessage> ListStored() override {
    std::lock_guard lk(F_->M);
    std::vector<TStoredMessage> r;
    for (auto& [index, make] : F_->Stored) {
      r.push_back(make());
      r.back().Index = index;
      r.back().Storage = "\"SM\"";
    }
    return r;
  }
  void Delete(const TStoredMessage& M) override {
    std::lock_guard lk(F_->M);
    F_->Stored.erase(M.Index);
    F_->Deleted.push_back(M.Index);
  }
  bool TakeRestart() override { return false; }
  GSM::TUssdAnswer Ussd(const std::string& Code, int) override {
    std::lock_guard lk(F_->M);
    F_->UssdSent.push_back(Code);
    if (Code == "*100#") return {0, "Balance: 12.34 EUR", 15};
    if (Code == "*123#") return {1, "1 Balance\n2 Offers", 15};
    if (Code == "1") return {0, "Balance: 12.34 EUR", 15};
    if (Code == "*4#") return {4, "", -1};
    throw GSM::EUssdNoAnswer("No answer from the network to " + Code);
  }
  void CancelUssd() override {
    std::lock_guard lk(F_->M);
    F_->UssdSent.push_back("cancel");
  }
  void Reset() override {
    std::lock_guard lk(F_->M);
    ++F_->Resets;
  }
  TDeviceIdentity ProbeIdentity(bool) override { return {F_->IMEI, ""}; }

 private:
  std::shared_ptr<TFakeModem> F_;
};

TStoredMessage Deliver(const std::string& From, const std::string& Text, int Second = 0) {
  auto d = std::make_unique<GSM::TSMSDeliver>();
  d->OA = From;
  d->UD = Text;
  d->SCTS = Framework::EncodeDate(2026, 12, 9) + Framework::EncodeTime(10, 0, Second, 0);
  TStoredMessage m;
  m.Content = From + Text;  // what the receipt's digest is taken of
  m.Sms = std::move(d);
  return m;
}

TStoredMessage Report(int Reference, const std::string& To, uint8_t Status) {
  auto r = std::make_unique<GSM::TSMSStatusReport>();
  r->MR = static_cast<uint8_t>(Reference);
  r->RA = To;
  r->ST = Status;
  TStoredMessage m;
  m.Content = "report " + std::to_string(Reference);
  m.Sms = std::move(r);
  return m;
}

class ModemRules : public ::testing::Test {
 protected:
  void SetUp() override {
    Db = TTestDatabase::Make("sqlite");
    ASSERT_TRUE(Db);
    Config.Name = "gw";
    Config.Token = "t";
    Config.RetryFirst = 0s;  // a retry is due at once
    Config.ReopenFirst = 10ms;
    TModemConfig m;
    m.Name = "m";
    Config.Modems = {m};
  }
  // Runs the gateway until Done holds (or a generous minute passes), then stops it.
  void RunUntil(const std::function<bool(TStore&)>& Done, std::unique_ptr<TStore> Store = nullptr) {
    if (!Store) Store = OpenStore(Db->Where());
    TGateway gw(Config, [this](const std::string& Line) {
      std::lock_guard lk(LogLock);
      Log += Line + "\n";
    }, std::move(Store));
    for (auto& m : Config.Modems)
      if (!Pool.count(m.Name)) {
        Pool[m.Name] = m.Name == "m" ? Modem : std::make_shared<TFakeModem>();
        Pool[m.Name]->IMEI = "35000000000" + std::to_string(1000 + Pool.size());
      }
    gw.SetDriverFactory([this](const TModemConfig& M, const TLogSink&) { return std::make_unique<TFakeDriver>(Pool.at(M.Name)); });
    if (Before) Before(gw.Store());
    std::atomic<bool> met{false};
    std::thread watch([&] {
      auto deadline = std::chrono::steady_clock::now() + 60s;
      while (std::chrono::steady_clock::now() < deadline && !met) {
        try {
          met = Done(gw.Store());
        } catch (const EStoreError&) {
        }
        std::this_thread::sleep_for(5ms);
      }
      gw.Stop();
    });
    std::thread during;
    if (During) during = std::thread([&] { During(gw); });
    gw.Run();
    watch.join();
    if (during.joinable()) during.join();
    EXPECT_TRUE(met) << Log;
  }
  std::string Logged() {
    std::lock_guard lk(LogLock);
    return Log;
  }
  std::unique_ptr<TTestDatabase> Db;
  TGatewayConfig Config;
  std::shared_ptr<TFakeModem> Modem = std::make_shared<TFakeModem>();
  std::map<std::string, std::shared_ptr<TFakeModem>> Pool;  // by modem name; "m" is Modem
  std::function<void(TStore&)> Before;
  std::function<void(TGateway&)> During;  // on a thread of its own while the gateway runs
  std::mutex LogLock;
  std::string Log;
};

bool Settled(TStore& S, int64_t Id) {
  auto s = S.Get(Id)->Status;
  return s != msQueued && s != msSending;
}

}  // namespace

// Each part goes out once; a failure is sorted by the modem's +CMS number (a busy network is
// tried again, an invalid number is not); a retry goes on with the part after the last one out.
TEST_F(ModemRules, PartsGoOutOnceAndTheModemsNumberDecidesARetry) {
  auto refuse = [](int Cms) {
    return [Cms] { throw EPartFailed(EPartFailed::pfRefused, "+CMS ERROR: " + std::to_string(Cms), Cms); };
  };
  int64_t longOne = 0, busy = 0, invalid = 0;
  // The long one's second part meets a busy network; the short one a network failure; the
  // third an invalid number.
  Modem->SendsTo["+4917100001"] = {nullptr, refuse(42)};
  Modem->SendsTo["+4917100002"] = {refuse(38)};
  Modem->SendsTo["+4917100003"] = {refuse(21)};
  Before = [&](TStore& S) {
    longOne = S.Queue("+4917100001", std::string(300, 'a'), false, 0);
    busy = S.Queue("+4917100002", "short", false, 0);
    invalid = S.Queue("+4917100003", "nobody", false, 0);
  };
  RunUntil([&](TStore& S) { return Settled(S, longOne) && Settled(S, busy) && Settled(S, invalid); });
  auto s = OpenStore(Db->Where());
  auto a = s->Get(longOne), b = s->Get(busy), c = s->Get(invalid);
  EXPECT_EQ(a->Status, msSent);
  EXPECT_EQ(a->References.size(), 2u);
  EXPECT_EQ(a->Attempts, 2);
  EXPECT_EQ(b->Status, msSent);
  EXPECT_EQ(b->Attempts, 2);
  EXPECT_EQ(c->Status, msFailed);
  EXPECT_EQ(c->Error, "+CMS ERROR: 21");
  EXPECT_EQ(c->Attempts, 1);
  EXPECT_EQ(Modem->SentTexts.size(), 3u) << "two parts and one short message, each once";
}

// A part whose body went and got no answer may have gone out: "unknown", never sent again, and
// the modem is opened anew. A part that got no answer before its body was not sent: tried again
// after the reopen.
TEST_F(ModemRules, MaybeSentIsUnknownAndNoAnswerIsTriedAgainAfterAReopen) {
  int64_t maybe = 0, silent = 0;
  Modem->Sends = {[] { throw EPartFailed(EPartFailed::pfMaybeSent, "no answer after the body"); },
                  [] { throw EPartFailed(EPartFailed::pfNoAnswer, "No reply on AT command: AT+CMGS=20"); }};
  Before = [&](TStore& S) {
    maybe = S.Queue("+4917100001", "first", false, 0);
    silent = S.Queue("+4917100002", "second", false, 0);
  };
  RunUntil([&](TStore& S) { return Settled(S, maybe) && S.Get(silent)->Status == msSent; });
  auto s = OpenStore(Db->Where());
  EXPECT_EQ(s->Get(maybe)->Status, msUnknown);
  EXPECT_EQ(s->Get(maybe)->Error, kUnknownOutcome);
  EXPECT_EQ(Modem->SentTexts, (std::vector<std::string>{"second"}));
  EXPECT_EQ(Modem->Opens, 3) << Logged();
}

// Refusals in a row take the modem down and up again; a modem that cannot be opened is tried
// again with backoff and what was queued waits for it.
TEST_F(ModemRules, ErrorsInARowAndFailedOpensReopenTheModem) {
  auto refuse = [] { throw EPartFailed(EPartFailed::pfRefused, "+CMS ERROR: 500", 500); };
  Modem->FailOpens = 2;
  Modem->Sends = {refuse, refuse, refuse};
  Config.MaxAttempts = 5;
  int64_t id = 0;
  Before = [&](TStore& S) { id = S.Queue("+4917100001", "at last", false, 0); };
  RunUntil([&](TStore& S) { return S.Get(id)->Status == msSent; });
  EXPECT_EQ(OpenStore(Db->Where())->Get(id)->Attempts, 4);
  EXPECT_EQ(Modem->Opens, 4) << Logged();  // two refused, the first up, the one after the errors
  EXPECT_NE(Logged().find("errors in a row"), std::string::npos) << Logged();
}

// What the modem stored is stored once each, and then deleted from the modem: equal texts are
// all kept, a message the modem could not read is kept as it came, a report is matched to its
// part, and a message stored without a readable stamp keeps its sender and text.
TEST_F(ModemRules, StoredMessagesAreStoredOnceEachAndDeleted) {
  int64_t out = 0;
  Config.Modems[0].Name = "m";
  Before = [&](TStore& S) { out = S.Queue("+4917100009", "report me", true, 0); };
  Modem->Stored[1] = [] { return Deliver("+4930500", "same again"); };
  Modem->Stored[2] = [] { return Deliver("+4930500", "same again"); };
  Modem->Stored[3] = [] {
    TStoredMessage m;
    m.Content = "07911326040000F0040B91134661";
    m.Problem = "Truncated PDU";
    return m;
  };
  Modem->Stored[4] = [] {
    auto m = Deliver("+4930123", "hi");
    static_cast<GSM::TSMSDeliver*>(m.Sms.get())->SCTS = 0;
    m.StampUnknown = true;
    m.Problem = "Invalid argument to date encode";
    return m;
  };
  std::atomic<bool> reported{false};
  RunUntil([&](TStore& S) {
    auto m = S.Get(out);
    if (m->Status == msSent && !reported.exchange(true)) {
      Modem->Store(5, [] { return Report(1, "+4917100009", 0); });
      Modem->Store(6, [] { return Deliver("+4930500", "same again"); });
    }
    return m->Status == msDelivered && S.InboxCount() == 5;
  });
  auto s = OpenStore(Db->Where());
  auto inbox = s->Inbox(0);
  ASSERT_EQ(inbox.size(), 5u);
  int same = 0;
  for (auto& m : inbox) same += m.Text == "same again";
  EXPECT_EQ(same, 3);
  EXPECT_EQ(inbox[2].Raw, "07911326040000F0040B91134661");
  EXPECT_EQ(inbox[3].From, "+4930123");
  EXPECT_EQ(inbox[3].Text, "hi");
  EXPECT_EQ(inbox[3].Stamp, 0);
  EXPECT_EQ(inbox[0].Stamp, 1796810400);  // 2026-12-09 10:00:00, zone +0
  EXPECT_TRUE(Modem->Stored.empty());
  EXPECT_EQ(Modem->Deleted.size(), 6u);
  auto modems = s->Modems();  // as every gateway on the store sees it
  ASSERT_EQ(modems.size(), 1u);
  EXPECT_EQ(modems[0].Signal, 20);
  EXPECT_EQ(modems[0].Registration, 1);
  EXPECT_EQ(modems[0].IMEI, Modem->IMEI);
  EXPECT_NE(Logged().find("at \"SM\" 3 cannot be read (Truncated PDU)"), std::string::npos) << Logged();
}

namespace {
// A store that refuses what arrives while an outage lasts.
class TRefusingStore : public TForwardingStore {
 public:
  using TForwardingStore::TForwardingStore;
  std::atomic<int> Outage{0};
  bool StoreIncoming(const TReceived& M) override {
    if (Outage > 0 && Outage-- > 0) throw EStoreError("the database system is starting up");
    return R_->StoreIncoming(M);
  }
};
}  // namespace

// While the store is away nothing is deleted from the modem: what it holds is listed again once
// the store is back and stored once. A message handed over directly while the store is away is
// refused, so that the network delivers it again.
TEST_F(ModemRules, NothingLeavesTheModemBeforeTheStoreHasIt) {
  auto store = std::make_unique<TRefusingStore>(OpenStore(Db->Where()));
  TRefusingStore* refusing = store.get();
  refusing->Outage = 2;
  Modem->Stored[7] = [] { return Deliver("+4930500", "kept"); };
  std::atomic<int> refused{0}, taken{0};
  std::atomic<bool> handed{false};
  RunUntil(
      [&](TStore& S) {
        if (S.InboxCount() >= 1 && !handed.exchange(true)) {
          TDriverEvents e;
          {
            std::lock_guard lk(Modem->M);
            e = Modem->Events;
          }
          auto d = Deliver("+4930600", "direct");
          refusing->Outage = 1;
          for (int i = 0; i < 2; ++i) {
            try {
              e.Direct(*d.Sms);
              ++taken;
            } catch (const EStoreError&) {
              ++refused;
            }
          }
        }
        return S.InboxCount() == 2;
      },
      std::move(store));
  EXPECT_EQ(refused, 1);
  EXPECT_EQ(taken, 1);
  auto inbox = OpenStore(Db->Where())->Inbox(0);
  ASSERT_EQ(inbox.size(), 2u);
  EXPECT_EQ(inbox[0].Text, "kept");
  EXPECT_EQ(inbox[1].Text, "direct");
  EXPECT_EQ(Modem->Deleted, (std::vector<int>{7}));
}

// What goes to the modem: higher priority first and ties in queue order, a scheduled message not
// before its time, a cancelled one never.
TEST_F(ModemRules, PriorityScheduleAndCancellingReachTheModemAsAsked) {
  int64_t scheduled = 0, cancelled = 0;
  TTime due{};
  Before = [&](TStore& S) {
    auto queue = [&](const std::string& Text, int Priority, int64_t SendAt = 0) {
      TNewMessage m;
      m.To = "+4917100001";
      m.Text = Text;
      m.Priority = Priority;
      m.SendAt = SendAt;
      return S.QueueMessage(m).Id;
    };
    due = TClock::now() + 1500ms;
    scheduled = queue("at its time", 100, std::chrono::duration_cast<std::chrono::milliseconds>(due.time_since_epoch()).count());
    queue("low", -1);
    queue("first of two", 5);
    cancelled = queue("never", 5);
    queue("second of two", 5);
    ASSERT_EQ(S.Cancel(cancelled), crCancelled);
  };
  std::atomic<int64_t> sentAt{0};
  RunUntil([&](TStore& S) {
    auto m = S.Get(scheduled);
    if (m->Status == msSent && !sentAt) sentAt = m->SentAt;
    return S.QueueDepth() == 0 && m->Status == msSent;
  });
  EXPECT_EQ(Modem->SentTexts, (std::vector<std::string>{"first of two", "second of two", "low", "at its time"}));
  EXPECT_GE(sentAt.load(), std::chrono::duration_cast<std::chrono::milliseconds>(due.time_since_epoch()).count());
  EXPECT_EQ(OpenStore(Db->Where())->Get(cancelled)->Status, msCancelled);
}

// USSD through the gateway, on the modem's own thread between parts: a balance, a menu and its
// reply in a session, and what cannot be answered.
TEST_F(ModemRules, UssdBalanceAndAMenuBetweenParts) {
  int64_t id = 0;
  Before = [&](TStore& S) { id = S.Queue("+4917100001", std::string(600, 'u'), false, 0); };
  TUssdReply balance, menu, chosen, again, unsupported, silent, nobody;
  std::atomic<bool> asked{false};
  During = [&](TGateway& Gw) {
    balance = Gw.Ussd("m", "*100#");
    menu = Gw.Ussd("m", "*123#");
    chosen = Gw.Ussd("", "1", menu.Session);
    again = Gw.Ussd("", "1", menu.Session);
    unsupported = Gw.Ussd("m", "*4#");
    silent = Gw.Ussd("m", "*5#");
    nobody = Gw.Ussd("x", "*100#");
    asked = true;
  };
  RunUntil([&](TStore& S) { return asked.load() && S.Get(id)->Status == msSent; });
  EXPECT_EQ(balance.Status, 200);
  EXPECT_EQ(balance.Text, "Balance: 12.34 EUR");
  EXPECT_EQ(balance.Session, 0);
  EXPECT_EQ(menu.Network, 1);
  EXPECT_NE(menu.Session, 0);
  EXPECT_EQ(chosen.Status, 200);
  EXPECT_EQ(chosen.Text, "Balance: 12.34 EUR");
  EXPECT_EQ(again.Status, 404);  // the session ended with its answer
  EXPECT_EQ(unsupported.Status, 502);
  EXPECT_EQ(silent.Status, 504);
  EXPECT_EQ(nobody.Status, 404);
  EXPECT_EQ(Modem->UssdSent, (std::vector<std::string>{"*100#", "*123#", "1", "*4#", "*5#"}));
}

// A pool: routes by prefix (the longest wins), a group, a message that names its modem, and a
// daily limit that holds across a restart because the store counts it.
TEST_F(ModemRules, RoutesGroupsAndADailyLimitAcrossARestart) {
  TModemConfig de1, de2, any;
  de1.Name = "de1";
  de1.Groups = {"de"};
  de1.LimitPerDay = 50;
  de2.Name = "de2";
  de2.Groups = {"de"};
  any.Name = "any";
  Config.Modems = {de1, de2, any};
  Config.Routes = {{"+49", {"de"}}, {"+4930", {"de2"}}};
  std::set<int64_t> ids;
  std::map<std::string, std::string> byText;  // text -> recipient
  auto queue = [&](TStore& S, const std::string& To, const std::string& Text, const std::string& Target = "") {
    TNewMessage m;
    m.To = To;
    m.Text = Text;
    m.Modems = EligibleModems(Config, To, Target);
    ids.insert(S.QueueMessage(m).Id);
    byText[Text] = To;
  };
  Before = [&](TStore& S) {
    for (int i = 0; i < 100; ++i) {
      queue(S, "+4917" + std::to_string(100000 + i), "mobile " + std::to_string(i));
      queue(S, "+4930" + std::to_string(100000 + i), "berlin " + std::to_string(i));
      queue(S, "+3361" + std::to_string(100000 + i), "france " + std::to_string(i));
    }
    queue(S, "+4917999999", "named", "any");
  };
  auto allSent = [&](TStore& S) {
    for (int64_t id : ids)
      if (S.Get(id)->Status != msSent) return false;
    return true;
  };
  RunUntil(allSent);
  std::map<std::string, int> times;
  auto check = [&](const std::string& Modem, const std::function<bool(const std::string& To)>& Allowed) {
    auto& f = *Pool.at(Modem);
    for (size_t i = 0; i < f.SentTexts.size(); ++i) {
      ++times[f.SentTexts[i]];
      EXPECT_TRUE(Allowed(f.SentTo[i])) << f.SentTexts[i] << " to " << f.SentTo[i] << " through " << Modem;
    }
  };
  // +4930 only through de2, the rest of +49 through either of the group, the others anywhere.
  check("de1", [](const std::string& To) { return To.rfind("+4930", 0) != 0 && To != "+4917999999"; });
  check("de2", [](const std::string& To) { return To != "+4917999999"; });
  check("any", [](const std::string& To) { return To.rfind("+49", 0) != 0 || To == "+4917999999"; });
  EXPECT_EQ(Pool.at("de1")->SentTexts.size(), 50u);
  EXPECT_EQ(times.size(), 301u);
  for (auto& [text, n] : times) EXPECT_EQ(n, 1) << text;
  EXPECT_NE(std::find(Pool.at("any")->SentTexts.begin(), Pool.at("any")->SentTexts.end(), "named"),
            Pool.at("any")->SentTexts.end());

  // Restarted, the limited modem still has no room today: the German mobiles go through de2.
  Before = [&](TStore& S) {
    ids.clear();
    for (int i = 0; i < 20; ++i) queue(S, "+4917" + std::to_string(200000 + i), "later " + std::to_string(i));
  };
  size_t de1Before = Pool.at("de1")->SentTexts.size();
  RunUntil(allSent);
  EXPECT_EQ(Pool.at("de1")->SentTexts.size(), de1Before);
  EXPECT_NE(Logged().find("de1: at its limit (per day: 50 of 50)"), std::string::npos) << Logged();
}

// Least use first: a modem that sent 20 parts today (counted in the store, so across a restart)
// leaves the next messages to the two that sent none while they are idle.
TEST_F(ModemRules, TheLeastUsedModemTakesTheNextMessage) {
  TModemConfig a, b, c;
  a.Name = "a";
  b.Name = "b";
  c.Name = "c";
  Config.Modems = {a, b, c};
  std::vector<int64_t> ids;
  Before = [&](TStore& S) {
    for (int i = 0; i < 20; ++i) {
      TNewMessage m;
      m.To = "+4917100" + std::to_string(100 + i);
      m.Text = "through a " + std::to_string(i);
      m.Modems = {"a"};
      ids.push_back(S.QueueMessage(m).Id);
    }
  };
  auto allSent = [&](TStore& S) {
    for (int64_t id : ids)
      if (S.Get(id)->Status != msSent) return false;
    return true;
  };
  RunUntil(allSent);
  ASSERT_EQ(Pool.at("a")->SentTexts.size(), 20u);
  // One message at a time, each queued once the one before is sent.
  Before = nullptr;
  ids.clear();
  std::atomic<int> done{0};
  During = [&](TGateway& G) {
    auto allIdle = [&] {
      auto m = G.Modems();
      return std::all_of(m.begin(), m.end(), [](const TModemState& s) { return s.Up && s.Idle; });
    };
    for (auto end = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < end && !allIdle();)
      std::this_thread::sleep_for(5ms);
    for (int i = 0; i < 20; ++i) {
      int64_t id = G.Store().Queue("+4917200" + std::to_string(100 + i), "one by one " + std::to_string(i), false, 0);
      G.Poke();
      for (auto end = std::chrono::steady_clock::now() + 30s;
           std::chrono::steady_clock::now() < end && G.Store().Get(id)->Status != msSent;)
        std::this_thread::sleep_for(5ms);
    }
    done = 20;
  };
  RunUntil([&](TStore&) { return done == 20; });
  EXPECT_LE(Pool.at("a")->SentTexts.size(), 21u) << testing::PrintToString(Pool.at("a")->SentTexts) << Logged();
  EXPECT_GE(Pool.at("b")->SentTexts.size(), 8u);
  EXPECT_GE(Pool.at("c")->SentTexts.size(), 8u);
  EXPECT_EQ(Pool.at("a")->SentTexts.size() + Pool.at("b")->SentTexts.size() + Pool.at("c")->SentTexts.size(), 40u);
}

// A modem that will not open goes up the ladder: reopened, reset, its hook run, and once that
// brings it back the message held for it goes out once.
TEST_F(ModemRules, AModemThatWillNotOpenIsResetThenItsHookRun) {
  std::string mark = (std::filesystem::path(Db->Dir()) / "hook-ran").string();
  Config.Modems[0].ResetHook = "touch " + mark;
  Modem->FailOpens = 5;
  int64_t id = 0;
  Before = [&](TStore& S) { id = S.Queue("+4917100001", "after the ladder", false, 0); };
  RunUntil([&](TStore& S) { return S.Get(id)->Status == msSent; });
  EXPECT_EQ(Modem->Resets, 1);
  EXPECT_TRUE(std::filesystem::exists(mark));
  EXPECT_EQ(Modem->Opens, 6);
  EXPECT_EQ(Modem->SentTexts, std::vector<std::string>{"after the ladder"});
  auto log = Logged();
  EXPECT_NE(log.find("m: 2 failed opens; resetting it (AT+CFUN=1,1)"), std::string::npos) << log;
  EXPECT_NE(log.find("m: 4 failed opens after a reset; running its reset_hook"), std::string::npos) << log;
  EXPECT_NE(log.find("reset_hook ended with status 0"), std::string::npos) << log;
}
