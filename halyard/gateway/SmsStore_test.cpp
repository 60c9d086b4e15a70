#include "halyard/gateway/SmsStore.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

using namespace Halyard::Gateway;
using namespace std::chrono_literals;

namespace {

class SmsStore : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/halyard-store-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    Dir = tmpl;
    Path = (Dir / "gateway.db").string();
  }
  void TearDown() override { std::filesystem::remove_all(Dir); }
  std::filesystem::path Dir;
  std::string Path;
  TTime T0 = TClock::now();
};

}  // namespace

TEST_F(SmsStore, QueueClaimSendReportAndReopen) {
  int64_t a, b;
  {
    auto s = OpenSQLiteStore(Path);
    EXPECT_EQ(s->SchemaVersion(), 1);
    a = s->Queue("+4917", "first", true, 60);
    b = s->Queue("+4918", "second", false, 0);
    EXPECT_EQ(s->QueueDepth(), 2);
    auto m = s->Claim("modem1", T0, 30s);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->Id, a);  // oldest first
    EXPECT_EQ(m->Status, msSending);
    EXPECT_EQ(m->Modem, "modem1");
    EXPECT_EQ(m->Attempts, 1);
    s->MarkSent(a, {7, 8});
    EXPECT_EQ(s->Get(a)->Status, msSent);
    EXPECT_EQ(s->Get(a)->References, (std::vector<int>{7, 8}));
    EXPECT_TRUE(s->MatchReport("modem1", 8, true));
    EXPECT_EQ(s->Get(a)->Status, msSent);  // one part still unreported
    EXPECT_FALSE(s->MatchReport("modem2", 7, true));  // another modem's reference 7
    EXPECT_TRUE(s->MatchReport("modem1", 7, true));
    EXPECT_EQ(s->Get(a)->Status, msDelivered);
    EXPECT_FALSE(s->MatchReport("modem1", 7, true));  // reported already
  }
  auto s = OpenSQLiteStore(Path);  // what was stored survives, the schema is not made again
  EXPECT_EQ(s->SchemaVersion(), 1);
  EXPECT_EQ(s->Get(a)->Status, msDelivered);
  EXPECT_EQ(s->Get(b)->Status, msQueued);
  EXPECT_EQ(s->QueueDepth(), 1);
}

TEST_F(SmsStore, RetriesWaitAndFailuresStay) {
  auto s = OpenSQLiteStore(Path);
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
}

TEST_F(SmsStore, ADeadGatewaysClaimIsUnknownAndAStoppedOnesIsGivenBack) {
  auto s = OpenSQLiteStore(Path);
  int64_t a = s->Queue("+1", "a", false, 0), b = s->Queue("+2", "b", false, 0);
  ASSERT_TRUE(s->Claim("dies", T0, 30s));
  ASSERT_TRUE(s->Claim("stops", T0, 30s));
  s->ReleaseClaims("stops");
  EXPECT_EQ(s->Get(b)->Status, msQueued);
  EXPECT_EQ(s->Get(b)->Attempts, 0);
  EXPECT_EQ(s->ExpireClaims(T0 + 10s), 0);  // the lease still runs
  EXPECT_EQ(s->ExpireClaims(T0 + 31s), 1);
  EXPECT_EQ(s->Get(a)->Status, msUnknown);  // may have gone out: never sent again by itself
  EXPECT_EQ(s->Get(a)->Error, "unknown, may have been sent");
  auto next = s->Claim("survivor", T0 + 31s, 30s);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->Id, b);
}

TEST_F(SmsStore, TwoGatewaysNeverClaimOneMessageTwice) {
  {
    auto s = OpenSQLiteStore(Path);
    for (int i = 0; i < 200; ++i) s->Queue("+49" + std::to_string(i), "m", false, 0);
  }
  std::mutex m;
  std::multiset<int64_t> claimed;
  auto gateway = [&](const std::string& name) {
    auto s = OpenSQLiteStore(Path);  // a connection of its own, as another process has
    while (auto c = s->Claim(name, TClock::now(), 30s)) {
      s->MarkSent(c->Id, {static_cast<int>(c->Id & 0xFF)});
      std::lock_guard lk(m);
      claimed.insert(c->Id);
    }
  };
  std::thread g1(gateway, "g1"), g2(gateway, "g2");
  g1.join();
  g2.join();
  EXPECT_EQ(claimed.size(), 200u);
  EXPECT_EQ(std::set<int64_t>(claimed.begin(), claimed.end()).size(), 200u);
  EXPECT_EQ(OpenSQLiteStore(Path)->QueueDepth(), 0);
}

TEST_F(SmsStore, InboxKeepsEachMessageOnce) {
  auto s = OpenSQLiteStore(Path);
  EXPECT_TRUE(s->StoreIncoming("m1", "+4917", "hello", 1000));
  EXPECT_FALSE(s->StoreIncoming("m1", "+4917", "hello", 1000));  // stored again after a crash
  EXPECT_TRUE(s->StoreIncoming("m1", "+4917", "hello", 1001));
  EXPECT_TRUE(s->StoreIncoming("m2", "+4917", "h\xC3\xA9llo \xF0\x9F\x98\x80", 1000));
  auto all = s->Inbox(0);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[2].Text, "h\xC3\xA9llo \xF0\x9F\x98\x80");
  EXPECT_EQ(s->Inbox(all[0].Id).size(), 2u);
  EXPECT_THROW(OpenSQLiteStore((Dir / "no" / "such" / "dir.db").string()), std::exception);
}
