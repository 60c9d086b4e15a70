#pragma once
// One modem of the gateway, in a thread of its own: opened, kept open and reopened with backoff;
// sending one part at a time of the message it holds; storing what arrives before the modem's
// copy goes. The outbox and inbox rules, written against the modem's driver alone.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "halyard/gateway/Gateway.h"
#include "halyard/gateway/ModemDriver.h"

namespace Halyard::GSM {
class TSMS;
class TSMSDeliver;
class TSMSStatusReport;
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
  // Runs the modem until the gateway stops; then leaves the message it holds to be taken up
  // again and closes the modem.
  void Start();
  bool Finished() const { return Finished_.load(); }
  // Wakes the thread: something was queued, or the gateway stops.
  void Wake();
  // Sends a USSD code (or, Reply, the answer to the open menu) on this modem's thread between
  // parts, and waits for the network's answer.
  TUssdReply Ussd(const std::string& Code, bool Reply);

 private:
  void Loop();
  // One step: open when due, store what waits, send one part when the rate allows. Whether it
  // did something (then it steps again at once).
  bool Step();
  void Shutdown();

  using TClockS = std::chrono::steady_clock;

  // The device to open: the configured one, or for a modem known by its IMEI the device that
  // answers with it; raises when none does.
  std::string FindDevice();
  void Open();
  // The next rung for a modem that failed to open OpenFailures times in a row: its reset, then
  // its hook, then down for good (still tried, at the longest backoff).
  void Ladder();
  // The modem's record in the store, for every gateway on it; with an event unless Event is "".
  void Record(const std::string& Event);
  void Down(const std::string& Why);
  // Something the modem stored: listed on this link's thread.
  void Announced();
  // A message or report the modem handed over without storing it, on the driver's thread.
  void OnDirect(GSM::TSMS& Sms);
  // Stores a received message (or part); raises EStoreError when the store cannot take it.
  // Receipt: the modem's copy, for one that the modem keeps until it is deleted; Raw: as the
  // modem gave it, for one read only in part.
  void StoreDelivered(const GSM::TSMSDeliver& D, const std::string& Receipt = "", const std::string& Raw = "");
  void StoreReport(const GSM::TSMSStatusReport& R);
  struct TReport {
    int Reference;
    std::string Recipient;
    bool Delivered;
    std::chrono::steady_clock::time_point Received;
  };
  bool MatchReport(const TReport& R);
  void RetryEarlyReports();
  bool ReadStored();
  // Parts the modem's limits leave it now (INT64_MAX without limits); says so when none. Counts
  // today's parts too, for least use first.
  int64_t Room();
  void SetIdle(bool Idle);
  void SetLimited(const std::string& Why);
  // Serves the USSD requests that wait; closes a menu left open too long.
  void ServeUssd();
  bool SendPart();
  void FailCurrent(const std::string& Error, bool Retry, int Code = -1);
  // Store writes that must not be lost: tried in order until the store takes them.
  bool FlushWrites();
  void Write(std::function<void()> W);

  TGateway& Gw_;
  TModemConfig Config_;
  std::string ClaimName_;
  std::unique_ptr<IModemDriver> Drv_;  // while the modem is open
  TClockS::time_point NextOpen_{}, NextPart_{}, LastHeard_{}, NextClaim_{}, NextRecord_{};
  TModemRecord Record_;  // what is known of the modem besides its state
  uint64_t SeenPokes_ = 0;
  std::chrono::milliseconds Backoff_;
  int ErrorRun_ = 0;
  int OpenFailures_ = 0;  // opens failed in a row
  // Parts sent since Today_ (midnight UTC), read from the store once a day and counted on.
  std::chrono::system_clock::time_point Today_{};
  int64_t PartsToday_ = 0;
  bool Deferred_ = false;  // the next message is left to a less used modem, since DeferredAt_
  TClockS::time_point DeferredAt_{};
  static constexpr std::chrono::milliseconds kLeaveToLessUsed{500};
  bool Idle_ = false;
  std::mutex M_;                   // guards ListDue_, EarlyReports_ and Woken_
  std::condition_variable Cv_;
  std::deque<TReport> EarlyReports_;
  struct TUssdRequest {
    std::string Code;
    bool Reply = false;
    std::promise<TUssdReply> Done;
  };
  std::deque<std::shared_ptr<TUssdRequest>> UssdRequests_;  // under M_
  bool UssdOpen_ = false;                                    // a menu waits for its reply
  TClockS::time_point UssdIdleUntil_{};
  bool Woken_ = false;
  bool ListDue_ = false;           // list what the modem holds: announced, or after an open
  std::thread Thread_;
  std::atomic<bool> Finished_{false};
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
