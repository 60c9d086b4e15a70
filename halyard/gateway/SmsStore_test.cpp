#include "halyard/gateway/SmsStore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "GatewayTestDb.h"

using namespace Halyard::Gateway;
using namespace std::chrono_literals;

namespace {

// Every case runs on SQLite and, where a server is given, on PostgreSQL.
class SmsStore : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    Db = TTestDatabase::Make(GetParam());
    if (!Db) GTEST_SKIP() << TTestDatabase::WhyNot(GetParam());
  }
  std::unique_ptr<TStore> Open() { return OpenStore(Db->Where()); }
  std::unique_ptr<TTestDatabase> Db;
  TTime T0 = TClock::now();
};

}  // namespace

TEST_P(SmsStore, QueueClaimSendReportAndReopen) {
  int64_t a, b;
  {
    auto s = Open();
    EXPECT_EQ(s->SchemaVersion(), 3);
    a = s->Queue("+4917", "first", true, 60);
    b = s->Queue("+4918", "second", false, 0);
    EXPECT_EQ(s->QueueDepth(), 2);
    auto m = s->Claim("modem1", T0, 30s);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->Id, a);  // oldest first
    EXPECT_EQ(m->Status, msSending);
    EXPECT_EQ(m->Modem, "modem1");
    EXPECT_EQ(m->Attempts, 1);
    EXPECT_TRUE(m->Report);
    EXPECT_EQ(m->ValidityMinutes, 60);
    s->AddSentPart(a, 7, T0);
    // A report of the first part before the second went out: not delivered yet.
    EXPECT_TRUE(s->MatchReport("modem1", 7, "+4917", true, T0, 1h));
    EXPECT_EQ(s->Get(a)->Status, msSending);
    s->AddSentPart(a, 8, T0);
    s->MarkSent(a);
    EXPECT_EQ(s->Get(a)->Status, msSent);
    EXPECT_EQ(s->Get(a)->References, (std::vector<int>{7, 8}));
    EXPECT_FALSE(s->MatchReport("modem2", 8, "+4917", true, T0, 1h));  // another modem's reference 8
    EXPECT_FALSE(s->MatchReport("modem1", 8, "+4999", true, T0, 1h));  // another recipient
    EXPECT_FALSE(s->MatchReport("modem1", 8, "+4917", true, T0 + 2h, 1h));  // out of its window
    EXPECT_TRUE(s->MatchReport("modem1", 8, "4917", true, T0, 1h));  // national or international
    EXPECT_EQ(s->Get(a)->Status, msDelivered);
    EXPECT_FALSE(s->MatchReport("modem1", 8, "+4917", true, T0, 1h));  // reported already
  }
  auto s = Open();  // what was stored survives, the schema is not made again
  EXPECT_EQ(s->SchemaVersion(), 3);
  EXPECT_EQ(s->Get(a)->Status, msDelivered);
  EXPECT_EQ(s->Get(b)->Status, msQueued);
  EXPECT_EQ(s->QueueDepth(), 1);
  EXPECT_FALSE(s->Get(b + 100));
  auto counts = s->Counts();
  EXPECT_EQ(counts[msDelivered], 1);
  EXPECT_EQ(counts[msQueued], 1);
}

TEST_P(SmsStore, RetriesWaitFailuresStayAndAnUndeliveredPartCounts) {
  auto s = Open();
  int64_t id = s->Queue("+4917", "x", false, 0);
  ASSERT_TRUE(s->Claim("m", T0, 30s));
  s->MarkFailed(id, "+CMS ERROR: 500", true, T0 + 60s);
  EXPECT_FALSE(s->Claim("m", T0 + 59s, 30s));  // not due yet
  auto again = s->Claim("m", T0 + 61s, 30s);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->Attempts, 2);
  EXPECT_EQ(again->Error, "+CMS ERROR: 500");
  s->MarkFailed(id, "+CMS ERROR: 28", false, T0);
  EXPECT_EQ(s->Get(id)->Status, msFailed);
  EXPECT_FALSE(s->Claim("m", T0 + 1h, 30s));

  int64_t two = s->Queue("+4917", "two parts", true, 0);
  ASSERT_TRUE(s->Claim("m", T0, 30s));
  s->AddSentPart(two, 1, T0);
  s->MarkFailed(two, "+CMS ERROR: 500", true, T0);  // the second part failed
  auto resumed = s->Claim("m", T0, 30s);
  ASSERT_TRUE(resumed);
  EXPECT_EQ(resumed->References, std::vector<int>{1});  // go on with part two
  s->AddSentPart(two, 2, T0);
  s->MarkSent(two);
  EXPECT_TRUE(s->MatchReport("m", 2, "+4917", false, T0, 1h));
  EXPECT_TRUE(s->MatchReport("m", 1, "+4917", true, T0, 1h));
  EXPECT_EQ(s->Get(two)->Status, msUndelivered);
}

TEST_P(SmsStore, ADeadGatewaysClaimIsUnknownAndAStoppedOnesIsGivenBack) {
  auto s = Open();
  int64_t a = s->Queue("+1", "a", false, 0), b = s->Queue("+2", "b", false, 0);
  ASSERT_TRUE(s->Claim("dies", T0, 30s));
  ASSERT_TRUE(s->Claim("stops", T0, 30s));
  EXPECT_TRUE(s->RenewClaim(a, "dies", T0 + 60s));
  EXPECT_FALSE(s->RenewClaim(a, "stops", T0 + 60s));  // not its claim
  s->ReleaseClaims("stops");
  EXPECT_EQ(s->Get(b)->Status, msQueued);
  EXPECT_EQ(s->Get(b)->Attempts, 0);
  EXPECT_EQ(s->ExpireClaims(T0 + 31s), 0);  // renewed: the lease still runs
  EXPECT_EQ(s->ExpireClaims(T0 + 61s), 1);
  EXPECT_EQ(s->Get(a)->Status, msUnknown);  // may have gone out: never sent again by itself
  EXPECT_EQ(s->Get(a)->Error, kUnknownOutcome);
  EXPECT_FALSE(s->RenewClaim(a, "dies", T0 + 90s));  // a gateway that only stalled learns it
  auto next = s->Claim("survivor", T0 + 61s, 30s);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->Id, b);
  // A gateway whose modem's record is fresh is alive, however long it could not renew its claim
  // (the store was away): its claim is its own to finish.
  TModemRecord alive;
  alive.Gateway = "gw";
  alive.Name = "m1";
  alive.LastSeen = std::chrono::duration_cast<std::chrono::milliseconds>((T0 + 100s).time_since_epoch()).count();
  s->RecordModem(alive);
  int64_t c = s->Queue("+3", "c", false, 0);
  ASSERT_EQ(s->Claim("gw/m1", T0 + 61s, 30s)->Id, c);
  EXPECT_EQ(s->ExpireClaims(T0 + 110s, 60s), 1);  // the survivor's: no record of it anywhere
  EXPECT_EQ(s->Get(c)->Status, msSending);
  EXPECT_EQ(s->ExpireClaims(T0 + 170s, 60s), 1);  // silent for longer: dead
  EXPECT_EQ(s->Get(c)->Status, msUnknown);
}

TEST_P(SmsStore, TwoGatewaysNeverClaimOneMessageTwice) {
  {
    auto s = Open();
    for (int i = 0; i < 200; ++i) s->Queue("+49" + std::to_string(i), "m", false, 0);
  }
  std::mutex m;
  std::multiset<int64_t> claimed;
  auto gateway = [&](const std::string& name) {
    auto s = Open();  // a connection of its own, as another process has
    while (auto c = s->Claim(name, TClock::now(), 30s)) {
      s->AddSentPart(c->Id, static_cast<int>(c->Id & 0xFF), TClock::now());
      s->MarkSent(c->Id);
      std::lock_guard lk(m);
      claimed.insert(c->Id);
    }
  };
  std::thread g1(gateway, "g1"), g2(gateway, "g2");
  g1.join();
  g2.join();
  EXPECT_EQ(claimed.size(), 200u);
  EXPECT_EQ(std::set<int64_t>(claimed.begin(), claimed.end()).size(), 200u);
  EXPECT_EQ(Open()->QueueDepth(), 0);
}

TEST_P(SmsStore, InboxKeepsEachMessageOnceAndJoinsParts) {
  auto s = Open();
  const TReceived copy{"m1", "+4917", "hello", 1000, "SM:3:5f2a", ""};
  EXPECT_TRUE(s->StoreIncoming(copy));
  EXPECT_FALSE(s->StoreIncoming(copy));  // read again before its deletion (a crash between)
  // The same text from the same sender in the same second is another message, kept too.
  EXPECT_TRUE(s->StoreIncoming({"m1", "+4917", "hello", 1000, "SM:4:5f2a", ""}));
  EXPECT_TRUE(s->StoreIncoming("m1", "+4917", "hello", 1000));  // given directly, not kept by the modem
  EXPECT_TRUE(s->StoreIncoming({"m2", "+4917", "hello", 1000, "SM:3:5f2a", ""}));  // another modem's copy
  s->ForgetReceipt("m1", "SM:3:5f2a");  // deleted from the modem: the place may hold the next one
  EXPECT_TRUE(s->StoreIncoming(copy));
  EXPECT_TRUE(s->StoreIncoming({"m1", "", "", 0, "SM:5:77", "07911326040000F0040B911346610089F6000082"}));
  auto all = s->Inbox(0);
  ASSERT_EQ(all.size(), 6u);
  EXPECT_EQ(s->Inbox(all[0].Id).size(), 5u);
  EXPECT_EQ(all[5].Raw, "07911326040000F0040B911346610089F6000082");

  // Parts out of order, one twice; the whole message once its last part is in.
  TIncomingPart p{"m1", "+4918", 42, 3, 3, "\xF0\x9F\x98\x80", 2000};
  EXPECT_FALSE(s->StorePart(p, T0));
  p.Number = 1, p.Text = "h\xC3\xA9";
  EXPECT_FALSE(s->StorePart(p, T0));
  EXPECT_FALSE(s->StorePart(p, T0));
  p.Number = 2, p.Text = "llo ";
  auto whole = s->StorePart(p, T0);
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->Text, "h\xC3\xA9llo \xF0\x9F\x98\x80");
  EXPECT_EQ(whole->Parts, 3);
  EXPECT_TRUE(whole->Complete);
  // Parts that stop coming are kept until given up, then stored with the gaps marked.
  TIncomingPart q{"m1", "+4918", 43, 3, 2, "middle", 2100};
  EXPECT_FALSE(s->StorePart(q, T0));
  EXPECT_EQ(s->FlushParts(T0 - 1s), 0);
  EXPECT_EQ(s->FlushParts(T0 + 1s), 1);
  auto last = s->Inbox(whole->Id);
  ASSERT_EQ(last.size(), 1u);
  EXPECT_EQ(last[0].Text, "\xEF\xBF\xBDmiddle\xEF\xBF\xBD");
  EXPECT_FALSE(last[0].Complete);
  EXPECT_EQ(s->InboxCount(), 8);
  // A part that comes after its message was stored incomplete joins that entry; whole, it is
  // received, and its parts go.
  EXPECT_FALSE(s->StorePart({"m1", "+4918", 43, 3, 1, "first ", 2100}, T0 + 2s));
  EXPECT_EQ(s->Inbox(whole->Id).at(0).Text, "first middle\xEF\xBF\xBD");
  auto joined = s->StorePart({"m1", "+4918", 43, 3, 3, " last", 2100}, T0 + 2s);
  ASSERT_TRUE(joined);
  EXPECT_EQ(joined->Id, last[0].Id);
  EXPECT_EQ(s->Inbox(whole->Id).at(0).Text, "first middle last");
  EXPECT_TRUE(s->Inbox(whole->Id).at(0).Complete);
  EXPECT_EQ(s->Events(0, 1000, "message.received").back().Subject, joined->Id);
  // A part the incomplete entry has already begins another message: the reference came round.
  EXPECT_FALSE(s->StorePart({"m1", "+4918", 44, 2, 1, "old", 2200}, T0));
  EXPECT_EQ(s->FlushParts(T0 + 1s), 1);
  EXPECT_FALSE(s->StorePart({"m1", "+4918", 44, 2, 1, "new ", 2300}, T0 + 3s));
  EXPECT_EQ(s->InboxCount(), 9);
  auto again = s->StorePart({"m1", "+4918", 44, 2, 2, "one", 2300}, T0 + 3s);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->Text, "new one");
  EXPECT_EQ(s->InboxCount(), 10);
  EXPECT_EQ(s->Inbox(joined->Id).at(0).Text, "old\xEF\xBF\xBD");
}

TEST(SmsStoreErrors, PlacesThatCannotHoldAStore) {
  EXPECT_THROW(OpenStore("/no/such/dir/x.db"), EStoreError);
  if (PostgresAvailable()) {
    EXPECT_THROW(OpenStore("host=/nonexistent-socket-dir dbname=x connect_timeout=2"), EStoreError);
  } else {
    EXPECT_THROW(OpenStore("host=localhost"), EStoreError);
  }
}

INSTANTIATE_TEST_SUITE_P(Databases, SmsStore, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& p) { return std::string(p.param); });

namespace {
std::vector<std::string> Types(const std::vector<TEvent>& E) {
  std::vector<std::string> r;
  for (auto& e : E) r.push_back(e.Type);
  return r;
}
}  // namespace

// Every change is in the feed once, in order, with the subject it is about.
TEST_P(SmsStore, EventFeedHasEveryChangeOnceInOrder) {
  auto s = Open();
  int64_t a = s->Queue("+4917", "two parts", true, 0), b = s->Queue("+4918", "to fail", false, 0);
  int64_t c = s->Queue("+4919", "to die with its gateway", false, 0);
  ASSERT_EQ(s->Claim("gw/m1", T0, 30s)->Id, a);
  s->AddSentPart(a, 7, T0);
  s->AddSentPart(a, 8, T0);
  s->MarkSent(a);
  s->MarkSent(a);  // said twice, recorded once
  EXPECT_TRUE(s->MatchReport("gw/m1", 7, "+4917", true, T0, 1h));
  EXPECT_TRUE(s->MatchReport("gw/m1", 8, "+4917", false, T0, 1h));
  ASSERT_EQ(s->Claim("gw/m1", T0, 30s)->Id, b);
  ASSERT_EQ(s->Claim("gw/m2", T0, 30s)->Id, c);
  s->MarkFailed(b, "+CMS ERROR: 500", true, T0);
  ASSERT_EQ(s->Claim("gw/m1", T0, 30s)->Id, b);
  s->MarkFailed(b, "+CMS ERROR: 21", false, T0);
  EXPECT_EQ(s->ExpireClaims(T0 + 1min), 1);
  EXPECT_TRUE(s->StoreIncoming({"gw/m1", "+4915", "hello", 100, "SM:1:ab", ""}));
  EXPECT_FALSE(s->StoreIncoming({"gw/m1", "+4915", "hello", 100, "SM:1:ab", ""}));  // the same one: no event either
  s->StorePart({"gw/m1", "+4916", 5, 2, 1, "half", 100}, T0);
  EXPECT_EQ(s->FlushParts(T0 + 1s), 1);
  TModemRecord m;
  m.Gateway = "gw";
  m.Name = "m1";
  m.Up = true;
  s->RecordModem(m, "modem.up");
  s->RecordModem(m);  // a refresh, no event

  auto all = s->Events(0, 1000);
  EXPECT_EQ(Types(all), (std::vector<std::string>{
                            "message.queued", "message.queued", "message.queued", "message.sending",
                            "message.part_sent", "message.part_sent", "message.sent", "report.matched",
                            "report.matched", "message.undelivered", "message.sending", "message.sending",
                            "message.queued", "message.sending", "message.failed", "message.unknown",
                            "message.received", "message.incomplete", "modem.up"}));
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i].Id, static_cast<int64_t>(i + 1));
  EXPECT_EQ(all[0].Subject, a);
  EXPECT_NE(all[12].Data.find("\"retry\":true"), std::string::npos) << all[12].Data;
  EXPECT_NE(all[14].Data.find("+CMS ERROR: 21"), std::string::npos) << all[14].Data;
  EXPECT_EQ(all[15].Subject, c);
  EXPECT_NE(all[18].Data.find("\"modem\":\"m1\""), std::string::npos) << all[18].Data;

  EXPECT_EQ(Types(s->Events(0, 100, "message.sending")).size(), 4u);
  EXPECT_EQ(Types(s->Events(0, 100, "report.")).size(), 2u);
  auto page = s->Events(5, 2);
  ASSERT_EQ(page.size(), 2u);
  EXPECT_EQ(page[0].Id, 6);
  // Pruning keeps the newest event, from which the next id is counted.
  EXPECT_EQ(s->PruneEvents(TClock::now() + 1h), static_cast<int>(all.size()) - 1);
  s->Queue("+4917", "after the prune", false, 0);
  auto rest = s->Events(0, 100);
  ASSERT_EQ(rest.size(), 2u);
  EXPECT_EQ(rest[1].Id, static_cast<int64_t>(all.size()) + 1);

  auto modems = s->Modems();
  ASSERT_EQ(modems.size(), 1u);
  EXPECT_TRUE(modems[0].Up);
}

// Writers on several connections (gateways) make one feed whose ids follow the commits: a reader
// that pages by the last id it saw misses nothing, and the ids have no gaps.
TEST_P(SmsStore, WritersOfOneFeedLeaveNoGapAReaderCouldMiss) {
  constexpr int kWriters = 4, kEach = 40;
  std::atomic<int> done{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w)
    writers.emplace_back([&, w] {
      auto s = Open();
      for (int i = 0; i < kEach; ++i) s->Queue("+4917", "w" + std::to_string(w), false, 0);
      ++done;
    });
  auto reader = Open();
  std::vector<int64_t> seen;
  for (bool last = false; !last;) {
    last = done == kWriters;  // one more page after every writer is done
    for (auto& e : reader->Events(seen.empty() ? 0 : seen.back(), 1000)) seen.push_back(e.Id);
    std::this_thread::sleep_for(5ms);
  }
  for (auto& t : writers) t.join();
  ASSERT_EQ(seen.size(), static_cast<size_t>(kWriters * kEach));
  for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], static_cast<int64_t>(i + 1));
}
