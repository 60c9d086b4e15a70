#pragma once
// One modem of the gateway: opened, kept open and reopened with backoff; sending one part at a
// time of the message it holds; storing what arrives before the modem's copy goes.
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "halyard/gateway/Gateway.h"

namespace Halyard::GSM {
class TGSM;
class TSMS;
class TSMSDeliver;
class TSMSStatusReport;
class TSMSSubmit;
}  // namespace Halyard::GSM

namespace Halyard::Gateway {

class TModemLink {
 public:
  TModemLink(TGateway& Gateway, TModemConfig Config);
  ~TModemLink();
  TModemLink(const TModemLink&) = delete;
  TModemLink& operator=(const TModemLink&) = delete;

  const std::string& Name() const { return Config_.Name; }
  // The name its claims and parts carry in the store: the gateway's and its own.
  const std::string& ClaimName() const { return ClaimName_; }
  bool Up() const { return Gsm_ != nullptr; }
  // One step: open when due, store what waits, send one part when the rate allows. Whether it
  // did something (the gateway then steps again at once).
  bool Step();
  // Leaves the message it holds to be taken up again and closes the modem.
  void Shutdown();

 private:
  struct TDevice;  // the port, the modem and, without a device, the simulator behind them
  using TClockS = std::chrono::steady_clock;

  void Open();
  void Down(const std::string& Why);
  void OnMessage(int Index, GSM::TSMS* Sms);
  // Stores a received message (or part); raises EStoreError when the store cannot take it.
  void StoreDelivered(const GSM::TSMSDeliver& D);
  void StoreReport(const GSM::TSMSStatusReport& R);
  bool ReadStored();
  bool SendPart();
  void FailCurrent(const std::string& Error, bool Retry);
  // Store writes that must not be lost: tried in order until the store takes them.
  bool FlushWrites();
  void Write(std::function<void()> W);

  TGateway& Gw_;
  TModemConfig Config_;
  std::string ClaimName_;
  std::unique_ptr<TDevice> Dev_;
  GSM::TGSM* Gsm_ = nullptr;  // Dev_'s modem while it is open
  TClockS::time_point NextOpen_{}, NextPart_{}, LastHeard_{}, NextClaim_{};
  uint64_t SeenPokes_ = 0;
  std::chrono::milliseconds Backoff_;
  int ErrorRun_ = 0;
  std::deque<int> StoredIndexes_;  // announced by the modem, read outside its transactions
  bool SweepStored_ = false;       // read what the modem holds (after an open)
  std::deque<std::function<void()>> Writes_;
  TClockS::time_point StoreRetry_{};
  // The message being sent.
  struct TCurrent {
    TOutgoing Message;
    std::vector<std::unique_ptr<GSM::TSMSSubmit>> Parts;
    size_t Next = 0;
  };
  std::optional<TCurrent> Current_;
};

}  // namespace Halyard::Gateway
