#pragma once
// The gateway's HTTP API: queue, schedule, follow, list and cancel messages, read the inbox and
// the event feed, subscribe webhooks, the modems, the health and the metrics; Kannel's send URL
// for clients written for it. JSON bodies; a key with the route's scope on every call but /health
// and /openapi.json; 4xx with a message for bad input, and nothing queued then.
#include <chrono>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "halyard/gateway/Console.h"
#include "halyard/gateway/Gateway.h"
#include "halyard/gateway/HttpServer.h"

namespace Halyard::Gateway {

struct TApiSource {
  TStore* Store = nullptr;
  std::function<std::vector<TModemState>()> Modems;
  std::function<void()> Queued;  // a message was queued
  TLogSink Log;                  // a line for each request; none: no log
  // A USSD code through a modem of this gateway, or (Session) a menu's reply; none: 501.
  std::function<TUssdReply(const std::string& Modem, const std::string& Code, int64_t Session)> Ussd;
};

class TApiServer {
 public:
  TApiServer(const TGatewayConfig& Config, TApiSource Source);
  ~TApiServer();
  TApiServer(const TApiServer&) = delete;
  TApiServer& operator=(const TApiServer&) = delete;

  // Binds to the configured address and port (0: any free port) and serves in threads of its
  // own; raises EConfigError when the address cannot be bound or the certificate not read.
  void Start();
  void Stop();
  int Port() const { return Http_ ? Http_->Port() : 0; }

  // The answer to one whole request, as the server gives it; callable without Start.
  THttpResponse Handle(const THttpRequest& Req);

 private:
  struct TKeyState;
  // Raises a 403 unless the request's key has one of the scopes.
  using TScopeCheck = std::function<void(std::initializer_list<const char*> Scopes)>;
  THttpResponse Route(const THttpRequest& Req, const TScopeCheck& May);
  THttpResponse PostMessage(const THttpRequest& Req);
  // Kannel's send URL, with Kannel's own answers; Who: the key's name, if known.
  THttpResponse SendSms(const THttpRequest& Req, std::string& Who);
  // The key whose secret Secret is, or null.
  TKeyState* KeyFor(const std::string& Secret);
  // The key a request carries (its Authorization, or the console's session cookie), or the
  // answer that refuses it; Who: the key's name, if known.
  const TKeyState* Authorise(const THttpRequest& Req, THttpResponse& Refusal, std::string& Who);
  // Takes one request from the key's rate; false (and the 429) when it has none left.
  bool Throttle(TKeyState* Key, THttpResponse& Refusal);
  // The console's own routes: its files, log-in and log-out; nothing for any other path.
  std::optional<THttpResponse> Console(const THttpRequest& Req, std::string& Who);
  // Server-Sent Events of the feed from the request's Last-Event-ID (or ?since=; else from now).
  THttpResponse EventStream(const THttpRequest& Req);
  // Messages queued or being sent, counted at most once a second: a flood of /health must not
  // scan the outbox under the store's lock.
  int64_t QueueDepth();
  std::map<TMessageStatus, int64_t> Counts();
  std::mutex DepthLock_;
  std::chrono::steady_clock::time_point DepthAt_{}, CountsAt_{};
  int64_t Depth_ = 0;
  std::map<TMessageStatus, int64_t> Counts_;
  const TGatewayConfig Config_;
  TApiSource Src_;
  std::vector<std::unique_ptr<TKeyState>> Keys_;
  TConsoleSessions Sessions_{std::chrono::hours(8)};
  // Wrong keys given to the console's log-in, by peer: since when, and how many; under RateLock_.
  std::map<std::string, std::pair<std::chrono::steady_clock::time_point, int>> FailedLogins_;
  std::mutex RateLock_;
  std::unique_ptr<THttpServer> Http_;
};

// "sha256:" and the hex SHA-256 of Key: what a [[key]] table's key_hash holds.
std::string HashKey(const std::string& Key);

// Why To is no recipient ("" when it is one): digits with an optional leading "+", 3 to 20 of them.
std::string RecipientProblem(const std::string& To);

// Why a due message waits although it is queued: every modem that may send it (the ones it is
// routed to, or any) is down, silent or at a limit, as the modems' records say; "" when one may
// take it, or it is not waiting for a modem.
std::string WaitingReason(const TOutgoing& Message, const std::vector<TModemRecord>& Modems, int64_t NowMs);


}  // namespace Halyard::Gateway
