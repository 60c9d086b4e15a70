// The gateway's modem work against a store that goes away at the worst moments.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ForwardingStore.h"
#include "GatewayTestDb.h"
#include "halyard/gateway/Gateway.h"

using namespace Halyard::Gateway;
using namespace std::chrono_literals;

namespace {

// A store that forwards to a real one, and fails report matching on the modem's thread while
// an outage lasts: what a database restart does to the step after a part went out.
class TFlakyStore : public TForwardingStore {
 public:
  using TForwardingStore::TForwardingStore;
  std::atomic<int> Outage{0};  // failures to come

  std::optional<TOutgoing> Claim(const std::string& M, TTime Now, std::chrono::seconds L,
                                 const std::string& Route) override {
    LinkThread_.store(std::this_thread::get_id());
    return R_->Claim(M, Now, L, Route);
  }
  bool MatchReport(const std::string& M, int Ref, const std::string& To, bool Delivered, TTime Now,
                   std::chrono::seconds W) override {
    // A report that comes with its part's answer (on the driver's thread) finds the part not yet
    // recorded; matched again on the link's thread after the part is, where the outage strikes.
    if (std::this_thread::get_id() != LinkThread_.load()) return false;
    if (Outage > 0) {
      --Outage;
      throw EStoreError("server closed the connection unexpectedly");
    }
    return R_->MatchReport(M, Ref, To, Delivered, Now, W);
  }

 private:
  std::atomic<std::thread::id> LinkThread_{};
};

}  // namespace

// A part that went out is recorded as out first: a store that fails right after it (matching
// the reports that came early) makes it wait, never go out again.
TEST(GatewayModemLink, APartIsNeverSentAgainWhenTheStoreFailsAfterIt) {
  auto db = TTestDatabase::Make("sqlite");
  ASSERT_TRUE(db);
  auto flaky = std::make_unique<TFlakyStore>(OpenStore(db->Where()));
  TFlakyStore* store = flaky.get();
  store->Outage = 3;
  TGatewayConfig c;
  c.Name = "gw";
  c.Token = "t";
  TModemConfig m;
  m.Name = "sim";
  m.Model = "A1";
  c.Modems = {m};
  TGateway gw(c, [](const std::string&) {}, std::move(flaky));
  // Three parts, each reported: three chances for the outage to strike behind a part.
  int64_t id = store->Queue("+4917212345", std::string(400, 'x'), true, 0);
  std::thread watch([&] {
    auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
      auto s = store->Get(id)->Status;
      if (s != msQueued && s != msSending) break;
      std::this_thread::sleep_for(20ms);
    }
    gw.Stop();
  });
  gw.Run();
  watch.join();
  auto sent = store->Get(id);
  EXPECT_TRUE(sent->Status == msSent || sent->Status == msDelivered) << StatusName(sent->Status);
  EXPECT_EQ(sent->References.size(), 3u) << "a part went out twice";
  EXPECT_EQ(store->Outage, 0) << "the outage never struck";
}
