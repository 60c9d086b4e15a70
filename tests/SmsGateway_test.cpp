// halyard-smsd end to end: the service process on gsmsim modems, driven through its API, on
// SQLite and on PostgreSQL; what the modems were sent is read back from the simulators' logs.
#include <gtest/gtest.h>
#include <httplib.h>

#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "GatewayTestDb.h"
#include "WebhookReceiver.h"
#include "Processes.h"
#include "halyard/auxstr/AuxStr.h"
#include "halyard/gateway/GatewayApi.h"
#include "halyard/gsm/LongSMS.h"
#include "halyard/gsm/SMS.h"
#include "halyard/gsm/SMSText.h"

using namespace Halyard;
using namespace HalyardTest;
using Gateway::TTestDatabase;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

// One halyard-smsd process with its configuration and its log in Dir.
class TGatewayProcess {
 public:
  TGatewayProcess(const fs::path& Dir, const std::string& Config) : Dir_(Dir) {
    fs::create_directories(Dir_);
    std::ofstream(Dir_ / "gw.toml") << Config;
    int fd = ::open((Dir_ / "gw.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
    Proc_ = std::make_unique<TBackground>(
        std::vector<std::string>{std::string(HALYARD_BINARY_DIR) + "/tools/halyard-smsd", "--config",
                                 (Dir_ / "gw.toml").string()},
        false, fd);
  }
  std::string Log() const {
    std::ifstream in(Dir_ / "gw.log");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // The API's port, once the service says it listens; 0 when it does not within a minute.
  int Port() const {
    static const std::regex listening("API on http://127\\.0\\.0\\.1:([0-9]+)");
    for (auto end = Clock::now() + std::chrono::seconds(60); Clock::now() < end;) {
      std::smatch m;
      std::string log = Log();
      if (std::regex_search(log, m, listening)) return std::stoi(m[1]);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return 0;
  }
  void Kill() { Proc_->Kill(); }
  int Terminate() { return Proc_->Terminate(); }

 private:
  fs::path Dir_;
  std::unique_ptr<TBackground> Proc_;
};

std::string ModemSection(const std::string& Name, const TSim& Sim, const std::string& Model) {
  return "[[modem]]\nname = \"" + Name + "\"\ndevice = \"" + Sim.Modem() + "\"\nmodel = \"" + Model +
         "\"\ntimeout_ms = 5000\n";
}

// Every message the simulator was given to send, its parts joined: text -> times sent.
std::map<std::string, int> SentTexts(const TSim& Sim) {
  std::string all = Sim.Received();
  std::map<std::tuple<std::string, int, int>, std::map<int, std::string>> parts;
  std::map<std::string, int> texts;
  for (size_t at = 0; (at = all.find("AT+CMGS=", at)) != std::string::npos;) {
    // The body is what follows the last command before the end of message: a command that got
    // no prompt (a hung modem) has none.
    size_t end = all.find("\\x1a", at);
    if (end == std::string::npos) break;
    size_t body = all.rfind("\\r", end);
    size_t last = all.rfind("AT+CMGS=", end);
    if (last != at) {
      at = last;
      continue;
    }
    std::string hex = all.substr(body + 2, end - body - 2);
    at = end;
    auto m = GSM::TSMS2::CreateSMS(nullptr, hex, false);
    auto* s = dynamic_cast<GSM::TSMSSubmit*>(m.get());
    if (!s) {
      ADD_FAILURE() << "not a SUBMIT: " << hex;
      continue;
    }
    auto c = GSM::MessageContent(*s);
    auto concat = c.Header ? c.Header->Concatenation() : std::nullopt;
    if (!concat) {
      ++texts[c.Text()];
      continue;
    }
    auto& p = parts[{s->DA, concat->Reference, concat->Parts}];
    if (p.count(concat->Part)) ADD_FAILURE() << "part " << concat->Part << " to " << s->DA << " sent twice";
    p[concat->Part] = c.Text();
    if (static_cast<int>(p.size()) == concat->Parts) {
      std::string whole;
      for (auto& [n, t] : p) whole += t;
      ++texts[whole];
      p.clear();
    }
  }
  for (auto& [key, p] : parts)
    if (!p.empty()) ++texts["(incomplete) " + p.begin()->second];
  return texts;
}

class TApi {
 public:
  explicit TApi(int Port) : Http_("127.0.0.1", Port) { Http_.set_read_timeout(30, 0); }
  int64_t Queue(const std::string& To, const std::string& Text, bool Report, const std::string& Modem = "") {
    json body = {{"to", To}, {"text", Text}, {"report", Report}};
    if (!Modem.empty()) body["modem"] = Modem;
    auto r = Http_.Post("/messages", Auth_, body.dump(), "application/json");
    if (!r || r->status != 201) {
      ADD_FAILURE() << "POST /messages: " << (r ? r->body : "no answer");
      return -1;
    }
    return json::parse(r->body)["id"];
  }
  json Get(const std::string& Path) {
    auto r = Http_.Get(Path, Auth_);
    if (!r) return json();
    return json::parse(r->body, nullptr, false);
  }

 private:
  httplib::Client Http_;
  httplib::Headers Auth_ = {{"Authorization", "Bearer t0ken"}};
};

// Waits up to Seconds for Done, checking every 100 ms.
bool WaitFor(int Seconds, const std::function<bool()>& Done) {
  for (auto end = Clock::now() + std::chrono::seconds(Seconds); Clock::now() < end;) {
    if (Done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return Done();
}

class SmsGateway : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    Db = TTestDatabase::Make(GetParam());
    if (!Db) GTEST_SKIP() << TTestDatabase::WhyNot(GetParam());
  }
  std::string Common(const std::string& Name, int LeaseSeconds = 120, std::string Where = "") {
    if (Where.empty()) Where = Db->Where();
    return "name = \"" + Name + "\"\nstore = \"" + Where + "\"\ntoken = \"t0ken\"\n[http]\nport = 0\n" +
           "[sending]\nlease_seconds = " + std::to_string(LeaseSeconds) + "\n[reopen]\nfirst_ms = 200\nmax_ms = 1000\n";
  }
  std::unique_ptr<TTestDatabase> Db;
};

}  // namespace

// The event feed tells every message's story and every inbox entry once: ids without gaps,
// one "queued" each, as many "part_sent" as parts out, and a last status event that is the
// message's status.
void ExpectFeedTellsTheStore(Gateway::TStore& Store) {
  std::vector<Gateway::TEvent> feed;
  for (;;) {
    auto page = Store.Events(feed.empty() ? 0 : feed.back().Id, 1000);
    if (page.empty()) break;
    feed.insert(feed.end(), page.begin(), page.end());
  }
  for (size_t i = 0; i < feed.size(); ++i) ASSERT_EQ(feed[i].Id, static_cast<int64_t>(i + 1));
  std::map<int64_t, std::string> last;
  std::map<int64_t, int> queued, parts, received;
  for (auto& e : feed) {
    if (e.Type == "message.received" || e.Type == "message.incomplete") {
      ++received[e.Subject];
    } else if (e.Type.rfind("message.", 0) == 0) {
      if (e.Type == "message.part_sent") ++parts[e.Subject];
      else last[e.Subject] = e.Type.substr(8);
      if (e.Type == "message.queued" && e.Data.find("\"retry\"") == std::string::npos &&
          e.Data.find("\"released\"") == std::string::npos)
        ++queued[e.Subject];
    }
  }
  for (auto& [id, status] : last) {
    auto m = Store.Get(id);
    ASSERT_TRUE(m) << id;
    EXPECT_EQ(status, Gateway::StatusName(m->Status)) << "message " << id;
    EXPECT_EQ(queued[id], 1) << "message " << id;
    EXPECT_EQ(parts[id], static_cast<int>(m->References.size())) << "message " << id;
  }
  int64_t inbox = 0;
  for (auto& m : Store.Inbox(0, 100000)) {
    EXPECT_EQ(received[m.Id], 1) << "inbox " << m.Id;
    ++inbox;
  }
  EXPECT_EQ(static_cast<int64_t>(received.size()), inbox);
}

TEST_P(SmsGateway, SendsAndReceivesThroughTwoModemsEachMessageOnce) {
  // A model without the pauses after each send and read: the test is of the gateway.
  TSim a(Db->Dir() / "sim-a", "+15550000001", "A1"), b(Db->Dir() / "sim-b", "+15550000002", "A1");
  TGatewayProcess gw(Db->Dir() / "gw", Common("gw") + ModemSection("a", a, "A1") + ModemSection("b", b, "A1"));
  int port = gw.Port();
  ASSERT_GT(port, 0) << gw.Log();
  TApi api(port);

  // 200 messages: short, Unicode, long in the default alphabet, long in UCS2.
  std::map<std::string, int> expected;
  std::vector<std::pair<int64_t, std::string>> queued;
  for (int i = 0; i < 200; ++i) {
    std::string text = "message " + std::to_string(i);
    if (i % 4 == 1) text = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xF0\x9F\x98\x80 #" + std::to_string(i);
    if (i % 5 == 2) text = "long " + std::to_string(i) + " " + std::string(380, 'x');
    if (i % 10 == 3) {
      text = std::to_string(i) + ":";
      for (int k = 0; k < 30; ++k) text += "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC ";  // "été € " (the euro sign is an escape)
      text += "\xF0\x9F\x98\x80";
    }
    ++expected[text];
    queued.emplace_back(api.Queue("+4917100" + std::to_string(10000 + i), text, true), text);
  }
  auto store = Gateway::OpenStore(Db->Where());
  ASSERT_TRUE(WaitFor(240, [&] { return store->Counts()[Gateway::msDelivered] == 200; }))
      << store->Counts()[Gateway::msDelivered] << " delivered\n" << gw.Log();
  for (auto& [id, text] : queued) {
    json m = api.Get("/messages/" + std::to_string(id));
    EXPECT_EQ(m["status"], "delivered") << m.dump();
    EXPECT_EQ(m["references"].size(), static_cast<size_t>(GSM::CountParts(text))) << m.dump();
  }
  auto sentA = SentTexts(a), sentB = SentTexts(b);
  EXPECT_GT(sentA.size(), 0u);
  EXPECT_GT(sentB.size(), 0u);
  std::map<std::string, int> sent = sentA;
  for (auto& [t, n] : sentB) sent[t] += n;
  EXPECT_EQ(sent, expected);  // every message once, none lost, none twice

  // 100 incoming messages, a quarter of them long with their parts last first.
  std::map<std::pair<std::string, std::string>, int> arriving;
  for (int i = 0; i < 100; ++i) {
    std::string from = "+4930" + std::to_string(5000 + i);
    std::string text = "incoming " + std::to_string(i);
    bool longOne = i % 4 == 0;
    if (longOne) text += " " + std::string(200, 'y') + " \xE2\x9C\x93 " + std::string(60, 'z');
    ++arriving[{from, text}];
    (i % 2 ? a : b).Control(std::string(longOne ? "smsrev " : "sms ") + from + " " + text);
    if (i % 10 == 9) std::this_thread::sleep_for(std::chrono::milliseconds(50));  // within the FIFO's room
  }
  std::vector<json> inbox;
  ASSERT_TRUE(WaitFor(120, [&] {
    json page = api.Get("/inbox?since=" + std::to_string(inbox.empty() ? 0 : inbox.back()["id"].get<int64_t>()));
    for (auto& m : page["messages"]) inbox.push_back(m);
    return inbox.size() >= 100;
  })) << inbox.size() << " in the inbox\n" << gw.Log();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // nothing more may come
  json late = api.Get("/inbox?since=" + std::to_string(inbox.back()["id"].get<int64_t>()));
  for (auto& m : late["messages"]) inbox.push_back(m);
  std::map<std::pair<std::string, std::string>, int> stored;
  for (auto& m : inbox) {
    ++stored[{m["from"], m["text"]}];
    EXPECT_TRUE(m["complete"].get<bool>()) << m.dump();
  }
  EXPECT_EQ(stored, arriving);

  std::string metrics = httplib::Client("127.0.0.1", port)
                            .Get("/metrics", {{"Authorization", "Bearer t0ken"}})
                            ->body;
  EXPECT_NE(metrics.find("halyard_messages{status=\"delivered\"} 200\n"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("halyard_modem_up{modem=\"a\"} 1\n"), std::string::npos) << metrics;
  EXPECT_EQ(gw.Terminate(), 0) << gw.Log();
  EXPECT_EQ(store->Counts()[Gateway::msSending], 0);
  ExpectFeedTellsTheStore(*store);
}

TEST_P(SmsGateway, AKilledGatewayLeavesOneUnknownAndTheOtherTakesOver) {
  auto store = Gateway::OpenStore(Db->Where());
  std::map<std::string, int64_t> ids;
  for (int i = 0; i < 1000; ++i) {
    std::string text = "kill test " + std::to_string(i);
    ids[text] = store->Queue("+4917200" + std::to_string(10000 + i), text, false, 0);
  }
  // Two modems each, of a model without the pause after each message: the test is of the
  // hand-over, not of pauses.
  TSim a1(Db->Dir() / "sim-a1", "+15550000001", "A1"), a2(Db->Dir() / "sim-a2", "+15550000002", "A1");
  TSim b1(Db->Dir() / "sim-b1", "+15550000003", "A1"), b2(Db->Dir() / "sim-b2", "+15550000004", "A1");
  // Both push every event to one subscriber, which refuses the first attempts, stalls one past
  // the time-out and checks every signature.
  HalyardTest::TWebhookReceiver rx("0123456789abcdef");
  const int64_t subscribed = store->Events(0, 100000).back().Id;  // the subscription hears what follows
  {
    std::lock_guard lk(rx.M);
    rx.Script = {[] { return 503; }, [] { return 503; }, [] {
                   std::this_thread::sleep_for(std::chrono::milliseconds(2500));
                   return 204;
                 }};
  }
  const std::string hooks = "[webhooks]\ntimeout_seconds = 1\nretry_seconds = 1\nretry_max_seconds = 2\n"
                            "[[webhook]]\nurl = \"" + rx.Url() + "\"\nevents = [\"*\"]\nsecret = \"0123456789abcdef\"\n";
  TGatewayProcess ga(Db->Dir() / "gw-a",
                     Common("gw-a", 5) + hooks + ModemSection("m1", a1, "A1") + ModemSection("m2", a2, "A1"));
  TGatewayProcess gb(Db->Dir() / "gw-b",
                     Common("gw-b", 5) + hooks + ModemSection("m1", b1, "A1") + ModemSection("m2", b2, "A1"));
  ASSERT_GT(ga.Port(), 0) << ga.Log();
  ASSERT_GT(gb.Port(), 0) << gb.Log();
  auto joined = [](const TSim& x, const TSim& y) {
    auto r = SentTexts(x);
    for (auto& [t, n] : SentTexts(y)) r[t] += n;
    return r;
  };
  ASSERT_TRUE(WaitFor(120, [&] { return joined(a1, a2).size() >= 200; })) << ga.Log();
  ga.Kill();
  auto sentByA = joined(a1, a2);
  for (int i = 0; i < 100; ++i) (i % 2 ? b1 : b2).Control("sms +4930" + std::to_string(100 + i) + " incoming " + std::to_string(i));
  // The survivor finishes the queue, and calls the dead one's claim unknown once its lease ran out.
  ASSERT_TRUE(WaitFor(240, [&] { return store->QueueDepth() == 0; })) << store->QueueDepth() << "\n" << gb.Log();
  auto counts = store->Counts();
  EXPECT_LE(counts[Gateway::msUnknown], 2);  // at most one in flight on each of its modems
  EXPECT_EQ(counts[Gateway::msSent] + counts[Gateway::msUnknown], 1000);
  EXPECT_TRUE(WaitFor(120, [&] { return store->InboxCount() == 100; })) << store->InboxCount();
  auto sentByB = joined(b1, b2);
  EXPECT_GT(sentByB.size(), 1000 - sentByA.size() - 1);
  for (auto& [text, id] : ids) {
    int times = (sentByA.count(text) ? sentByA[text] : 0) + (sentByB.count(text) ? sentByB[text] : 0);
    auto m = store->Get(id);
    if (m->Status == Gateway::msUnknown) {
      EXPECT_LE(times, 1) << text;  // in flight at the kill: out once or not at all
      EXPECT_EQ(m->Error, Gateway::kUnknownOutcome);
      EXPECT_EQ(m->Modem.rfind("gw-a/", 0), 0u) << m->Modem;
    } else {
      EXPECT_EQ(times, 1) << text;
      EXPECT_EQ(m->Status, Gateway::msSent) << text;
    }
  }
  // Every event reaches the subscriber, those the killed gateway held once their lease ran out.
  std::set<std::string> feed;
  for (int64_t after = subscribed;;) {
    auto page = store->Events(after, 1000);
    if (page.empty()) break;
    for (auto& e : page) feed.insert(std::to_string(e.Id));
    after = page.back().Id;
  }
  auto missing = [&] {
    std::lock_guard lk(rx.M);
    size_t n = 0;
    for (auto& id : feed) n += !rx.Taken.count(id);
    return n;
  };
  EXPECT_TRUE(WaitFor(180, [&] { return missing() == 0; })) << missing() << " of " << feed.size() << " not delivered";
  {
    std::lock_guard lk(rx.M);
    EXPECT_EQ(rx.BadSignatures, 0);
    EXPECT_GE(rx.Calls, static_cast<int>(feed.size()) + 3);
  }
  EXPECT_EQ(gb.Terminate(), 0) << gb.Log();
  ExpectFeedTellsTheStore(*store);  // a killed gateway's half-done changes are not in it either
}

TEST_P(SmsGateway, AnUnpluggedModemAndARestartedDatabaseLoseNothing) {
  // The database to restart is a cluster of this test's own: the others go on undisturbed.
  std::string where = Db->Where();
  struct TOwnCluster {
    std::string Dir;
    ~TOwnCluster() {
      if (!Dir.empty()) std::system(("bash " HALYARD_SOURCE_DIR "/tests/pg_cluster.sh stop " + Dir).c_str());
    }
  } own;
  if (std::string(GetParam()) == "postgresql" && !std::getenv("HALYARD_TEST_POSTGRES")) {
    own.Dir = (Db->Dir() / "own-cluster").string();
    ASSERT_EQ(std::system(("bash " HALYARD_SOURCE_DIR "/tests/pg_cluster.sh start " + own.Dir).c_str()), 0);
    std::getline(std::ifstream(own.Dir + "/conninfo"), where);
    ASSERT_FALSE(where.empty());
  }
  auto store = Gateway::OpenStore(where);
  std::vector<std::string> texts;
  for (int i = 0; i < 60; ++i) {
    texts.push_back("outage test " + std::to_string(i));
    store->Queue("+4917300" + std::to_string(10000 + i), texts.back(), false, 0);
  }
  fs::path simDir = Db->Dir() / "sim";
  auto sim = std::make_unique<TSim>(simDir, "+15550000001", "A1");
  TGatewayProcess gw(Db->Dir() / "gw", Common("gw", 120, where) + ModemSection("m", *sim, "A1"));
  ASSERT_GT(gw.Port(), 0) << gw.Log();
  ASSERT_TRUE(WaitFor(120, [&] { return SentTexts(*sim).size() >= 10; })) << gw.Log();
  // Unplugged: the device goes away mid-run and comes back at the same path a moment later.
  sim.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  sim = std::make_unique<TSim>(simDir, "+15550000001", "A1");  // its log goes on
  ASSERT_TRUE(WaitFor(120, [&] { return SentTexts(*sim).size() >= 30; })) << gw.Log();
  // The database restarts under the running service.
  if (!own.Dir.empty()) {
    ASSERT_EQ(std::system(("bash " HALYARD_SOURCE_DIR "/tests/pg_cluster.sh restart " + own.Dir).c_str()), 0);
    store = Gateway::OpenStore(where);
  }
  ASSERT_TRUE(WaitFor(180, [&] { return store->Counts()[Gateway::msSent] == 60; }))
      << store->Counts()[Gateway::msSent] << " sent\n" << gw.Log();
  auto sent = SentTexts(*sim);
  int extra = 0;
  for (auto& t : texts) {
    ASSERT_TRUE(sent.count(t)) << t << " never went out\n" << gw.Log();
    extra += sent[t] - 1;
  }
  EXPECT_LE(extra, 1) << "only the part in flight at the unplug may have gone out twice";
  std::string log = gw.Log();
  EXPECT_NE(log.find("m: down ("), std::string::npos) << log;
  EXPECT_NE(log.rfind("m: open on"), log.find("m: open on")) << "opened again\n" << log;
  EXPECT_EQ(gw.Terminate(), 0) << gw.Log();
}

INSTANTIATE_TEST_SUITE_P(Databases, SmsGateway, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& p) { return std::string(p.param); });

// The gateway with its default model (auto) on each family of today's modems as gsmsim plays it:
// 20 messages out with their reports matched, 10 in, through the modems' own indications
// (+CMTI, reports direct or stored), storages and reports among the answers.
class SmsGatewayFamilies : public ::testing::TestWithParam<const char*> {};
INSTANTIATE_TEST_SUITE_P(Families, SmsGatewayFamilies,
                         ::testing::Values("quectel-ec25", "simcom-sim7600", "simcom-sim800", "huawei-e3372",
                                           "huawei-e3372-325", "sierra-mc7455", "ublox-sara", "telit-le910"),
                         [](const auto& p) {
                           std::string n = p.param;
                           for (char& c : n)
                             if (c == '-') c = '_';
                           return n;
                         });

std::string FamilyConfig(const TTestDatabase& Db, const TSim& Sim) {
  return "name = \"gw\"\nstore = \"" + Db.Where() + "\"\ntoken = \"t0ken\"\n[http]\nport = 0\n" +
         "[reopen]\nfirst_ms = 200\nmax_ms = 1000\n[[modem]]\nname = \"m\"\ndevice = \"" + Sim.Modem() +
         "\"\ntimeout_ms = 5000\n";
}

TEST_P(SmsGatewayFamilies, SendsWithReportsAndReceives) {
  auto db = TTestDatabase::Make("sqlite");
  ASSERT_TRUE(db) << TTestDatabase::WhyNot("sqlite");
  TSim sim(db->Dir() / "sim", "+15550000001", "TC35", {"--personality", GetParam(), "--boot-noise"});
  TGatewayProcess gw(db->Dir() / "gw", FamilyConfig(*db, sim));
  int port = gw.Port();
  ASSERT_GT(port, 0) << gw.Log();
  TApi api(port);
  std::map<std::string, int> expected;
  for (int i = 0; i < 20; ++i) {
    std::string text = i % 5 == 4 ? "long " + std::to_string(i) + " " + std::string(200, 'x') : "family " + std::to_string(i);
    ++expected[text];
    api.Queue("+4917100" + std::to_string(10000 + i), text, true);
  }
  auto store = Gateway::OpenStore(db->Where());
  EXPECT_TRUE(WaitFor(120, [&] { return store->Counts()[Gateway::msDelivered] == 20; }))
      << store->Counts()[Gateway::msDelivered] << " delivered\n" << gw.Log();
  EXPECT_EQ(SentTexts(sim), expected);
  for (int i = 0; i < 10; ++i) sim.Control("sms +4930500" + std::to_string(i) + " incoming " + std::to_string(i));
  EXPECT_TRUE(WaitFor(60, [&] { return store->InboxCount() == 10; })) << store->InboxCount() << " in\n" << gw.Log();
  EXPECT_EQ(gw.Terminate(), 0) << gw.Log();
}

// A client written for Kannel sends through its URL, as RapidPro's courier does, and is told of
// the message's submission and delivery at its dlr-url.
TEST(SmsGatewayKannel, ASendThroughKannelsUrlIsReportedAtTheDlrUrl) {
  auto db = TTestDatabase::Make("sqlite");
  ASSERT_TRUE(db) << TTestDatabase::WhyNot("sqlite");
  TSim sim(db->Dir() / "sim", "+15550000001", "TC35");
  HalyardTest::TWebhookReceiver dlr("");
  int dlrPort = dlr.Port;
  TGatewayProcess gw(db->Dir() / "gw", FamilyConfig(*db, sim) + "[[key]]\nname = \"courier\"\nkey_hash = \"" +
                                           Gateway::HashKey("c0urier-pass") + "\"\nscopes = [\"send\"]\n");
  int port = gw.Port();
  ASSERT_GT(port, 0) << gw.Log();
  httplib::Client c("127.0.0.1", port);
  c.set_url_encode(false);
  std::string dlrUrl = "http%3A%2F%2F127.0.0.1%3A" + std::to_string(dlrPort) + "%2Fdlr%3Ftype%3D%25d%26to%3D%25P%26id%3D42";
  auto r = c.Get("/cgi-bin/sendsms?username=courier&password=c0urier-pass&from=%2B15550000001&to=%2B4917100001"
                 "&text=Your+code+is+1234&coding=0&charset=utf-8&dlr-mask=27&dlr-url=" + dlrUrl);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 202);
  EXPECT_EQ(r->body, "0: Accepted for delivery");
  auto has = [&](const std::string& Target) {
    std::lock_guard lk(dlr.M);
    return std::find(dlr.Targets.begin(), dlr.Targets.end(), Target) != dlr.Targets.end();
  };
  EXPECT_TRUE(WaitFor(60, [&] {
    return has("/dlr?type=8&to=%2B4917100001&id=42") && has("/dlr?type=1&to=%2B4917100001&id=42");
  })) << gw.Log();
  EXPECT_EQ(SentTexts(sim), (std::map<std::string, int>{{"Your code is 1234", 1}}));
  EXPECT_EQ(gw.Terminate(), 0) << gw.Log();
}

// A balance (as text and in UCS2) and a two-step menu through the API, on the modem's own thread
// while it goes on sending.
TEST(SmsGatewayUssd, ABalanceAndAMenuThroughTheApi) {
  auto db = TTestDatabase::Make("sqlite");
  ASSERT_TRUE(db) << TTestDatabase::WhyNot("sqlite");
  TSim sim(db->Dir() / "sim", "+15550000001", "TC35");
  TGatewayProcess gw(db->Dir() / "gw", FamilyConfig(*db, sim));
  int port = gw.Port();
  ASSERT_GT(port, 0) << gw.Log();
  ASSERT_TRUE(WaitFor(60, [&] { return gw.Log().find("m: open on") != std::string::npos; })) << gw.Log();
  TApi api(port);
  int64_t id = api.Queue("+4917100001", "while asking", false);
  httplib::Client c("127.0.0.1", port);
  c.set_read_timeout(60, 0);
  httplib::Headers auth = {{"Authorization", "Bearer t0ken"}};
  auto post = [&](const std::string& Path, const json& Body) {
    auto r = c.Post(Path, auth, Body.dump(), "application/json");
    return std::pair{r ? r->status : 0, r ? json::parse(r->body, nullptr, false) : json()};
  };
  auto [s1, balance] = post("/ussd", {{"modem", "m"}, {"code", "*100#"}});
  EXPECT_EQ(s1, 200) << balance;
  EXPECT_EQ(balance["text"], "Balance: 12.34 EUR, valid until 31.12.2026");
  EXPECT_EQ(balance["status"], "done");
  auto [s2, rub] = post("/ussd", {{"modem", "m"}, {"code", "*102#"}});
  EXPECT_EQ(rub["text"], "\xD0\x91\xD0\xB0\xD0\xBB\xD0\xB0\xD0\xBD\xD1\x81: 12.34 \xE2\x82\xBD") << rub;
  auto [s3, menu] = post("/ussd", {{"modem", "m"}, {"code", "*123#"}});
  ASSERT_EQ(menu["status"], "waiting") << menu;
  EXPECT_EQ(menu["text"], "1 Balance\n2 Offers");
  auto [s4, chosen] = post("/ussd/" + std::to_string(menu["session"].get<int64_t>()), {{"reply", "2"}});
  EXPECT_EQ(s4, 200) << chosen;
  EXPECT_EQ(chosen["text"], "No offers today");
  EXPECT_EQ(post("/ussd", {{"modem", "m"}, {"code", "*999#"}}).first, 502);
  EXPECT_EQ(post("/ussd", {{"modem", "elsewhere"}, {"code", "*100#"}}).first, 404);
  EXPECT_EQ(post("/ussd", {{"modem", "m"}, {"code", "*100#\",15;+CFUN=0"}}).first, 400);
  auto store = Gateway::OpenStore(db->Where());
  EXPECT_TRUE(WaitFor(60, [&] { return store->Get(id)->Status == Gateway::msSent; })) << gw.Log();
  EXPECT_EQ(gw.Terminate(), 0) << gw.Log();
}

// A modem that hangs (it answers nothing until AT+CFUN=1,1) is brought back by the ladder without
// a person: reopened, then reset; the message it held goes out once.
TEST(SmsGatewayLadder, AHungModemIsResetAndSendsWhatItHeld) {
  auto db = TTestDatabase::Make("sqlite");
  ASSERT_TRUE(db) << TTestDatabase::WhyNot("sqlite");
  TSim sim(db->Dir() / "sim", "+15550000001", "TC35");
  TGatewayProcess gw(db->Dir() / "gw", FamilyConfig(*db, sim));
  int port = gw.Port();
  ASSERT_GT(port, 0) << gw.Log();
  ASSERT_TRUE(WaitFor(60, [&] { return gw.Log().find("m: open on") != std::string::npos; })) << gw.Log();
  sim.Control("hang");
  TApi api(port);
  int64_t id = api.Queue("+4917100001", "held through the hang", false);
  auto store = Gateway::OpenStore(db->Where());
  EXPECT_TRUE(WaitFor(120, [&] { return store->Get(id)->Status == Gateway::msSent; })) << gw.Log();
  EXPECT_NE(gw.Log().find("m: 2 failed opens; resetting it (AT+CFUN=1,1)"), std::string::npos) << gw.Log();
  EXPECT_EQ(SentTexts(sim), (std::map<std::string, int>{{"held through the hang", 1}}));
  EXPECT_EQ(gw.Terminate(), 0) << gw.Log();
}

// A modem known by its IMEI is found wherever it appears: unplugged and back under another path,
// it is the same modem; a device that answers with another IMEI is left alone.
TEST(SmsGatewayIdentity, AModemIsFoundByItsImeiWhereverItAppears) {
  auto db = TTestDatabase::Make("sqlite");
  ASSERT_TRUE(db) << TTestDatabase::WhyNot("sqlite");
  const std::string imei = "356938035643809";
  auto first = std::make_unique<TSim>(db->Dir() / "sim-a", "+15550000001", "TC35", std::vector<std::string>{"--imei", imei});
  TSim other(db->Dir() / "sim-x", "+15550000002", "TC35", {"--imei", "111111111111116"});
  TGatewayProcess gw(db->Dir() / "gw",
                     "name = \"gw\"\nstore = \"" + db->Where() + "\"\ntoken = \"t0ken\"\n[http]\nport = 0\n"
                     "[reopen]\nfirst_ms = 200\nmax_ms = 1000\n[[modem]]\nname = \"m\"\nmodel = \"TC35\"\nimei = \"" +
                         imei + "\"\nscan = [\"" + (db->Dir() / "sim-*" / "modem").string() + "\"]\ntimeout_ms = 3000\n");
  int port = gw.Port();
  ASSERT_GT(port, 0) << gw.Log();
  TApi api(port);
  auto store = Gateway::OpenStore(db->Where());
  int64_t one = api.Queue("+4917100001", "before the unplug", false);
  ASSERT_TRUE(WaitFor(60, [&] { return store->Get(one)->Status == Gateway::msSent; })) << gw.Log();
  EXPECT_EQ(SentTexts(*first), (std::map<std::string, int>{{"before the unplug", 1}}));
  first.reset();  // unplugged
  TSim second(db->Dir() / "sim-b", "+15550000001", "TC35", {"--imei", imei});
  int64_t two = api.Queue("+4917100002", "after it came back", false);
  EXPECT_TRUE(WaitFor(120, [&] { return store->Get(two)->Status == Gateway::msSent; })) << gw.Log();
  EXPECT_EQ(SentTexts(second), (std::map<std::string, int>{{"after it came back", 1}}));
  EXPECT_TRUE(SentTexts(other).empty());
  EXPECT_NE(gw.Log().find("m: open on " + second.Modem()), std::string::npos) << gw.Log();
  EXPECT_EQ(gw.Terminate(), 0) << gw.Log();
}

// A modem known by its SIM's ICCID is found by it (Huawei's answers it only through +CRSM); its
// record shows the ICCID.
TEST(SmsGatewayIdentity, AModemIsFoundByTheIccidOfItsSim) {
  auto db = TTestDatabase::Make("sqlite");
  ASSERT_TRUE(db) << TTestDatabase::WhyNot("sqlite");
  const std::string iccid = "8949226000000123456";
  TSim other(db->Dir() / "sim-a", "+15550000001", "TC35");
  TSim mine(db->Dir() / "sim-b", "+15550000002", "TC35", {"--iccid", iccid, "--personality", "huawei-e3372"});
  TGatewayProcess gw(db->Dir() / "gw",
                     "name = \"gw\"\nstore = \"" + db->Where() + "\"\ntoken = \"t0ken\"\n[http]\nport = 0\n"
                     "[[modem]]\nname = \"m\"\niccid = \"" + iccid + "\"\nscan = [\"" +
                         (db->Dir() / "sim-*" / "modem").string() + "\"]\ntimeout_ms = 3000\n");
  int port = gw.Port();
  ASSERT_GT(port, 0) << gw.Log();
  TApi api(port);
  auto store = Gateway::OpenStore(db->Where());
  int64_t id = api.Queue("+4917100001", "from the right SIM", false);
  ASSERT_TRUE(WaitFor(60, [&] { return store->Get(id)->Status == Gateway::msSent; })) << gw.Log();
  EXPECT_EQ(SentTexts(mine), (std::map<std::string, int>{{"from the right SIM", 1}}));
  EXPECT_TRUE(SentTexts(other).empty());
  auto modems = api.Get("/modems")["modems"];
  ASSERT_EQ(modems.size(), 1u) << modems;
  EXPECT_EQ(modems[0]["iccid"], iccid);
  EXPECT_EQ(gw.Terminate(), 0) << gw.Log();
}

// A pool of three: prefixes route to a group or one modem, a daily limit of 5 holds, a message
// naming a modem goes through it, and one routed only to the limited modem waits and says why.
TEST(SmsGatewayPool, RoutesLimitsAndANamedModemOverThreeSimulators) {
  auto db = TTestDatabase::Make("sqlite");
  ASSERT_TRUE(db) << TTestDatabase::WhyNot("sqlite");
  TSim de1(db->Dir() / "sim-1", "+15550000001", "TC35"), de2(db->Dir() / "sim-2", "+15550000002", "TC35"),
      any(db->Dir() / "sim-3", "+15550000003", "TC35");
  auto modem = [](const std::string& Name, const TSim& Sim, const std::string& Extra) {
    return "[[modem]]\nname = \"" + Name + "\"\ndevice = \"" + Sim.Modem() + "\"\ntimeout_ms = 5000\n" + Extra;
  };
  TGatewayProcess gw(db->Dir() / "gw",
                     "name = \"gw\"\nstore = \"" + db->Where() + "\"\ntoken = \"t0ken\"\n[http]\nport = 0\n" +
                         modem("de1", de1, "groups = [\"de\"]\nlimit_per_day = 5\n") +
                         modem("de2", de2, "groups = [\"de\"]\n") + modem("any", any, "") +
                         "[[route]]\nprefix = \"+49\"\nmodems = [\"de\"]\n"
                         "[[route]]\nprefix = \"+4930\"\nmodems = [\"de2\"]\n");
  int port = gw.Port();
  ASSERT_GT(port, 0) << gw.Log();
  ASSERT_TRUE(WaitFor(60, [&] { return gw.Log().find("any: open on") != std::string::npos; })) << gw.Log();
  TApi api(port);
  std::vector<int64_t> ids;
  for (int i = 0; i < 10; ++i) {
    ids.push_back(api.Queue("+4917" + std::to_string(100000 + i), "mobile " + std::to_string(i), false));
    ids.push_back(api.Queue("+4917" + std::to_string(200000 + i), "mobile " + std::to_string(10 + i), false));
    ids.push_back(api.Queue("+4930" + std::to_string(100000 + i), "berlin " + std::to_string(i), false));
    ids.push_back(api.Queue("+3361" + std::to_string(100000 + i), "france " + std::to_string(i), false));
  }
  ids.push_back(api.Queue("+4917999999", "named", false, "any"));
  auto store = Gateway::OpenStore(db->Where());
  auto allSent = [&] {
    for (int64_t id : ids)
      if (store->Get(id)->Status != Gateway::msSent) return false;
    return true;
  };
  EXPECT_TRUE(WaitFor(180, allSent)) << gw.Log();
  auto one = SentTexts(de1), two = SentTexts(de2), three = SentTexts(any);
  int total = 0;
  for (auto* sent : {&one, &two, &three})
    for (auto& [text, n] : *sent) {
      EXPECT_EQ(n, 1) << text;
      total += n;
    }
  EXPECT_EQ(total, 41);
  int ones = 0;
  for (auto& [text, n] : one) {
    EXPECT_EQ(text.rfind("mobile ", 0), 0u) << text << " through de1";
    ones += n;
  }
  EXPECT_EQ(ones, 5);
  for (auto& [text, n] : two) EXPECT_TRUE(text.rfind("mobile ", 0) == 0 || text.rfind("berlin ", 0) == 0) << text;
  for (auto& [text, n] : three) EXPECT_TRUE(text.rfind("france ", 0) == 0 || text == "named") << text;
  EXPECT_EQ(three.count("named"), 1u);
  // Only the limited modem may send this one: it waits, saying why.
  int64_t held = api.Queue("+4917888888", "held", false, "de1");
  const std::string why = "no modem may take it now: gw/de1: at its limit (per day: 5 of 5)";
  json m;
  EXPECT_TRUE(WaitFor(30, [&] { return (m = api.Get("/messages/" + std::to_string(held)))["waiting"] == why; })) << m;
  EXPECT_EQ(m["status"], "queued");
  json modems = api.Get("/modems")["modems"];
  for (auto& r : modems)
    if (r["name"] == "de1") EXPECT_EQ(r["limits_used"], "per day: 5 of 5") << r;
  EXPECT_EQ(gw.Terminate(), 0) << gw.Log();
}

// Two configured modems that answer with one IMEI are one modem twice: the second is refused.
TEST(SmsGatewayIdentity, TwoModemsWithOneImeiAreAnError) {
  auto db = TTestDatabase::Make("sqlite");
  ASSERT_TRUE(db) << TTestDatabase::WhyNot("sqlite");
  const std::vector<std::string> one = {"--imei", "490154203237518"};
  TSim a(db->Dir() / "sim-a", "+15550000001", "TC35", one), b(db->Dir() / "sim-b", "+15550000002", "TC35", one);
  TGatewayProcess gw(db->Dir() / "gw", FamilyConfig(*db, a) + "[[modem]]\nname = \"n\"\ndevice = \"" + b.Modem() +
                                           "\"\ntimeout_ms = 5000\n");
  ASSERT_GT(gw.Port(), 0) << gw.Log();
  EXPECT_TRUE(WaitFor(60, [&] { return gw.Log().find("two modems answer with the IMEI 490154203237518") != std::string::npos; }))
      << gw.Log();
  EXPECT_EQ(gw.Terminate(), 0) << gw.Log();
}

// A modem that answers +CMGS after 30 s: each message goes out once and is sent.
TEST(SmsGatewaySlowModem, ASlowSendGoesOnce) {
  auto db = TTestDatabase::Make("sqlite");
  ASSERT_TRUE(db) << TTestDatabase::WhyNot("sqlite");
  TSim sim(db->Dir() / "sim", "+15550000001", "TC35", {"--personality", "quectel-ec25", "--slow-cmgs", "30000"});
  TGatewayProcess gw(db->Dir() / "gw", FamilyConfig(*db, sim));
  int port = gw.Port();
  ASSERT_GT(port, 0) << gw.Log();
  TApi api(port);
  int64_t a = api.Queue("+4917100001", "slow one", false), b = api.Queue("+4917100002", "slow two", false);
  auto store = Gateway::OpenStore(db->Where());
  EXPECT_TRUE(WaitFor(150, [&] { return store->Counts()[Gateway::msSent] == 2; })) << gw.Log();
  EXPECT_EQ(store->Get(a)->Status, Gateway::msSent);
  EXPECT_EQ(store->Get(b)->Status, Gateway::msSent);
  EXPECT_EQ(SentTexts(sim), (std::map<std::string, int>{{"slow one", 1}, {"slow two", 1}}));
  EXPECT_EQ(gw.Terminate(), 0) << gw.Log();
}

// A modem that restarts by itself (Quectel: RDY, +CPIN: READY, +QIND: SMS DONE) has lost its
// indications: the gateway sets it up again, and what arrives afterwards is announced and stored.
TEST(SmsGatewayRestart, AModemThatStartsAgainIsSetUpAgain) {
  auto db = TTestDatabase::Make("sqlite");
  ASSERT_TRUE(db) << TTestDatabase::WhyNot("sqlite");
  TSim sim(db->Dir() / "sim", "+15550000001", "TC35", {"--personality", "quectel-ec25"});
  TGatewayProcess gw(db->Dir() / "gw", FamilyConfig(*db, sim));
  ASSERT_GT(gw.Port(), 0) << gw.Log();
  auto cnmiSet = [&] {
    std::string all = sim.Received();
    size_t n = 0;
    for (size_t at = 0; (at = all.find("AT+CNMI=1", at)) != std::string::npos; ++at) ++n;
    for (size_t at = 0; (at = all.find("AT+CNMI=2", at)) != std::string::npos; ++at) ++n;
    return n;
  };
  ASSERT_TRUE(WaitFor(60, [&] { return gw.Log().find("m: open on") != std::string::npos; })) << gw.Log();
  size_t before = cnmiSet();
  sim.Control("restart");
  EXPECT_TRUE(WaitFor(60, [&] { return gw.Log().find("started again") != std::string::npos; })) << gw.Log();
  EXPECT_TRUE(WaitFor(60, [&] { return cnmiSet() > before; })) << gw.Log();
  auto store = Gateway::OpenStore(db->Where());
  sim.Control("sms +4930123 after the restart");
  EXPECT_TRUE(WaitFor(60, [&] { return store->InboxCount() == 1; })) << gw.Log();
  EXPECT_EQ(gw.Terminate(), 0) << gw.Log();
}

// No answer within the wait after the body: "unknown, may have been sent", never sent again.
TEST(SmsGatewaySlowModem, NoAnswerAfterTheBodyIsUnknownNotRetried) {
  auto db = TTestDatabase::Make("sqlite");
  ASSERT_TRUE(db) << TTestDatabase::WhyNot("sqlite");
  TSim sim(db->Dir() / "sim", "+15550000001", "TC35", {"--slow-cmgs", "12000"});
  // The TC35 waits its answer time-out (5 s here) after the body.
  TGatewayProcess gw(db->Dir() / "gw", FamilyConfig(*db, sim) + "model = \"TC35\"\n");
  int port = gw.Port();
  ASSERT_GT(port, 0) << gw.Log();
  int64_t id = TApi(port).Queue("+4917100003", "late answer", false);
  auto store = Gateway::OpenStore(db->Where());
  EXPECT_TRUE(WaitFor(60, [&] { return store->Get(id)->Status == Gateway::msUnknown; })) << gw.Log();
  EXPECT_EQ(store->Get(id)->Error, Gateway::kUnknownOutcome);
  std::this_thread::sleep_for(std::chrono::seconds(15));  // past the late answer and a reopen
  EXPECT_EQ(store->Get(id)->Status, Gateway::msUnknown);
  EXPECT_EQ(SentTexts(sim), (std::map<std::string, int>{{"late answer", 1}}));
  EXPECT_EQ(gw.Terminate(), 0) << gw.Log();
}

// One message whose service centre stamped it with month 13 is stored with its sender and text,
// the stamp unknown and the PDU kept; one cut short is stored as it came; both are named in the
// log, and the modem goes on receiving and sending. Three equal texts from one sender in one
// second are three messages.
TEST(SmsGatewayReceiving, AnUnreadableMessageNeverStopsTheModemAndRepeatsAreKept) {
  auto db = TTestDatabase::Make("sqlite");
  ASSERT_TRUE(db) << TTestDatabase::WhyNot("sqlite");
  TSim sim(db->Dir() / "sim", "+15550000001", "TC35");
  TGatewayProcess gw(db->Dir() / "gw", FamilyConfig(*db, sim));
  int port = gw.Port();
  ASSERT_GT(port, 0) << gw.Log();
  ASSERT_TRUE(WaitFor(60, [&] { return gw.Log().find("m: open on") != std::string::npos; })) << gw.Log();
  // From +4930123, stamped 26-13-01 21:34:56, "hi".
  sim.Control("pdu 040791940321F300006231101243650002E834");
  sim.Control("pdu 040791940321F30000622110");  // cut short in its stamp
  for (int i = 0; i < 3; ++i) sim.Control("sms +4930500 same again");
  TApi api(port);
  int64_t id = api.Queue("+4917100001", "still sending", false);
  auto store = Gateway::OpenStore(db->Where());
  EXPECT_TRUE(WaitFor(60, [&] { return store->InboxCount() == 5; })) << store->InboxCount() << "\n" << gw.Log();
  EXPECT_TRUE(WaitFor(60, [&] { return store->Get(id)->Status == Gateway::msSent; })) << gw.Log();
  int lenient = 0, raw = 0, same = 0;
  for (auto& m : store->Inbox(0)) {
    lenient += m.From == "+4930123" && m.Text == "hi" && m.Stamp == 0 &&
               m.Raw.find("6231101243650002E834") != std::string::npos;
    raw += m.From.empty() && m.Raw.find("F30000622110") != std::string::npos;
    same += m.Text == "same again";
  }
  EXPECT_EQ(lenient, 1);
  EXPECT_EQ(raw, 1);
  EXPECT_EQ(same, 3);
  EXPECT_NE(gw.Log().find("no readable time stamp"), std::string::npos) << gw.Log();
  EXPECT_NE(gw.Log().find("cannot be read"), std::string::npos) << gw.Log();
  EXPECT_EQ(gw.Log().find("m: down ("), std::string::npos) << gw.Log();
  EXPECT_EQ(gw.Terminate(), 0) << gw.Log();
}
