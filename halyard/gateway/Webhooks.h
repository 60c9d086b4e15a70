#pragma once
// Pushes the event feed to subscribers: each event a subscription asks for is posted to its URL,
// signed as Standard Webhooks signs (webhook-id, webhook-timestamp, webhook-signature), and
// tried again with a doubling wait on network errors, time-outs, 429 and 5xx until it is taken
// or the attempts run out. Deliveries are claimed in the store with a lease, so several gateways
// on one database deliver each event to each subscriber once at a time.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "halyard/gateway/GatewayConfig.h"
#include "halyard/gateway/SmsStore.h"

namespace Halyard::Gateway {

// Milliseconds since the epoch as RFC 3339 in UTC, to the millisecond.
std::string Rfc3339(int64_t Ms);

// "v1," and the base64 HMAC-SHA256 of "Id.Timestamp.Body"; a secret "whsec_<base64>" is the key
// it encodes, any other the bytes it is.
std::string SignWebhook(const std::string& Secret, const std::string& Id, int64_t Timestamp, const std::string& Body);
// {"id", "type", "time", "data"}
std::string WebhookBody(const TEvent& Event);
// The wait after Failures failed attempts: RetryFirst doubling, at most RetryMax.
std::chrono::seconds RetryWait(int Failures, std::chrono::seconds RetryFirst, std::chrono::seconds RetryMax);
// A Kannel dlr-url with its escapes (%d %p %P %A %t %i) replaced for an event of Message.
std::string KannelDlrUrl(const std::string& Template, const TEvent& Event, const TOutgoing& Message);

// What an attempt came to: the HTTP status (0: no answer) and the error, if any.
struct TPostResult {
  int Status = 0;
  std::string Error;
};

class TWebhookDispatcher {
 public:
  using TNow = std::function<TTime()>;
  // Posts one delivery; the default goes out with libcurl.
  using TPoster = std::function<TPostResult(const std::string& Method, const std::string& Url,
                                            const std::vector<std::string>& Headers, const std::string& Body)>;

  TWebhookDispatcher(TStore& Store, const TGatewayConfig& Config, std::string Claimer, TLogSink Log,
                     TNow Now = [] { return TClock::now(); }, TPoster Poster = nullptr);
  ~TWebhookDispatcher();
  TWebhookDispatcher(const TWebhookDispatcher&) = delete;
  TWebhookDispatcher& operator=(const TWebhookDispatcher&) = delete;

  // Delivers in threads of its own until Stop.
  void Start();
  void Stop();
  // Something happened: look now rather than at the next poll.
  void Poke();
  // One pass: new events into deliveries, then each due delivery attempted once. How many were.
  int Step();

 private:
  void Attempt(const TDelivery& D);

  TStore& Store_;
  const TGatewayConfig Config_;
  std::string Claimer_;
  TLogSink Log_;
  TNow Now_;
  TPoster Poster_;
  std::mutex M_;
  std::condition_variable Cv_;
  bool Stopping_ = false;
  uint64_t Pokes_ = 0;
  std::vector<std::thread> Threads_;
};

// A POST or GET with libcurl: no redirects, http and https only, the time-out for the whole.
TPostResult CurlPost(const std::string& Method, const std::string& Url, const std::vector<std::string>& Headers,
                     const std::string& Body, std::chrono::seconds Timeout);

}  // namespace Halyard::Gateway
