#include "halyard/gateway/Webhooks.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <ctime>
#include <mutex>

#include <nlohmann/json.hpp>

namespace Halyard::Gateway {

using nlohmann::json;

std::string Rfc3339(int64_t Ms) {
  std::time_t t = static_cast<std::time_t>(Ms / 1000);
  std::tm u{};
  ::gmtime_r(&t, &u);
  char b[40];
  size_t n = std::strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%S", &u);
  std::snprintf(b + n, sizeof b - n, ".%03dZ", static_cast<int>(Ms % 1000));
  return b;
}

namespace {

std::string Base64(const unsigned char* Data, size_t Size) {
  std::string r(4 * ((Size + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(r.data()), Data, static_cast<int>(Size));
  r.resize(static_cast<size_t>(std::max(n, 0)));
  return r;
}

// The key of a "whsec_" secret; empty when it is not base64.
std::string Unbase64(const std::string& Text) {
  if (Text.empty() || Text.size() % 4) return "";
  std::string r(Text.size() / 4 * 3, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(r.data()), reinterpret_cast<const unsigned char*>(Text.data()),
                          static_cast<int>(Text.size()));
  if (n < 0) return "";
  size_t pad = Text.size() - Text.find_last_not_of('=') - 1;
  r.resize(static_cast<size_t>(n) - std::min<size_t>(pad, 2));
  return r;
}

std::string UrlEncode(const std::string& S) {
  static const char* hex = "0123456789ABCDEF";
  std::string r;
  for (unsigned char c : S) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      r += static_cast<char>(c);
    } else {
      r += '%';
      r += hex[c >> 4];
      r += hex[c & 15];
    }
  }
  return r;
}

size_t Discard(char*, size_t Size, size_t Count, void*) { return Size * Count; }

}  // namespace

std::string SignWebhook(const std::string& Secret, const std::string& Id, int64_t Timestamp, const std::string& Body) {
  std::string key = Secret;
  if (Secret.rfind("whsec_", 0) == 0)
    if (std::string k = Unbase64(Secret.substr(6)); !k.empty()) key = k;
  const std::string signed_ = Id + "." + std::to_string(Timestamp) + "." + Body;
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(signed_.data()),
       signed_.size(), mac, &size);
  return "v1," + Base64(mac, size);
}

std::string WebhookBody(const TEvent& E) {
  json data = json::parse(E.Data, nullptr, false);
  return json{{"id", E.Id}, {"type", E.Type}, {"time", Rfc3339(E.Time)},
              {"data", data.is_discarded() ? json::object() : data}}
      .dump(-1, ' ', false, json::error_handler_t::replace);
}

std::chrono::seconds RetryWait(int Failures, std::chrono::seconds RetryFirst, std::chrono::seconds RetryMax) {
  auto w = RetryFirst;
  for (int i = 1; i < Failures && w < RetryMax; ++i) w *= 2;
  return std::min(w, RetryMax);
}

std::string KannelDlrUrl(const std::string& Template, const TEvent& E, const TOutgoing& M) {
  std::time_t t = static_cast<std::time_t>(E.Time / 1000);
  std::tm u{};
  ::gmtime_r(&t, &u);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", &u);
  std::string reply = M.Error.empty() ? E.Type.substr(E.Type.find('.') + 1) : M.Error;
  std::string r;
  for (size_t i = 0; i < Template.size(); ++i) {
    if (Template[i] != '%' || i + 1 == Template.size()) {
      r += Template[i];
      continue;
    }
    switch (Template[++i]) {
      case 'd': r += std::to_string(KannelDlrType(E.Type)); break;
      case 'p': break;  // the sender: the modem's own number, which the gateway does not know
      case 'P': r += UrlEncode(M.To); break;
      case 'A': r += UrlEncode(reply); break;
      case 't': r += UrlEncode(when); break;
      case 'i': r += UrlEncode(M.Modem); break;
      case 'I': r += std::to_string(M.Id); break;
      default: r += '%', r += Template[i];
    }
  }
  return r;
}

TPostResult CurlPost(const std::string& Method, const std::string& Url, const std::vector<std::string>& Headers,
                     const std::string& Body, std::chrono::seconds Timeout) {
  static std::once_flag init;
  std::call_once(init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  // One handle a thread: connections to a subscriber are kept and used again.
  struct THandle {
    CURL* C = curl_easy_init();
    ~THandle() { curl_easy_cleanup(C); }
  };
  thread_local THandle h;
  if (!h.C) return {0, "libcurl could not start"};
  CURL* c = h.C;
  curl_easy_reset(c);
  curl_slist* list = nullptr;
  for (auto& x : Headers) list = curl_slist_append(list, x.c_str());
  struct TFree {
    curl_slist* l;
    ~TFree() { curl_slist_free_all(l); }
  } freeList{list};
  char error[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(c, CURLOPT_URL, Url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(Timeout.count() * 1000));
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(c, CURLOPT_USERAGENT, "halyard-smsd");
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Discard);
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, list);
  if (Method == "POST") {
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, Body.data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(Body.size()));
  }
  CURLcode rc = curl_easy_perform(c);
  if (rc != CURLE_OK) return {0, *error ? error : curl_easy_strerror(rc)};
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  return {static_cast<int>(status), ""};
}

TWebhookDispatcher::TWebhookDispatcher(TStore& Store, const TGatewayConfig& Config, std::string Claimer, TLogSink Log,
                                       TNow Now, TPoster Poster)
    : Store_(Store), Config_(Config), Claimer_(std::move(Claimer)), Log_(std::move(Log)), Now_(std::move(Now)),
      Poster_(std::move(Poster)) {
  if (!Poster_) {
    auto timeout = Config_.WebhookTimeout;
    Poster_ = [timeout](const std::string& M, const std::string& U, const std::vector<std::string>& H,
                        const std::string& B) { return CurlPost(M, U, H, B, timeout); };
  }
}

TWebhookDispatcher::~TWebhookDispatcher() { Stop(); }

void TWebhookDispatcher::Start() {
  for (int i = 0; i < std::max(Config_.WebhookThreads, 1); ++i)
    Threads_.emplace_back([this] {
      uint64_t seen = 0;
      for (;;) {
        int done = 0;
        try {
          done = Step();
        } catch (const EStoreError& e) {
          if (Log_) Log_(std::string("webhooks: the store: ") + e.what());
        }
        std::unique_lock lk(M_);
        if (Stopping_) return;
        if (done > 0) continue;  // more may be due at once
        // Idle: a poll for other gateways' events, or a poke for this one's.
        Cv_.wait_for(lk, std::chrono::milliseconds(500), [&] { return Stopping_ || Pokes_ != seen; });
        seen = Pokes_;
        if (Stopping_) return;
      }
    });
}

void TWebhookDispatcher::Stop() {
  {
    std::lock_guard lk(M_);
    Stopping_ = true;
  }
  Cv_.notify_all();
  for (auto& t : Threads_) t.join();
  Threads_.clear();
}

void TWebhookDispatcher::Poke() {
  {
    std::lock_guard lk(M_);
    ++Pokes_;
  }
  Cv_.notify_all();
}

int TWebhookDispatcher::Step() {
  TTime now = Now_();
  Store_.FanOut(now);
  // A lease past the time-out: a delivery left by a gateway that died is taken up again.
  auto due = Store_.ClaimDeliveries(Claimer_, now, Config_.WebhookTimeout + std::chrono::seconds(30), 16);
  for (auto& d : due) Attempt(d);
  return static_cast<int>(due.size());
}

void TWebhookDispatcher::Attempt(const TDelivery& D) {
  TPostResult r;
  if (D.Kind == "kannel") {
    auto m = Store_.Get(D.Event.Subject);
    r = m ? Poster_("GET", KannelDlrUrl(D.Url, D.Event, *m), {}, "") : TPostResult{0, "the message is gone"};
  } else {
    const std::string body = WebhookBody(D.Event), id = std::to_string(D.Event.Id);
    const int64_t stamp = std::chrono::duration_cast<std::chrono::seconds>(Now_().time_since_epoch()).count();
    std::vector<std::string> headers = {"Content-Type: application/json", "webhook-id: " + id,
                                        "webhook-timestamp: " + std::to_string(stamp)};
    const std::string& secret = D.Webhook == 0 ? Config_.CallbackSecret : D.Secret;
    if (!secret.empty()) headers.push_back("webhook-signature: " + SignWebhook(secret, id, stamp, body));
    r = Poster_("POST", D.Url, headers, body);
  }
  TTime now = Now_();
  TDeliveryAttempt a;
  a.Webhook = D.Webhook;
  a.Event = D.Event.Id;
  a.Attempt = D.Attempts + 1;
  a.At = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  a.HttpStatus = r.Status;
  a.Error = r.Error;
  std::optional<TTime> retry;
  if (r.Status >= 200 && r.Status < 300) {
    a.Outcome = "delivered";
  } else {
    // Only what may pass: the subscriber's own refusal (any other 4xx) stays one.
    bool passing = r.Status == 0 || r.Status == 429 || r.Status >= 500;
    if (a.Error.empty()) a.Error = "HTTP " + std::to_string(r.Status);
    if (passing && a.Attempt < Config_.WebhookAttempts) {
      retry = now + RetryWait(a.Attempt, Config_.WebhookRetryFirst, Config_.WebhookRetryMax);
      a.Outcome = "retry";
    } else {
      a.Outcome = "failed";
      if (Log_)
        Log_("webhook " + std::to_string(D.Webhook) + ": event " + std::to_string(D.Event.Id) + " not delivered to " +
             D.Url + " after " + std::to_string(a.Attempt) + " attempt(s): " + a.Error);
    }
  }
  Store_.SettleDelivery(D, a, retry);
}

}  // namespace Halyard::Gateway
