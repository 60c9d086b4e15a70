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
    EXPECT_EQ(s->SchemaVersion(), 6);
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
  EXPECT_EQ(s->SchemaVersion(), 6);
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

// What applications ask of the outbox: one message a key (a conflict for another body), higher
// priority first and ties in queue order, nothing before its time, cancelling until a part goes
// out, and listing newest first by a cursor.
TEST_P(SmsStore, KeysPrioritySchedulesCancellingAndListing) {
  auto s = Open();
  auto msg = [](const std::string& To, int Priority = 0, const std::string& Key = "", const std::string& Digest = "") {
    TNewMessage m;
    m.To = To;
    m.Text = "t";
    m.Priority = Priority;
    m.IdempotencyKey = Key;
    m.Digest = Digest;
    return m;
  };
  TQueued a = s->QueueMessage(msg("+491", 0, "order-7", "d1"));
  EXPECT_FALSE(a.Existing);
  TQueued again = s->QueueMessage(msg("+491", 0, "order-7", "d1"));
  EXPECT_TRUE(again.Existing);
  EXPECT_FALSE(again.Conflict);
  EXPECT_EQ(again.Id, a.Id);
  TQueued other = s->QueueMessage(msg("+492", 0, "order-7", "d2"));
  EXPECT_TRUE(other.Conflict);
  EXPECT_EQ(other.Id, a.Id);
  int64_t low = s->QueueMessage(msg("+493", -5)).Id;
  int64_t high1 = s->QueueMessage(msg("+494", 9)).Id;
  int64_t high2 = s->QueueMessage(msg("+495", 9)).Id;
  TNewMessage later = msg("+496", 50);
  later.SendAt = std::chrono::duration_cast<std::chrono::milliseconds>((T0 + 1h).time_since_epoch()).count();
  TQueued scheduled = s->QueueMessage(later);
  EXPECT_EQ(s->Get(scheduled.Id)->Status, msScheduled);
  std::vector<int64_t> order;
  while (auto m = s->Claim("gw/m", T0 + 1s, 30s)) order.push_back(m->Id);
  EXPECT_EQ(order, (std::vector<int64_t>{high1, high2, a.Id, low}));
  EXPECT_EQ(s->Claim("gw/m", T0 + 2h, 30s)->Id, scheduled.Id);  // its time has come

  int64_t c = s->Queue("+497", "to cancel", false, 0);
  int64_t d = s->Queue("+498", "two parts", false, 0);
  EXPECT_EQ(s->Cancel(c), crCancelled);
  EXPECT_EQ(s->Get(c)->Status, msCancelled);
  EXPECT_NE(s->Get(c)->DoneAt, 0);
  EXPECT_EQ(s->Cancel(c), crTooLate);
  EXPECT_EQ(s->Claim("gw/m", T0 + 3h, 30s)->Id, d);  // the cancelled one is passed over
  s->AddSentPart(d, 1, T0);
  s->MarkFailed(d, "+CMS ERROR: 500", true, T0, 500);
  EXPECT_EQ(s->Get(d)->ErrorCode, 500);
  EXPECT_EQ(s->Cancel(d), crTooLate);  // queued again, but a part of it went out
  EXPECT_EQ(s->Cancel(99999), crNoSuchMessage);
  EXPECT_EQ(Types(s->Events(0, 1000, "message.cancelled")), std::vector<std::string>{"message.cancelled"});

  TMessageFilter f;
  f.Limit = 3;
  auto page1 = s->Messages(f);
  ASSERT_EQ(page1.size(), 3u);
  EXPECT_EQ(page1[0].Id, d);
  f.BeforeId = page1.back().Id;
  auto page2 = s->Messages(f);
  ASSERT_EQ(page2.size(), 3u);
  EXPECT_LT(page2[0].Id, page1.back().Id);
  f = {};
  f.Status = msCancelled;
  EXPECT_EQ(s->Messages(f).size(), 1u);
  f = {};
  f.To = "+494";
  ASSERT_EQ(s->Messages(f).size(), 1u);
  EXPECT_EQ(s->Messages(f)[0].Priority, 9);
}

// Subscriptions hear of the events they name from their start; a message's own callback of that
// message's changes; a delivery is held by one claimer at a time, and a claim that is never
// settled comes due again; a replay delivers again.
TEST_P(SmsStore, WebhookDeliveriesAreClaimedOnceAtATime) {
  auto s = Open();
  s->Queue("+491", "before the subscription", false, 0);
  TWebhook h;
  h.Url = "http://127.0.0.1:9/hook";
  h.Events = {"message.sent", "modem."};
  h.Secret = "0123456789abcdef";
  int64_t hook = s->AddWebhook(h);
  TNewMessage m;
  m.To = "+492";
  m.Text = "with a callback";
  m.CallbackUrl = "http://127.0.0.1:9/cb?d=%d";
  m.CallbackKind = "kannel";
  m.CallbackMask = 8;  // sent only
  int64_t id = s->QueueMessage(m).Id;
  ASSERT_EQ(s->Claim("gw/m", T0, 30s)->Id, 1);
  s->MarkSent(1);
  ASSERT_EQ(s->Claim("gw/m", T0, 30s)->Id, id);
  s->MarkSent(id);
  TModemRecord r;
  r.Gateway = "gw";
  r.Name = "m";
  s->RecordModem(r, "modem.up");
  EXPECT_EQ(s->FanOut(T0), 4);  // two "sent" and "modem.up" for the hook, one "sent" for the callback
  EXPECT_EQ(s->FanOut(T0), 0);

  auto mine = s->ClaimDeliveries("gw-a", T0, 30s, 10);
  ASSERT_EQ(mine.size(), 4u);
  EXPECT_TRUE(s->ClaimDeliveries("gw-b", T0 + 1s, 30s, 10).empty());
  int callbacks = 0;
  for (auto& d : mine) {
    if (d.Webhook == 0) {
      ++callbacks;
      EXPECT_EQ(d.Kind, "kannel");
      EXPECT_EQ(d.Event.Subject, id);
      EXPECT_EQ(d.Event.Type, "message.sent");
    } else {
      EXPECT_EQ(d.Secret, h.Secret);
    }
  }
  EXPECT_EQ(callbacks, 1);
  // One delivered, one to try again in a minute, one failed; the fourth left as a dead gateway
  // leaves it.
  auto settle = [&](const TDelivery& D, const char* Outcome, std::optional<TTime> Retry) {
    TDeliveryAttempt a{D.Webhook, D.Event.Id, D.Attempts + 1, 1000, 503, "HTTP 503", Outcome};
    s->SettleDelivery(D, a, Retry);
  };
  settle(mine[0], "delivered", std::nullopt);
  settle(mine[1], "retry", T0 + 60s);
  settle(mine[2], "failed", std::nullopt);
  auto dueSoon = s->ClaimDeliveries("gw-b", T0 + 40s, 30s, 10);
  ASSERT_EQ(dueSoon.size(), 1u);  // the lease of the fourth ran out
  EXPECT_EQ(dueSoon[0].Event.Id, mine[3].Event.Id);
  auto retried = s->ClaimDeliveries("gw-b", T0 + 61s, 30s, 10);
  ASSERT_EQ(retried.size(), 1u);
  EXPECT_EQ(retried[0].Event.Id, mine[1].Event.Id);
  EXPECT_EQ(retried[0].Attempts, 1);
  size_t hookSettled = 0;
  for (int i = 0; i < 3; ++i) hookSettled += mine[i].Webhook == hook;
  EXPECT_EQ(s->DeliveryAttempts(hook).size(), hookSettled);

  EXPECT_TRUE(s->Replay(hook, 0, T0 + 2min));
  EXPECT_FALSE(s->Replay(hook + 100, 0, T0));
  EXPECT_EQ(s->ClaimDeliveries("gw-c", T0 + 3min, 30s, 10).size(), 3u);  // every one of the hook's again

  // The configuration's subscriptions are kept as they are, and go when it drops them.
  TWebhook c;
  c.Url = "https://example.invalid/x";
  c.Events = {"*"};
  s->SetConfigWebhooks({c});
  s->SetConfigWebhooks({c});
  EXPECT_EQ(s->Webhooks().size(), 2u);
  s->SetConfigWebhooks({});
  EXPECT_EQ(s->Webhooks().size(), 1u);
  EXPECT_TRUE(s->DeleteWebhook(hook));
  EXPECT_FALSE(s->DeleteWebhook(hook));
}
