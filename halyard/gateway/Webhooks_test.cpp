// Webhook deliveries: the signature as Standard Webhooks define it, the retry schedule on a clock
// the test moves, a real receiver on 127.0.0.1 that refuses and stalls before it takes, and two
// gateways on one store delivering each event once.
#include "halyard/gateway/Webhooks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "GatewayTestDb.h"
#include "WebhookReceiver.h"

using namespace Halyard::Gateway;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

using TReceiver = HalyardTest::TWebhookReceiver;

}  // namespace

// The worked example Standard Webhooks publish, and a plain secret used as it is.
TEST(Webhooks, SignaturesAsStandardWebhooksDefineThem) {
  EXPECT_EQ(SignWebhook("whsec_MfKQ9r8GKYqrTwjUPD8ILPZIo2LaLaSw", "msg_p5jXN8AQM9LWM0D4loKWxJek", 1614265330,
                        R"({"test": 2432232314})"),
            "v1,g0hM9SsE+OTPJTGt/tmIKtSyZlE3uFJELVlNIOLJ1OE=");
  EXPECT_EQ(SignWebhook("plain-secret-123", "7", 1700000000, "{}"), "v1,kmBpOWankEmgUssB6rZdmS1j+6dt77E54/90LdiZOG4=");
  auto body = json::parse(WebhookBody({7, "message.sent", 42, R"({"id":42})", 1796904000123}));
  EXPECT_EQ(body["id"], 7);
  EXPECT_EQ(body["type"], "message.sent");
  EXPECT_EQ(body["time"], "2026-12-10T12:00:00.123Z");
  EXPECT_EQ(body["data"]["id"], 42);
  TOutgoing m;
  m.Id = 42;
  m.To = "+4917212345";
  m.Modem = "gw/m 1";
  EXPECT_EQ(KannelDlrUrl("http://h/dlr?t=%d&to=%P&at=%t&smsc=%i&x=%A&%%", {7, "message.delivered", 42, "{}", 1796904000123}, m),
            "http://h/dlr?t=1&to=%2B4917212345&at=2026-12-10%2012%3A00&smsc=gw%2Fm%201&x=delivered&%%");
}

// Network errors, time-outs, 429 and 5xx are tried again after 10 s, 20 s, 40 s...; a 4xx is
// the subscriber's answer and ends the delivery; so does the last attempt.
TEST(Webhooks, RetriesFollowTheScheduleOnTheClock) {
  auto db = TTestDatabase::Make("sqlite");
  ASSERT_TRUE(db);
  auto store = OpenStore(db->Where());
  TGatewayConfig c;
  c.WebhookAttempts = 6;
  TWebhook h;
  h.Url = "http://127.0.0.1:9/hook";
  h.Events = {"message.queued"};
  h.Secret = "0123456789abcdef";
  int64_t hook = store->AddWebhook(h);
  TTime now = TClock::now();
  std::vector<int> answers = {503, 0, 429, 500};  // then 204
  std::vector<TTime> attempts;
  TWebhookDispatcher d(
      *store, c, "gw", nullptr, [&] { return now; },
      [&](const std::string&, const std::string&, const std::vector<std::string>&, const std::string&) {
        attempts.push_back(now);
        int s = answers.empty() ? 204 : answers.front();
        if (!answers.empty()) answers.erase(answers.begin());
        return TPostResult{s, s == 0 ? "Operation timed out" : ""};
      });
  store->Queue("+491", "one", false, 0);
  TTime start = now;
  for (int second = 0; second <= 200; ++second) {
    now = start + std::chrono::seconds(second);
    d.Step();
  }
  ASSERT_EQ(attempts.size(), 5u);
  std::vector<int64_t> at;
  for (auto& t : attempts) at.push_back(std::chrono::duration_cast<std::chrono::seconds>(t - start).count());
  EXPECT_EQ(at, (std::vector<int64_t>{0, 10, 30, 70, 150}));
  auto tried = store->DeliveryAttempts(hook);
  ASSERT_EQ(tried.size(), 5u);
  EXPECT_EQ(tried[0].Outcome, "delivered");
  EXPECT_EQ(tried[3].Error, "Operation timed out");
  EXPECT_EQ(tried[4].HttpStatus, 503);

  // A refusal ends it at once; so does the sixth failure.
  answers = {404};
  store->Queue("+492", "two", false, 0);
  answers.insert(answers.end(), 6, 503);
  store->Queue("+493", "three", false, 0);
  for (int second = 0; second <= 1000; ++second) {
    now = start + 1h + std::chrono::seconds(second);
    d.Step();
  }
  tried = store->DeliveryAttempts(hook);
  int failed = 0;
  for (auto& a : tried) failed += a.Outcome == "failed";
  EXPECT_EQ(failed, 2);
  EXPECT_EQ(tried.size(), 5u + 1u + 6u);
  EXPECT_EQ(RetryWait(20, 10s, 3600s), 3600s);
}

// Through libcurl to a real receiver: refused with 503, then stalled past the time-out, then
// taken; every attempt carries the same id and a signature the receiver verifies.
TEST(Webhooks, ARealReceiverRefusesStallsAndTakes) {
  auto db = TTestDatabase::Make("sqlite");
  ASSERT_TRUE(db);
  auto store = OpenStore(db->Where());
  TReceiver rx("whsec-not-base64-but-fine");
  {
    std::lock_guard lk(rx.M);
    rx.Script = {[] { return 503; },
                 [] {
                   std::this_thread::sleep_for(2s);  // past the time-out below
                   return 200;
                 }};
  }
  TGatewayConfig c;
  c.WebhookTimeout = 1s;
  c.WebhookRetryFirst = 0s;  // tried again at once: the schedule has a test of its own
  TWebhook h;
  h.Url = rx.Url();
  h.Events = {"message."};
  h.Secret = "whsec-not-base64-but-fine";
  int64_t hook = store->AddWebhook(h);
  int64_t id = store->Queue("+491", "hello", false, 0);
  TWebhookDispatcher d(*store, c, "gw", nullptr);
  for (int i = 0; i < 100 && store->DeliveryAttempts(hook).size() < 3; ++i) {
    d.Step();
    std::this_thread::sleep_for(20ms);
  }
  auto tried = store->DeliveryAttempts(hook);
  ASSERT_EQ(tried.size(), 3u);
  EXPECT_EQ(tried[0].Outcome, "delivered");
  EXPECT_EQ(tried[1].HttpStatus, 0);
  EXPECT_NE(tried[1].Error.find("timed out"), std::string::npos) << tried[1].Error;
  EXPECT_EQ(tried[2].HttpStatus, 503);
  std::lock_guard lk(rx.M);
  EXPECT_EQ(rx.BadSignatures, 0);
  ASSERT_EQ(rx.Ids.size(), 3u);
  EXPECT_EQ(std::set<std::string>(rx.Ids.begin(), rx.Ids.end()).size(), 1u) << "one id across the retries";
  auto body = json::parse(rx.Bodies.back());
  EXPECT_EQ(body["type"], "message.queued");
  EXPECT_EQ(body["data"]["id"], id);
}

// Two gateways' dispatchers on one store: every event reaches the subscriber once.
TEST(Webhooks, TwoGatewaysDeliverEachEventOnce) {
  for (const char* kind : {"sqlite", "postgresql"}) {
    auto db = TTestDatabase::Make(kind);
    if (!db) continue;
    TReceiver rx("0123456789abcdef");
    auto store = OpenStore(db->Where());
    TWebhook h;
    h.Url = rx.Url();
    h.Events = {"*"};
    h.Secret = "0123456789abcdef";
    store->AddWebhook(h);
    for (int i = 0; i < 100; ++i) store->Queue("+491", "m" + std::to_string(i), false, 0);
    auto other = OpenStore(db->Where());
    TGatewayConfig c;
    c.WebhookThreads = 2;
    TWebhookDispatcher a(*store, c, "gw-a", nullptr), b(*other, c, "gw-b", nullptr);
    a.Start();
    b.Start();
    auto deadline = std::chrono::steady_clock::now() + 60s;
    for (;;) {
      {
        std::lock_guard lk(rx.M);
        if (rx.Calls >= 100 || std::chrono::steady_clock::now() > deadline) break;
      }
      std::this_thread::sleep_for(20ms);
    }
    std::this_thread::sleep_for(600ms);  // a second delivery, were there one, would be in by now
    a.Stop();
    b.Stop();
    std::lock_guard lk(rx.M);
    EXPECT_EQ(rx.Calls, 100) << kind;
    EXPECT_EQ(std::set<std::string>(rx.Ids.begin(), rx.Ids.end()).size(), 100u) << kind;
    EXPECT_EQ(rx.BadSignatures, 0) << kind;
  }
}
