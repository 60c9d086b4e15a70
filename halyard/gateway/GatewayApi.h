#pragma once
// The gateway's HTTP API: queue a message, follow it, read the inbox, the health and the
// metrics. JSON bodies; a bearer token on every call but /health; 4xx with a message for bad
// input, and nothing queued then.
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "halyard/gateway/Gateway.h"

namespace httplib {
class Server;
}

namespace Halyard::Gateway {

struct TApiSource {
  TStore* Store = nullptr;
  std::function<std::vector<TModemState>()> Modems;
  std::function<void()> Queued;  // a message was queued
};

class TApiServer {
 public:
  TApiServer(const TGatewayConfig& Config, TApiSource Source);
  ~TApiServer();
  TApiServer(const TApiServer&) = delete;
  TApiServer& operator=(const TApiServer&) = delete;

  // Binds to the configured address and port (0: any free port) and serves in threads of its
  // own; raises EConfigError when the address cannot be bound.
  void Start();
  void Stop();
  int Port() const { return Port_; }

 private:
  void Routes();
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
  std::unique_ptr<httplib::Server> Http_;
  std::thread Thread_;
  int Port_ = 0;
};

// Why To is no recipient ("" when it is one): digits with an optional leading "+", 3 to 20 of them.
std::string RecipientProblem(const std::string& To);

// Whether Text is well-formed UTF-8 (no overlong forms, surrogates or code points past U+10FFFF).
bool ValidUtf8(const std::string& Text);

}  // namespace Halyard::Gateway
