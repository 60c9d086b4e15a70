#include "halyard/gateway/GatewayApi.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <cctype>
#include <cmath>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <array>
#include <set>
#include <sstream>

#include "halyard/auxstr/AuxStr.h"
#include "halyard/gsm/LongSMS.h"
#include "halyard/gsm/SMS.h"

namespace Halyard::Gateway {

using nlohmann::json;

namespace {

constexpr int kMaxValidityMinutes = 63 * 7 * 24 * 60;  // the longest relative validity

// A refusal: its status, its message and a header to go with it, if any.
struct EBadRequest {
  int Status;
  std::string Message;
  std::string Header = {}, Value = {};
};

THttpResponse Reply(int Status, const json& Body) {
  THttpResponse r;
  r.Status = Status;
  r.Body = Body.dump(-1, ' ', false, json::error_handler_t::replace);
  return r;
}

THttpResponse Error(int Status, const std::string& Message) { return Reply(Status, json{{"error", Message}}); }

using TDigest = std::array<unsigned char, SHA256_DIGEST_LENGTH>;

TDigest Digest(const std::string& Key) {
  TDigest d;
  ::SHA256(reinterpret_cast<const unsigned char*>(Key.data()), Key.size(), d.data());
  return d;
}

json Describe(const TOutgoing& m) {
  json j = {{"id", m.Id},           {"to", m.To},       {"text", m.Text},         {"status", StatusName(m.Status)},
            {"attempts", m.Attempts}, {"report", m.Report}, {"references", m.References}};
  if (m.ValidityMinutes) j["validity_minutes"] = m.ValidityMinutes;
  if (!m.Error.empty()) j["error"] = m.Error;
  if (!m.Modem.empty()) j["modem"] = m.Modem;
  j["created_ms"] = m.Created;
  return j;
}

int64_t NumberParam(const THttpRequest& Req, const char* Name, int64_t Default, int64_t Min, int64_t Max) {
  const std::string* p = Req.Param(Name);
  if (!p) return Default;
  const std::string& v = *p;
  size_t used = 0;
  int64_t n = 0;
  try {
    n = std::stoll(v, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != v.size() || n < Min || n > Max)
    throw EBadRequest{400, std::string(Name) + " must be a whole number from " + std::to_string(Min) + " to " +
                               std::to_string(Max)};
  return n;
}

std::string Label(const std::string& V) {
  std::string r;
  for (char c : V) {
    if (c == '"' || c == '\\') r += '\\';
    if (c == '\n') r += "\\n";
    else r += c;
  }
  return r;
}

// Milliseconds since the epoch as RFC 3339 in UTC, to the millisecond.
std::string Rfc3339(int64_t Ms) {
  std::time_t t = static_cast<std::time_t>(Ms / 1000);
  std::tm u{};
  ::gmtime_r(&t, &u);
  char b[40];
  size_t n = std::strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%S", &u);
  std::snprintf(b + n, sizeof b - n, ".%03dZ", static_cast<int>(Ms % 1000));
  return b;
}

// A modem whose gateway has not refreshed its record for this long is shown as stale.
constexpr int64_t kStaleMs = 60000;

// Text a client chose, fit for one line of the log: control bytes shown as \xNN.
std::string Printable(const std::string& S) {
  std::string r;
  for (unsigned char c : S) {
    if (c >= 0x20 && c != 0x7F && c != '\\' && c != '"') {
      r += static_cast<char>(c);
    } else {
      char b[8];
      std::snprintf(b, sizeof b, "\\x%02X", c);
      r += b;
    }
  }
  return r;
}

// The methods a known path takes, for 405 and its Allow header; empty for an unknown path.
std::string AllowedMethods(const std::string& Path) {
  if (Path == "/messages") return "POST";
  if (Path == "/inbox" || Path == "/health" || Path == "/metrics" || Path == "/events" || Path == "/modems")
    return "GET";
  const std::string item = "/messages/";
  if (Path.rfind(item, 0) == 0 && Path.size() > item.size() && Path.size() <= item.size() + 18 &&
      Path.find_first_not_of("0123456789", item.size()) == std::string::npos)
    return "GET";
  return "";
}

}  // namespace

std::string RecipientProblem(const std::string& To) {
  size_t start = !To.empty() && To[0] == '+' ? 1 : 0;
  size_t digits = To.size() - start;
  if (To.find_first_not_of("0123456789", start) != std::string::npos)
    return "only digits, with an optional leading +, make a number";
  if (digits < 3 || digits > 20) return "a number has 3 to 20 digits";
  return "";
}

bool ValidUtf8(const std::string& Text) {
  const auto* s = reinterpret_cast<const unsigned char*>(Text.data());
  size_t n = Text.size();
  for (size_t i = 0; i < n;) {
    unsigned c = s[i];
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > n) return false;
    uint32_t cp = len == 1 ? c : c & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

struct TApiServer::TKeyState {
  std::string Name;
  TDigest Hash{};
  std::set<std::string> Scopes;
  double Rate = 0;  // requests a second; 0: no limit
  double Tokens = 0;
  std::chrono::steady_clock::time_point Last{};
  bool May(const std::string& Scope) const { return Scopes.count("admin") || Scopes.count(Scope); }
};

std::string HashKey(const std::string& Key) {
  static const char* kHex = "0123456789abcdef";
  std::string r = "sha256:";
  for (unsigned char b : Digest(Key)) {
    r += kHex[b >> 4];
    r += kHex[b & 15];
  }
  return r;
}

TApiServer::TApiServer(const TGatewayConfig& Config, TApiSource Source) : Config_(Config), Src_(std::move(Source)) {
  auto add = [this](const std::string& Name, TDigest Hash, std::set<std::string> Scopes, double Rate) {
    auto k = std::make_unique<TKeyState>();
    k->Name = Name;
    k->Hash = Hash;
    k->Scopes = std::move(Scopes);
    k->Rate = Rate < 0 ? Config_.KeyRatePerSecond : Rate;
    k->Tokens = std::max(1.0, k->Rate);
    Keys_.push_back(std::move(k));
  };
  if (!Config_.Token.empty()) add("token", Digest(Config_.Token), {"admin"}, -1);
  for (auto& k : Config_.Keys) {
    TDigest d{};
    for (size_t i = 0; i < d.size() && 7 + 2 * i + 1 < k.Hash.size(); ++i)
      d[i] = static_cast<unsigned char>(std::stoi(k.Hash.substr(7 + 2 * i, 2), nullptr, 16));
    add(k.Name, d, k.Scopes, k.RatePerSecond);
  }
}

TApiServer::~TApiServer() { Stop(); }

namespace {
// Value as Fetch gives it, asked again once it is a second old.
template <class T, class F>
T Fresh(std::chrono::steady_clock::time_point& At, T& Value, F Fetch) {
  auto now = std::chrono::steady_clock::now();
  if (At == std::chrono::steady_clock::time_point{} || now - At >= std::chrono::seconds(1)) {
    Value = Fetch();
    At = now;
  }
  return Value;
}
}  // namespace

int64_t TApiServer::QueueDepth() {
  std::lock_guard lk(DepthLock_);
  return Fresh(DepthAt_, Depth_, [this] { return static_cast<int64_t>(Src_.Store->QueueDepth()); });
}

std::map<TMessageStatus, int64_t> TApiServer::Counts() {
  std::lock_guard lk(DepthLock_);
  return Fresh(CountsAt_, Counts_, [this] { return Src_.Store->Counts(); });
}

namespace {
std::string ReadFile(const std::string& Path, const char* What) {
  std::ifstream f(Path, std::ios::binary);
  std::ostringstream s;
  if (!(f && s << f.rdbuf())) throw EConfigError(std::string("Cannot read the ") + What + " " + Path);
  return s.str();
}
}  // namespace

void TApiServer::Start() {
  if (Http_) return;
  THttpLimits l;
  l.MaxConnections = Config_.MaxConnections;
  l.MaxConnectionsPerClient = Config_.MaxConnectionsPerClient;
  l.MaxBodyBytes = Config_.MaxBodyBytes;
  l.RequestTimeout = Config_.RequestTimeout;
  l.Threads = static_cast<unsigned>(Config_.HttpThreads);
  if (!Config_.TlsCertificate.empty()) {
    l.CertificatePem = ReadFile(Config_.TlsCertificate, "TLS certificate");
    l.KeyPem = ReadFile(Config_.TlsKey, "TLS key");
  }
  auto http = std::make_unique<THttpServer>(
      l, [this](const THttpRequest& Req) { return Handle(Req); },
      [this](const std::string& Peer, int Status, const std::string& Why) {
        if (Src_.Log) Src_.Log("http " + Peer + " " + std::to_string(Status) + " refused: " + Why);
      });
  try {
    http->Start(Config_.Listen, Config_.Port);
  } catch (const EHttpError& e) {
    throw EConfigError(e.what());
  }
  Http_ = std::move(http);
}

void TApiServer::Stop() {
  if (Http_) Http_->Stop();
  Http_.reset();
}

const TApiServer::TKeyState* TApiServer::Authorise(const THttpRequest& Req, THttpResponse& Refusal, std::string& Who) {
  const std::string* header = Req.Header("authorization");
  std::string auth = header ? *header : "";
  // The scheme's name is case-insensitive (RFC 9110 11.1), one or more spaces behind it.
  size_t sp = auth.find(' ');
  std::string scheme = AuxStr::LoString(auth.substr(0, sp)), token = sp == std::string::npos ? "" : auth.substr(sp);
  token.erase(0, token.find_first_not_of(' '));
  // Hashes compared, every one of them in full: the time taken says nothing of any key.
  TDigest d = Digest(token);
  TKeyState* key = nullptr;
  for (auto& k : Keys_)
    if (CRYPTO_memcmp(k->Hash.data(), d.data(), d.size()) == 0) key = k.get();
  if (scheme != "bearer" || token.empty() || !key) {
    Refusal = Error(401, auth.empty() ? "No key: send \"Authorization: Bearer <key>\"" : "Wrong token");
    Refusal.Set("WWW-Authenticate", "Bearer");
    return nullptr;
  }
  Who = key->Name;
  if (key->Rate > 0) {
    std::lock_guard lk(RateLock_);
    auto now = std::chrono::steady_clock::now();
    double burst = std::max(1.0, key->Rate);
    if (key->Last != std::chrono::steady_clock::time_point{})
      key->Tokens = std::min(burst, key->Tokens + std::chrono::duration<double>(now - key->Last).count() * key->Rate);
    key->Last = now;
    if (key->Tokens < 1) {
      Refusal = Error(429, "Too many requests with the key " + key->Name);
      Refusal.Set("Retry-After", std::to_string(static_cast<int64_t>(std::ceil((1 - key->Tokens) / key->Rate))));
      return nullptr;
    }
    key->Tokens -= 1;
  }
  return key;
}

THttpResponse TApiServer::Handle(const THttpRequest& Req) {
  THttpResponse res;
  std::string who = "-";
  try {
    const TKeyState* key = nullptr;
    if (Req.Path != "/health") key = Authorise(Req, res, who);
    if (Req.Path == "/health" || key) {
      auto may = [&](std::initializer_list<const char*> Scopes) {
        for (const char* s : Scopes)
          if (key->May(s)) return;
        throw EBadRequest{403, "The key " + key->Name + " may not do this: it needs the scope \"" +
                                   std::string(*Scopes.begin()) + "\""};
      };
      res = Route(Req, may);
    }
  } catch (const EBadRequest& e) {
    res = Error(e.Status, e.Message);
    if (!e.Header.empty()) res.Set(e.Header, e.Value);
  } catch (const EStoreError& e) {
    res = Error(503, std::string("The store is not available: ") + e.what());
  }
  if (Src_.Log)
    Src_.Log("http " + Req.Peer + " \"" + Printable(Req.Method + " " + Req.Path) + "\" " + std::to_string(res.Status) +
             " key=" + who);
  return res;
}

THttpResponse TApiServer::Route(const THttpRequest& Req, const TScopeCheck& May) {
  const std::string& path = Req.Path;
  std::string allowed = AllowedMethods(path);
  if (allowed.empty()) throw EBadRequest{404, "No such resource: " + Req.Method + " " + path};
  // HEAD is GET without its body, which the server leaves out.
  if (Req.Method != allowed && !(allowed == "GET" && Req.Method == "HEAD"))
    throw EBadRequest{405, Req.Method + " is not allowed on " + path + "; " + allowed + " is", "Allow", allowed};

  if (path == "/messages") {
    May({"send"});
    // The body is read as JSON only when it says it is JSON (or says nothing).
    if (const std::string* type = Req.Header("content-type")) {
      std::string t = AuxStr::LoString(AuxStr::Trim(type->substr(0, type->find(';'))));
      if (t != "application/json" && !(t.size() > 5 && t.compare(t.size() - 5, 5, "+json") == 0))
        throw EBadRequest{415, "The body must be JSON, sent as Content-Type: application/json (not " + *type + ")",
                          "Accept-Post", "application/json"};
    }
    json body = json::parse(Req.Body, nullptr, false);
    if (body.is_discarded()) throw EBadRequest{400, "The body is not JSON"};
    if (!body.is_object()) throw EBadRequest{400, "The body must be a JSON object"};
    for (auto& [k, v] : body.items())
      if (k != "to" && k != "text" && k != "validity_minutes" && k != "report")
        throw EBadRequest{400, "Unknown field \"" + k + "\""};
    if (!body.contains("to") || !body["to"].is_string()) throw EBadRequest{400, "\"to\" must be a phone number string"};
    if (!body.contains("text") || !body["text"].is_string()) throw EBadRequest{400, "\"text\" must be a string"};
    std::string to = body["to"], text = body["text"];
    if (to.empty()) throw EBadRequest{400, "\"to\" is empty"};
    if (std::string why = RecipientProblem(to); !why.empty())
      throw EBadRequest{400, "Not a phone number: " + to + " (" + why + ")"};
    try {
      (void)GSM::TSMS2::EncodeODA(to);
    } catch (const std::exception& e) {
      throw EBadRequest{400, "Not a phone number: " + to + " (" + e.what() + ")"};
    }
    if (text.empty()) throw EBadRequest{400, "\"text\" is empty"};
    if (!ValidUtf8(text)) throw EBadRequest{400, "\"text\" is not valid UTF-8"};
    int parts = 0;
    try {
      parts = GSM::CountParts(text);
    } catch (const std::exception& e) {
      throw EBadRequest{400, std::string("The text is too long: ") + e.what()};
    }
    if (parts > 255) throw EBadRequest{400, "The text is too long: " + std::to_string(parts) + " parts, 255 at most"};
    int validity = 0;
    if (body.contains("validity_minutes")) {
      auto& v = body["validity_minutes"];
      if (!v.is_number_integer() || v.get<int64_t>() < 5 || v.get<int64_t>() > kMaxValidityMinutes)
        throw EBadRequest{400, "\"validity_minutes\" must be a whole number from 5 to " + std::to_string(kMaxValidityMinutes)};
      validity = v.get<int>();
    }
    bool report = false;
    if (body.contains("report")) {
      if (!body["report"].is_boolean()) throw EBadRequest{400, "\"report\" must be true or false"};
      report = body["report"];
    }
    if (QueueDepth() >= Config_.MaxQueue)
      throw EBadRequest{503, "The queue is full (" + std::to_string(Config_.MaxQueue) + " messages): try again later",
                        "Retry-After", "10"};
    int64_t id = Src_.Store->Queue(to, text, report, validity);
    {
      // The counts between their refreshes know of what this server queued.
      std::lock_guard lk(DepthLock_);
      ++Depth_;
      ++Counts_[msQueued];
    }
    if (Src_.Queued) Src_.Queued();
    THttpResponse r = Reply(201, {{"id", id}, {"status", "queued"}, {"parts", parts}});
    r.Set("Location", "/messages/" + std::to_string(id));
    return r;
  }

  if (path.rfind("/messages/", 0) == 0) {
    May({"read", "send"});
    int64_t id = std::stoll(path.substr(10));
    auto m = Src_.Store->Get(id);
    if (!m) throw EBadRequest{404, "No message " + std::to_string(id)};
    return Reply(200, Describe(*m));
  }

  if (path == "/inbox") {
    May({"read"});
    int64_t since = NumberParam(Req, "since", 0, 0, INT64_MAX);
    int limit = static_cast<int>(NumberParam(Req, "limit", 100, 1, 1000));
    json list = json::array();
    int64_t last = since;
    for (auto& m : Src_.Store->Inbox(since, limit)) {
      json j = {{"id", m.Id},       {"modem", m.Modem}, {"from", m.From},        {"text", m.Text},
                {"stamp", m.Stamp}, {"parts", m.Parts}, {"complete", m.Complete}};
      if (!m.Raw.empty()) j["raw"] = m.Raw;  // a message that could not be read, as the modem gave it
      list.push_back(j);
      last = m.Id;
    }
    return Reply(200, {{"messages", list}, {"next", last}});
  }

  if (path == "/events") {
    May({"read"});
    int64_t since = NumberParam(Req, "since", 0, 0, INT64_MAX);
    int limit = static_cast<int>(NumberParam(Req, "limit", 100, 1, 1000));
    std::string type = Req.Param("type") ? *Req.Param("type") : "";
    if (type.size() > 40 || type.find_first_not_of("abcdefghijklmnopqrstuvwxyz_.") != std::string::npos)
      throw EBadRequest{400, "type must be an event type (\"message.sent\") or a family (\"message.\")"};
    json list = json::array();
    int64_t last = since;
    for (auto& e : Src_.Store->Events(since, limit, type)) {
      json data = json::parse(e.Data, nullptr, false);
      list.push_back({{"id", e.Id}, {"type", e.Type}, {"time", Rfc3339(e.Time)}, {"subject", e.Subject},
                      {"data", data.is_discarded() ? json::object() : data}});
      last = e.Id;
    }
    return Reply(200, {{"events", list}, {"next", last}});
  }

  if (path == "/modems") {
    May({"read"});
    int64_t now =
        std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now().time_since_epoch()).count();
    json list = json::array();
    for (auto& m : Src_.Store->Modems()) {
      json j = {{"gateway", m.Gateway}, {"name", m.Name}, {"device", m.Device}, {"model", m.Model},
                {"imei", m.IMEI}, {"imsi", m.IMSI}, {"operator", m.Operator}, {"up", m.Up},
                {"state", now - m.LastSeen > kStaleMs ? "stale" : m.Up ? "up" : "down"},
                {"last_seen", Rfc3339(m.LastSeen)},
                {"counters", {{"sent", m.Sent}, {"parts", m.Parts}, {"failed", m.Failed}, {"received", m.Received},
                              {"reports", m.Reports}}}};
      if (m.Signal >= 0) j["signal"] = m.Signal;
      if (!m.LastError.empty()) j["last_error"] = m.LastError;
      list.push_back(j);
    }
    return Reply(200, {{"modems", list}});
  }

  if (path == "/health") {
    json modems = json::array();
    bool anyUp = false;
    for (auto& m : Src_.Modems()) {
      json j = {{"name", m.Name}, {"up", m.Up}};
      if (!m.LastError.empty()) j["last_error"] = m.LastError;
      modems.push_back(j);
      anyUp |= m.Up;
    }
    json h = {{"modems", modems}};
    try {
      h["queue_depth"] = QueueDepth();
      h["store"] = "up";
    } catch (const EStoreError& e) {
      h["store"] = std::string("down: ") + e.what();
      anyUp = false;
    }
    h["status"] = anyUp ? "ok" : "down";
    return Reply(anyUp ? 200 : 503, h);
  }

  // /metrics
  May({"read"});
  std::ostringstream o;
  auto modems = Src_.Modems();
  auto family = [&](const char* Name, const char* Type, const char* Help, auto Value) {
    o << "# HELP " << Name << " " << Help << "\n# TYPE " << Name << " " << Type << "\n";
    for (auto& m : modems) o << Name << "{modem=\"" << Label(m.Name) << "\"} " << Value(m) << "\n";
  };
  family("halyard_sms_sent_total", "counter", "Messages sent, every part out.",
         [](const TModemState& m) { return m.Counters.Sent; });
  family("halyard_sms_parts_sent_total", "counter", "Message parts sent.",
         [](const TModemState& m) { return m.Counters.Parts; });
  family("halyard_sms_failed_total", "counter", "Messages failed for good.",
         [](const TModemState& m) { return m.Counters.Failed; });
  family("halyard_sms_retries_total", "counter", "Failed attempts to be tried again.",
         [](const TModemState& m) { return m.Counters.Retries; });
  family("halyard_sms_received_total", "counter", "Messages and parts received and stored.",
         [](const TModemState& m) { return m.Counters.Received; });
  family("halyard_sms_reports_total", "counter", "Delivery reports matched to a sent part.",
         [](const TModemState& m) { return m.Counters.Reports; });
  family("halyard_modem_up", "gauge", "Whether the modem is open.", [](const TModemState& m) { return m.Up ? 1 : 0; });
  o << "# HELP halyard_queue_depth Messages queued or being sent, of every gateway on the store.\n"
       "# TYPE halyard_queue_depth gauge\nhalyard_queue_depth "
    << QueueDepth() << "\n";
  o << "# HELP halyard_messages Messages in the store by status.\n# TYPE halyard_messages gauge\n";
  auto counts = Counts();
  for (int st = msQueued; st <= msUnknown; ++st) {
    auto status = static_cast<TMessageStatus>(st);
    o << "halyard_messages{status=\"" << StatusName(status) << "\"} " << (counts.count(status) ? counts[status] : 0)
      << "\n";
  }
  THttpResponse r;
  r.ContentType = "text/plain; version=0.0.4";
  r.Body = o.str();
  return r;
}

}  // namespace Halyard::Gateway
