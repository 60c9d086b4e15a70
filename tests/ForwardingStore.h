#pragma once
// A store that hands every call to a real one: a test overrides the calls it makes fail.
#include <memory>

#include "halyard/gateway/SmsStore.h"

namespace Halyard::Gateway {

class TForwardingStore : public TStore {
 public:
  explicit TForwardingStore(std::unique_ptr<TStore> Real) : R_(std::move(Real)) {}
  const char* Kind() const override { return R_->Kind(); }
  TQueued QueueMessage(const TNewMessage& M) override { return R_->QueueMessage(M); }
  TCancelResult Cancel(int64_t Id) override { return R_->Cancel(Id); }
  std::vector<TOutgoing> Messages(const TMessageFilter& F) override { return R_->Messages(F); }
  std::optional<TOutgoing> Claim(const std::string& M, TTime Now, std::chrono::seconds L,
                                 const std::string& Route) override {
    return R_->Claim(M, Now, L, Route);
  }
  int64_t LatestEvent() override { return R_->LatestEvent(); }
  std::optional<TOutgoing> NextDue(TTime Now, const std::string& Route) override { return R_->NextDue(Now, Route); }
  int64_t PartsSentSince(const std::string& M, TTime Since) override { return R_->PartsSentSince(M, Since); }
  bool RenewClaim(int64_t Id, const std::string& M, TTime U) override { return R_->RenewClaim(Id, M, U); }
  void AddSentPart(int64_t Id, int Ref, TTime Now) override { R_->AddSentPart(Id, Ref, Now); }
  void MarkSent(int64_t Id) override { R_->MarkSent(Id); }
  void MarkFailed(int64_t Id, const std::string& E, bool Retry, TTime Next, int Code) override {
    R_->MarkFailed(Id, E, Retry, Next, Code);
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
  bool MatchReport(const std::string& M, int Ref, const std::string& To, bool D, TTime Now,
                   std::chrono::seconds W) override {
    return R_->MatchReport(M, Ref, To, D, Now, W);
  }
  std::vector<TEvent> Events(int64_t After, int Limit, const std::string& Type) override {
    return R_->Events(After, Limit, Type);
  }
  int PruneEvents(TTime Before) override { return R_->PruneEvents(Before); }
  void RecordModem(const TModemRecord& M, const std::string& E) override { R_->RecordModem(M, E); }
  std::vector<TModemRecord> Modems() override { return R_->Modems(); }
  int64_t AddWebhook(const TWebhook& H) override { return R_->AddWebhook(H); }
  std::vector<TWebhook> Webhooks() override { return R_->Webhooks(); }
  bool DeleteWebhook(int64_t Id) override { return R_->DeleteWebhook(Id); }
  void SetConfigWebhooks(const std::vector<TWebhook>& H) override { R_->SetConfigWebhooks(H); }
  int FanOut(TTime Now, int Limit) override { return R_->FanOut(Now, Limit); }
  std::vector<TDelivery> ClaimDeliveries(const std::string& C, TTime Now, std::chrono::seconds L, int N) override {
    return R_->ClaimDeliveries(C, Now, L, N);
  }
  void SettleDelivery(const TDelivery& D, const TDeliveryAttempt& A, std::optional<TTime> R) override {
    R_->SettleDelivery(D, A, R);
  }
  std::vector<TDeliveryAttempt> DeliveryAttempts(int64_t W, int Limit) override {
    return R_->DeliveryAttempts(W, Limit);
  }
  bool Replay(int64_t W, int64_t Since, TTime Now) override { return R_->Replay(W, Since, Now); }
  int PruneDeliveries(TTime Before) override { return R_->PruneDeliveries(Before); }

 protected:
  std::unique_ptr<TStore> R_;
};

}  // namespace Halyard::Gateway
