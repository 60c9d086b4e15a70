// The gateway's modem work against a store that goes away at the worst moments.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "GatewayTestDb.h"
#include "halyard/gateway/Gateway.h"

using namespace Halyard::Gateway;
using namespace std::chrono_literals;

namespace {

// A store that forwards to a real one, and fails report matching on the modem's thread while
// an outage lasts: what a database restart does to the step after a part went out.
class TFlakyStore : public TStore {
 public:
  explicit TFlakyStore(std::unique_ptr<TStore> Real) : R_(std::move(Real)) {}
  std::atomic<int> Outage{0};  // failures to come

  const char* Kind() const override { return R_->Kind(); }
  int64_t Queue(const std::string& To, const std::string& Text, bool Report, int V) override {
    return R_->Queue(To, Text, Report, V);
  }
  std::optional<TOutgoing> Claim(const std::string& M, TTime Now, std::chrono::seconds L) override {
    LinkThread_.store(std::this_thread::get_id());
    return R_->Claim(M, Now, L);
  }
  bool RenewClaim(int64_t Id, const std::string& M, TTime U) override { return R_->RenewClaim(Id, M, U); }
  void AddSentPart(int64_t Id, int Ref, TTime Now) override { R_->AddSentPart(Id, Ref, Now); }
  void MarkSent(int64_t Id) override { R_->MarkSent(Id); }
  void MarkFailed(int64_t Id, const std::string& E, bool Retry, TTime Next) override {
    R_->MarkFailed(Id, E, Retry, Next);
  }
  void MarkUnknown(int64_t Id, const std::string& E) override { R_->MarkUnknown(Id, E); }
  int ExpireClaims(TTime Now, std::chrono::seconds S) override { return R_->ExpireClaims(Now, S); }
  void ReleaseClaims(const std::string& M) override { R_->ReleaseClaims(M); }
  std::optional<TOutgoing> Get(int64_t Id) override { return R_->Get(Id); }
  int QueueDepth() override { return R_->QueueDepth(); }
  std::map<TMessageStatus, int64_t> Counts() override { return R_->Counts(); }
  bool StoreIncoming(const TReceived& M) override { return R_->StoreIncoming(M); }
  void ForgetReceipt(const std::string& M, const std::string& R) override { R_->ForgetReceipt(M, R); }
  std::optional<TIncoming> StorePart(const TIncomingPart& P, TTime Now) override { return R_->StorePart(P, Now); }
  int FlushParts(TTime Before) override { return R_->FlushParts(Before); }
  std::vector<TIncoming> Inbox(int64_t After, int Limit) override { return R_->Inbox(After, Limit); }
  int64_t InboxCount() override { return R_->InboxCount(); }
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
  std::vector<TEvent> Events(int64_t After, int Limit, const std::string& Type) override {
    return R_->Events(After, Limit, Type);
  }
  int PruneEvents(TTime Before) override { return R_->PruneEvents(Before); }
  void RecordModem(const TModemRecord& M, const std::string& E) override { R_->RecordModem(M, E); }
  std::vector<TModemRecord> Modems() override { return R_->Modems(); }

 private:
  std::unique_ptr<TStore> R_;
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
