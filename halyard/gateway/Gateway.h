#pragma once
// The SMS gateway: modems that send what the store's outbox holds and store what arrives.
//
// Every modem runs in a thread of its own, so each adds its capacity and a slow one delays no
// other; what a modem announces is handled on its driver's threads, never on one the modems
// share. The HTTP API runs in threads of its own and touches only the store and the counters,
// which are thread-safe.
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "halyard/gateway/GatewayConfig.h"
#include "halyard/gateway/ModemDriver.h"
#include "halyard/gateway/SmsStore.h"

namespace Halyard::Gateway {

// What a modem has done since the gateway started.
struct TModemCounters {
  int64_t Sent = 0;       // messages, every part out
  int64_t Parts = 0;      // parts out
  int64_t Failed = 0;     // messages failed for good
  int64_t Retries = 0;    // failed attempts to be tried again
  int64_t Received = 0;   // messages (or parts) stored
  int64_t Reports = 0;    // reports matched to a sent part
  int64_t Opens = 0;      // successful opens
  int64_t Resets = 0;     // resets sent to a modem that stopped answering
  int64_t HookRuns = 0;   // runs of its reset_hook
};

struct TModemState {
  std::string Name;
  bool Up = false;
  std::string LastError;
  std::string Limited;  // why it takes no work now ("per day: 50 of 50"), or ""
  std::string Usage;    // what its limits have counted ("per day: 12 of 50"), or ""
  int64_t PartsToday = 0;  // parts sent since midnight UTC
  bool Idle = false;       // up and holding no message
  int Signal = -1;        // +CSQ rssi 0-31, or -1: not known
  int Registration = -1;  // +CREG <stat>, or -1: not known
  TModemCounters Counters;
};

// What a USSD request through the gateway came to.
struct TUssdReply {
  int Status = 200;     // as HTTP has it: 200, 404 (no such modem here, or session), 502 (refused),
                        // 503 (the modem is down), 504 (no answer in time)
  std::string Error;
  int64_t Session = 0;  // while the network waits for a reply
  int Network = 0;      // +CUSD <m>: 0 done, 1 a reply is awaited, 2-5 ended
  std::string Text;
};

// Whether a send that failed with this final result line may succeed later: no network, a busy
// or failing service centre, the 500-range errors, a time-out; not an invalid number or a
// message the network refuses.
bool Retryable(const std::string& ResultLine);
// The same for a "+CMS ERROR: <Code>".
bool RetryableCms(int Code);

// A service centre's time stamp (its local time, and its offset from UTC in quarter hours, as
// 23.040 gives them) in seconds since the epoch; 0 for none.
int64_t UtcStamp(double Local, int QuarterHours);

class TModemLink;
class TWebhookDispatcher;

class TGateway {
 public:
  // Opens the store (or takes the one given); the modems open in Run.
  TGateway(TGatewayConfig Config, TLogSink Log = nullptr, std::unique_ptr<TStore> Store = nullptr);
  ~TGateway();
  TGateway(const TGateway&) = delete;
  TGateway& operator=(const TGateway&) = delete;

  TStore& Store() { return *Store_; }
  // How the modems are driven (before Run): AT commands unless a test says otherwise.
  void SetDriverFactory(TDriverFactory Factory) { Factory_ = std::move(Factory); }
  const TDriverFactory& DriverFactory() const { return Factory_; }
  const TGatewayConfig& Config() const { return Config_; }

  // Drives the modems and delivers the webhooks until Stop; on the way out finishes the part in
  // flight, gives back the claims it has not acted on and closes the modems.
  void Run();
  // From any thread, or a signal handler's thread.
  void Stop() { Stopping_.store(true); }
  bool Stopping() const { return Stopping_.load(); }

  // From any thread: a message was queued; the modems look for it now, not at their next poll.
  void Poke();
  uint64_t Pokes() const { return Pokes_.load(); }

  // From any thread: sends a USSD code through a modem of this gateway (Session 0), or the reply
  // to the menu of an open session; waits for the network's answer.
  TUssdReply Ussd(const std::string& Modem, const std::string& Code, int64_t Session = 0);

  // What each link has open, so that two never take one device or one modem: "" when Modem may
  // hold Device and Imei, else why not. Release gives them back.
  std::string Hold(const std::string& Modem, const std::string& Device, const std::string& Imei);
  void Release(const std::string& Modem);
  // Whether a link other than Modem holds Device.
  bool Held(const std::string& Device, const std::string& Modem) const;

  // Thread-safe snapshots for the API.
  std::vector<TModemState> Modems() const;
  // The other modems of this gateway that are idle, free of limits and have sent fewer parts
  // today than PartsToday: one of them should take the next message it may (least use first).
  std::vector<std::string> LessUsedIdle(const std::string& Modem, int64_t PartsToday) const;
  void Log(const std::string& Line) const;
  // Called by the links.
  void Update(const std::string& Modem, const std::function<void(TModemState&)>& Change);

 private:
  TGatewayConfig Config_;
  TLogSink Log_;
  std::unique_ptr<TStore> Store_;
  std::unique_ptr<TWebhookDispatcher> Hooks_;
  TDriverFactory Factory_ = MakeATDriver;
  std::vector<std::unique_ptr<TModemLink>> Links_;
  std::atomic<bool> Stopping_{false};
  std::atomic<uint64_t> Pokes_{0};
  mutable std::mutex M_;
  std::map<std::string, TModemState> States_;
  std::map<int64_t, std::string> UssdSessions_;  // open menus: session -> modem, under M_
  struct THold {
    std::string Device, Imei;
  };
  std::map<std::string, THold> Holds_;  // by modem, under M_
  int64_t NextUssdSession_ = 1;
};

}  // namespace Halyard::Gateway
