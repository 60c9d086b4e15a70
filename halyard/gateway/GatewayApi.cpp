#include "halyard/gateway/GatewayApi.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <cctype>
#include <cmath>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <array>
#include <optional>
#include <set>
#include <sstream>

#include "halyard/auxstr/AuxStr.h"
#include "halyard/gateway/OpenApi.h"
#include "halyard/gateway/Webhooks.h"
#include "halyard/gsm/Ussd.h"
#include "halyard/gsm/LongSMS.h"
#include "halyard/gsm/SMS.h"
#include "halyard/gsm/SMSText.h"

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

// A modem whose gateway has not refreshed its record for this long is shown as stale.
constexpr int64_t kStaleMs = 60000;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now().time_since_epoch()).count();
}

}  // namespace

std::string WaitingReason(const TOutgoing& M, const std::vector<TModemRecord>& Modems, int64_t NowMs) {
  if (M.Status != msQueued && !(M.Status == msScheduled && M.SendAt <= NowMs)) return "";
  std::string why;
  bool any = false;
  for (auto& r : Modems) {
    if (!M.Modems.empty() && std::find(M.Modems.begin(), M.Modems.end(), r.Name) == M.Modems.end()) continue;
    any = true;
    std::string state;
    if (NowMs - r.LastSeen > kStaleMs) state = "its gateway is silent";
    else if (!r.Up) state = r.LastError.empty() ? "down" : "down (" + r.LastError + ")";
    else if (!r.Limited.empty()) state = "at its limit (" + r.Limited + ")";
    else return "";  // it may take the message
    why += (why.empty() ? "" : "; ") + r.Gateway + "/" + r.Name + ": " + state;
  }
  if (!any) {
    std::string names;
    for (auto& n : M.Modems) names += (names.empty() ? "" : ", ") + n;
    return names.empty() ? "no modem is known" : "no modem named " + names + " is known";
  }
  return "no modem may take it now: " + why;
}

namespace {

json Describe(const TOutgoing& m, const std::vector<TModemRecord>& Modems) {
  json j = {{"id", m.Id},           {"to", m.To},       {"text", m.Text},         {"status", StatusName(m.Status)},
            {"attempts", m.Attempts}, {"report", m.Report}, {"references", m.References}, {"priority", m.Priority}};
  if (m.ValidityMinutes) j["validity_minutes"] = m.ValidityMinutes;
  if (!m.Error.empty()) j["error"] = m.Error;
  if (m.ErrorCode >= 0) j["error_code"] = m.ErrorCode;
  if (!m.Modem.empty()) j["modem"] = m.Modem;
  if (!m.CallbackUrl.empty()) j["callback_url"] = m.CallbackUrl;
  if (!m.Modems.empty()) j["modems"] = m.Modems;
  if (std::string why = WaitingReason(m, Modems, NowMs()); !why.empty()) j["waiting"] = why;
  j["created_ms"] = m.Created;
  // When it reached each state that has a time of its own.
  json at = {{"queued", Rfc3339(m.Created)}};
  if (m.SendAt) at["send_at"] = Rfc3339(m.SendAt);
  if (m.SentAt) at["sent"] = Rfc3339(m.SentAt);
  if (m.DoneAt) at[StatusName(m.Status)] = Rfc3339(m.DoneAt);
  j["times"] = at;
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

// The id in Path when it is Prefix, a number and Suffix.
std::optional<int64_t> IdIn(const std::string& Path, const std::string& Prefix, const std::string& Suffix = "") {
  if (Path.rfind(Prefix, 0) != 0 || Path.size() <= Prefix.size() + Suffix.size()) return std::nullopt;
  if (Path.compare(Path.size() - Suffix.size(), Suffix.size(), Suffix) != 0) return std::nullopt;
  std::string digits = Path.substr(Prefix.size(), Path.size() - Prefix.size() - Suffix.size());
  if (digits.size() > 18 || digits.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  return std::stoll(digits);
}

// The methods a known path takes, for 405 and its Allow header; empty for an unknown path.
std::string AllowedMethods(const std::string& Path) {
  for (auto& r : ApiRoutes()) {
    std::string t = r.Path;
    size_t id = t.find("{id}");
    if (id == std::string::npos ? t == Path : IdIn(Path, t.substr(0, id), t.substr(id + 4)).has_value())
      return r.Methods;
  }
  return "";
}

bool Allows(const std::string& Allowed, const std::string& Method) {
  for (size_t start = 0; start < Allowed.size();) {
    size_t comma = Allowed.find(", ", start);
    if (comma == std::string::npos) comma = Allowed.size();
    if (Allowed.compare(start, comma - start, Method) == 0) return true;
    start = comma + 2;
  }
  return false;
}

// Milliseconds since the epoch of an RFC 3339 time ("2026-12-10T09:30:00Z", "...+01:00",
// fractions of a second allowed); nothing when it is not one.
std::optional<int64_t> ParseRfc3339(const std::string& T) {
  int y, mo, d, h, mi, sec, used = 0;
  if (std::sscanf(T.c_str(), "%4d-%2d-%2d%*1[Tt ]%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &sec, &used) != 6 || used != 19)
    return std::nullopt;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 60) return std::nullopt;
  size_t p = 19;
  int64_t ms = 0;
  if (p < T.size() && T[p] == '.') {
    int digits = 0;
    for (++p; p < T.size() && std::isdigit(static_cast<unsigned char>(T[p])); ++p, ++digits)
      if (digits < 3) ms = ms * 10 + (T[p] - '0');
    if (digits == 0) return std::nullopt;
    for (; digits < 3; ++digits) ms *= 10;
  }
  int64_t offset = 0;
  if (p < T.size() && (T[p] == 'Z' || T[p] == 'z')) {
    ++p;
  } else if (p + 6 == T.size() && (T[p] == '+' || T[p] == '-') && T[p + 3] == ':') {
    int oh = 0, om = 0;
    if (std::sscanf(T.c_str() + p + 1, "%2d:%2d", &oh, &om) != 2 || oh > 23 || om > 59) return std::nullopt;
    offset = (T[p] == '+' ? 1 : -1) * (oh * 3600 + om * 60);
    p += 6;
  } else {
    return std::nullopt;
  }
  if (p != T.size()) return std::nullopt;
  std::tm u{};
  u.tm_year = y - 1900;
  u.tm_mon = mo - 1;
  u.tm_mday = d;
  u.tm_hour = h;
  u.tm_min = mi;
  u.tm_sec = sec;
  std::time_t t = ::timegm(&u);
  if (u.tm_mday != d) return std::nullopt;  // 31 April and the like
  return (static_cast<int64_t>(t) - offset) * 1000 + ms;
}

std::string HexDigest(const std::string& Text) {
  static const char* kHex = "0123456789abcdef";
  std::string r;
  for (unsigned char b : Digest(Text)) {
    r += kHex[b >> 4];
    r += kHex[b & 15];
  }
  return r;
}

// A request's body as a JSON object; read as JSON only when it says it is JSON (or says nothing).
json JsonBody(const THttpRequest& Req) {
  if (const std::string* type = Req.Header("content-type")) {
    std::string t = AuxStr::LoString(AuxStr::Trim(type->substr(0, type->find(';'))));
    if (t != "application/json" && !(t.size() > 5 && t.compare(t.size() - 5, 5, "+json") == 0))
      throw EBadRequest{415, "The body must be JSON, sent as Content-Type: application/json (not " + *type + ")",
                        "Accept-Post", "application/json"};
  }
  json body = json::parse(Req.Body, nullptr, false);
  if (body.is_discarded()) throw EBadRequest{400, "The body is not JSON"};
  if (!body.is_object()) throw EBadRequest{400, "The body must be a JSON object"};
  return body;
}

// A subscription's event: a type, a family of them ("message.") or every one ("*").
bool KnownEventType(const std::string& T) {
  if (T == "*") return true;
  for (auto& t : EventTypes())
    if (t == T || (!T.empty() && T.back() == '.' && t.rfind(T, 0) == 0)) return true;
  return false;
}

// The recipient and text of a message to be queued, checked; the parts it makes.
int CheckMessage(const std::string& To, const std::string& Text) {
  if (To.empty()) throw EBadRequest{400, "\"to\" is empty"};
  if (std::string why = RecipientProblem(To); !why.empty())
    throw EBadRequest{400, "Not a phone number: " + To + " (" + why + ")"};
  try {
    (void)GSM::TSMS2::EncodeODA(To);
  } catch (const std::exception& e) {
    throw EBadRequest{400, "Not a phone number: " + To + " (" + e.what() + ")"};
  }
  if (Text.empty()) throw EBadRequest{400, "\"text\" is empty"};
  if (!AuxStr::ValidUtf8(Text)) throw EBadRequest{400, "\"text\" is not valid UTF-8"};
  int parts = 0;
  try {
    parts = GSM::CountParts(Text);
  } catch (const std::exception& e) {
    throw EBadRequest{400, std::string("The text is too long: ") + e.what()};
  }
  if (parts > 255) throw EBadRequest{400, "The text is too long: " + std::to_string(parts) + " parts, 255 at most"};
  return parts;
}


}  // namespace

const std::vector<TApiRoute>& ApiRoutes() {
  static const std::vector<TApiRoute> kRoutes = {
      {"/messages", "GET, POST"},        {"/messages/{id}", "GET, DELETE"},     {"/inbox", "GET"},
      {"/events", "GET"},                {"/modems", "GET"},                    {"/webhooks", "GET, POST"},
      {"/webhooks/{id}", "DELETE"},      {"/webhooks/{id}/deliveries", "GET"}, {"/webhooks/{id}/replay", "POST"},
      {"/ussd", "POST"},                 {"/ussd/{id}", "POST"},
      {"/health", "GET"},                {"/metrics", "GET"},                   {"/openapi.json", "GET"},
      {"/cgi-bin/sendsms", "GET, POST"}, {"/split", "POST"},             {"/events/stream", "GET"},
      {"/", "GET"},                      {"/console.js", "GET"},               {"/console.css", "GET"},
      {"/console/login", "POST"},        {"/console/logout", "POST"},          {"/console/session", "GET"}};
  return kRoutes;
}

std::string RecipientProblem(const std::string& To) {
  size_t start = !To.empty() && To[0] == '+' ? 1 : 0;
  size_t digits = To.size() - start;
  if (To.find_first_not_of("0123456789", start) != std::string::npos)
    return "only digits, with an optional leading +, make a number";
  if (digits < 3 || digits > 20) return "a number has 3 to 20 digits";
  return "";
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

std::string HashKey(const std::string& Key) { return "sha256:" + HexDigest(Key); }

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

TApiServer::TKeyState* TApiServer::KeyFor(const std::string& Secret) {
  // Hashes compared, every one of them in full: the time taken says nothing of any key.
  TDigest d = Digest(Secret);
  TKeyState* key = nullptr;
  for (auto& k : Keys_)
    if (CRYPTO_memcmp(k->Hash.data(), d.data(), d.size()) == 0) key = k.get();
  return key;
}

THttpResponse TApiServer::SendSms(const THttpRequest& Req, std::string& Who) {
  // Kannel's answers: plain text, 202 for a message taken.
  auto text = [](int Status, const std::string& Body) {
    THttpResponse r;
    r.Status = Status;
    r.ContentType = "text/plain; charset=utf-8";
    r.Body = Body;
    return r;
  };
  THttpFields fields = Req.Query;
  if (Req.Method == "POST") {
    const std::string* type = Req.Header("content-type");
    if (type && AuxStr::LoString(*type).rfind("application/x-www-form-urlencoded", 0) == 0)
      for (auto& f : ParseForm(Req.Body)) fields.push_back(f);
  }
  auto field = [&](const char* Name) -> std::string {
    for (auto& [k, v] : fields)
      if (k == Name) return v;
    return "";
  };
  const std::string user = field("username").empty() ? field("user") : field("username");
  const std::string password = field("password").empty() ? field("pass") : field("password");
  TKeyState* key = password.empty() ? nullptr : KeyFor(password);
  if (!key || key->Name != user || !key->May("send")) return text(403, "Authorization failed for sendsms");
  Who = key->Name;
  std::string to = field("to"), body = field("text");
  if (to.empty()) return text(400, "Missing receiver number, rejected");
  if (body.empty()) return text(400, "Empty receiver number not allowed, rejected");
  // A charset other than UTF-8 is taken for ISO 8859-1, as Kannel's default is.
  std::string charset = AuxStr::UpString(field("charset"));
  if (!charset.empty() && charset != "UTF-8" && charset != "UTF8") {
    std::string utf8;
    for (unsigned char c : body) {
      if (c < 0x80) {
        utf8 += static_cast<char>(c);
      } else {
        utf8 += static_cast<char>(0xC0 | (c >> 6));
        utf8 += static_cast<char>(0x80 | (c & 0x3F));
      }
    }
    body = utf8;
  }
  TNewMessage m;
  m.To = to;
  m.Text = body;
  try {
    CheckMessage(m.To, m.Text);
  } catch (const EBadRequest& e) {
    return text(400, e.Message + ", rejected");
  }
  m.CallbackUrl = field("dlr-url").empty() ? field("dlrurl") : field("dlr-url");
  std::string mask = field("dlr-mask").empty() ? field("dlrmask") : field("dlr-mask");
  if (!m.CallbackUrl.empty()) {
    if (!WebhookUrlProblem(m.CallbackUrl).empty()) return text(400, "Invalid dlr-url, rejected");
    m.CallbackKind = "kannel";
    m.CallbackMask = mask.empty() ? 0 : std::atoi(mask.c_str()) & 31;
    m.Report = (m.CallbackMask & 3) != 0;  // reports from the network only when asked for
  }
  if (std::string v = field("validity"); !v.empty()) m.ValidityMinutes = std::clamp(std::atoi(v.c_str()), 5, kMaxValidityMinutes);
  if (std::string d = field("deferred"); !d.empty()) m.SendAt = NowMs() + int64_t{std::max(std::atoi(d.c_str()), 0)} * 60000;
  if (QueueDepth() >= Config_.MaxQueue) return text(503, "Queue full, try again later");
  m.Modems = EligibleModems(Config_, m.To);
  Src_.Store->QueueMessage(m);
  if (Src_.Queued) Src_.Queued();
  return text(202, "0: Accepted for delivery");
}

const TApiServer::TKeyState* TApiServer::Authorise(const THttpRequest& Req, THttpResponse& Refusal, std::string& Who) {
  const std::string* header = Req.Header("authorization");
  const std::string* cookie = Req.Header("cookie");
  if (!header && cookie) {
    // The console: its session names the key; a change must also carry the session's token,
    // which a page of another site cannot read (CSRF).
    if (auto s = Sessions_.Find(CookieValue(*cookie, kSessionCookie))) {
      TKeyState* key = nullptr;
      for (auto& k : Keys_)
        if (k->Name == s->Key) key = k.get();
      if (key) {
        Who = key->Name;
        const std::string* token = Req.Header("x-csrf-token");
        if (Req.Method != "GET" && Req.Method != "HEAD" &&
            (!token || token->size() != s->Csrf.size() || CRYPTO_memcmp(token->data(), s->Csrf.data(), s->Csrf.size()) != 0)) {
          Refusal = Error(403, "The console's token (X-CSRF-Token) is missing or wrong");
          return nullptr;
        }
        return Throttle(key, Refusal) ? key : nullptr;
      }
    }
  }
  std::string auth = header ? *header : "";
  // The scheme's name is case-insensitive (RFC 9110 11.1), one or more spaces behind it.
  size_t sp = auth.find(' ');
  std::string scheme = AuxStr::LoString(auth.substr(0, sp)), token = sp == std::string::npos ? "" : auth.substr(sp);
  token.erase(0, token.find_first_not_of(' '));
  TKeyState* key = KeyFor(token);
  if (scheme != "bearer" || token.empty() || !key) {
    Refusal = Error(401, auth.empty() ? "No key: send \"Authorization: Bearer <key>\"" : "Wrong token");
    Refusal.Set("WWW-Authenticate", "Bearer");
    return nullptr;
  }
  Who = key->Name;
  return Throttle(key, Refusal) ? key : nullptr;
}

bool TApiServer::Throttle(TKeyState* Key, THttpResponse& Refusal) {
  if (Key->Rate <= 0) return true;
  std::lock_guard lk(RateLock_);
  auto now = std::chrono::steady_clock::now();
  double burst = std::max(1.0, Key->Rate);
  if (Key->Last != std::chrono::steady_clock::time_point{})
    Key->Tokens = std::min(burst, Key->Tokens + std::chrono::duration<double>(now - Key->Last).count() * Key->Rate);
  Key->Last = now;
  if (Key->Tokens < 1) {
    Refusal = Error(429, "Too many requests with the key " + Key->Name);
    Refusal.Set("Retry-After", std::to_string(static_cast<int64_t>(std::ceil((1 - Key->Tokens) / Key->Rate))));
    return false;
  }
  Key->Tokens -= 1;
  return true;
}

std::optional<THttpResponse> TApiServer::Console(const THttpRequest& Req, std::string& Who) {
  auto guarded = [](THttpResponse R) {
    R.Set("Content-Security-Policy", kConsolePolicy);
    R.Set("X-Content-Type-Options", "nosniff");
    R.Set("Referrer-Policy", "no-referrer");
    R.Set("Cache-Control", "no-store");
    return R;
  };
  if (const TConsoleAsset* a = ConsoleAsset(Req.Path); a && (Req.Method == "GET" || Req.Method == "HEAD")) {
    THttpResponse r;
    r.ContentType = a->Type;
    r.Body = a->Body;
    return guarded(r);
  }
  const bool tls = !Config_.TlsCertificate.empty();
  auto cookie = [&](const std::string& Value, int64_t MaxAge) {
    return std::string(kSessionCookie) + "=" + Value + "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" +
           std::to_string(MaxAge) + (tls ? "; Secure" : "");
  };
  if (Req.Path == "/console/login" && Req.Method == "POST") {
    // JSON only: a form of another site cannot send it without the browser asking first.
    json body = JsonBody(Req);
    if (!body.contains("key") || !body["key"].is_string()) return guarded(Error(400, "\"key\" must be a string"));
    // Guessing keys is slowed: a peer with 10 wrong keys in a minute waits out the minute.
    auto now = std::chrono::steady_clock::now();
    {
      std::lock_guard lk(RateLock_);
      auto& f = FailedLogins_[Req.Peer];
      if (now - f.first > std::chrono::minutes(1)) f = {now, 0};
      if (f.second >= 10) {
        THttpResponse r = Error(429, "Too many wrong keys from " + Req.Peer + "; try again in a minute");
        r.Set("Retry-After", std::to_string(std::max<int64_t>(1, std::chrono::duration_cast<std::chrono::seconds>(
                                                                   f.first + std::chrono::minutes(1) - now).count())));
        return guarded(r);
      }
    }
    TKeyState* key = KeyFor(body["key"]);
    if (!key) {
      std::lock_guard lk(RateLock_);
      if (FailedLogins_.size() > 4096)
        std::erase_if(FailedLogins_, [&](const auto& e) { return now - e.second.first > std::chrono::minutes(1); });
      ++FailedLogins_[Req.Peer].second;
      return guarded(Error(401, "Wrong key"));
    }
    Who = key->Name;
    if (!key->May("read")) return guarded(Error(403, "The key " + key->Name + " may not read: the console needs the scope \"read\""));
    auto s = Sessions_.Open(key->Name);
    THttpResponse r = Reply(200, {{"key", key->Name}, {"scopes", key->Scopes}, {"csrf", s.Csrf}});
    r.Set("Set-Cookie", cookie(s.Id, Sessions_.Life().count()));
    return guarded(r);
  }
  if (Req.Path == "/console/logout" && Req.Method == "POST") {
    THttpResponse refusal;
    if (!Req.Header("cookie") || Req.Header("authorization") || !Authorise(Req, refusal, Who))
      return guarded(refusal.Status != 200 ? refusal : Error(401, "No console session"));
    Sessions_.Close(CookieValue(*Req.Header("cookie"), kSessionCookie));
    THttpResponse r = Reply(200, {{"logged_out", true}});
    r.Set("Set-Cookie", cookie("", 0));
    return guarded(r);
  }
  if (Req.Path == "/console/session" && Req.Method == "GET") {
    const std::string* c = Req.Header("cookie");
    auto s = c ? Sessions_.Find(CookieValue(*c, kSessionCookie)) : std::nullopt;
    if (!s) return guarded(Error(401, "No console session"));
    Who = s->Key;
    std::set<std::string> scopes;
    for (auto& k : Keys_)
      if (k->Name == s->Key) scopes = k->Scopes;
    return guarded(Reply(200, {{"key", s->Key}, {"scopes", scopes}, {"csrf", s->Csrf}}));
  }
  return std::nullopt;
}

THttpResponse TApiServer::EventStream(const THttpRequest& Req) {
  int64_t since = -1;
  if (const std::string* last = Req.Header("last-event-id");
      last && !last->empty() && last->size() <= 18 && last->find_first_not_of("0123456789") == std::string::npos)
    since = std::stoll(*last);
  else if (Req.Param("since"))
    since = NumberParam(Req, "since", 0, 0, INT64_MAX);
  if (since < 0) since = Src_.Store->LatestEvent();
  THttpResponse r;
  r.ContentType = "text/event-stream";
  r.Set("Cache-Control", "no-store");
  r.Set("X-Accel-Buffering", "no");
  struct TState {
    int64_t Last;
    bool Begun = false;
    std::chrono::steady_clock::time_point Quiet;
  };
  auto st = std::make_shared<TState>(TState{since, false, std::chrono::steady_clock::now()});
  TStore* store = Src_.Store;
  r.Stream = [st, store](std::string& Out) {
    auto now = std::chrono::steady_clock::now();
    if (!st->Begun) {
      st->Begun = true;
      Out += "retry: 2000\n\n";  // a browser that lost the stream asks again after 2 s, from its last id
    }
    try {
      for (auto& e : store->Events(st->Last, 100, "")) {
        json data = json::parse(e.Data, nullptr, false);
        json ev = {{"id", e.Id}, {"type", e.Type}, {"time", Rfc3339(e.Time)}, {"subject", e.Subject},
                   {"data", data.is_discarded() ? json::object() : data}};
        Out += "id: " + std::to_string(e.Id) + "\nevent: " + e.Type + "\ndata: " +
               ev.dump(-1, ' ', false, json::error_handler_t::replace) + "\n\n";
        st->Last = e.Id;
      }
    } catch (const EStoreError&) {
      // The store is away: the stream waits for it, saying so in a comment.
      Out += ": store unavailable\n\n";
    }
    // A comment now and then keeps proxies and the server's idle time-out from closing it.
    if (!Out.empty()) st->Quiet = now;
    else if (now - st->Quiet >= std::chrono::seconds(10)) {
      Out += ": keep-alive\n\n";
      st->Quiet = now;
    }
    return true;
  };
  return r;
}

THttpResponse TApiServer::Handle(const THttpRequest& Req) {
  THttpResponse res;
  std::string who = "-";
  try {
    const TKeyState* key = nullptr;
    const bool open = Req.Path == "/health" || Req.Path == "/openapi.json";
    std::optional<THttpResponse> console = Console(Req, who);
    if (console) {
      res = *console;
    } else if (Req.Path == "/cgi-bin/sendsms") {
      res = SendSms(Req, who);
    } else if (!open) {
      key = Authorise(Req, res, who);
    }
    if (!console && (open || key)) {
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

THttpResponse TApiServer::PostMessage(const THttpRequest& Req) {
  json body = JsonBody(Req);
  static const std::set<std::string> kFields = {"to", "text", "validity_minutes", "report", "id",
                                                "send_at", "priority", "callback_url", "modem"};
  for (auto& [k, v] : body.items())
    if (!kFields.count(k)) throw EBadRequest{400, "Unknown field \"" + k + "\""};
  if (!body.contains("to") || !body["to"].is_string()) throw EBadRequest{400, "\"to\" must be a phone number string"};
  if (!body.contains("text") || !body["text"].is_string()) throw EBadRequest{400, "\"text\" must be a string"};
  TNewMessage m;
  m.To = body["to"];
  m.Text = body["text"];
  int parts = CheckMessage(m.To, m.Text);
  if (body.contains("validity_minutes")) {
    auto& v = body["validity_minutes"];
    if (!v.is_number_integer() || v.get<int64_t>() < 5 || v.get<int64_t>() > kMaxValidityMinutes)
      throw EBadRequest{400, "\"validity_minutes\" must be a whole number from 5 to " + std::to_string(kMaxValidityMinutes)};
    m.ValidityMinutes = v.get<int>();
  }
  if (body.contains("report")) {
    if (!body["report"].is_boolean()) throw EBadRequest{400, "\"report\" must be true or false"};
    m.Report = body["report"];
  }
  if (body.contains("priority")) {
    auto& v = body["priority"];
    if (!v.is_number_integer() || v.get<int64_t>() < -100 || v.get<int64_t>() > 100)
      throw EBadRequest{400, "\"priority\" must be a whole number from -100 to 100 (higher goes first)"};
    m.Priority = v.get<int>();
  }
  if (body.contains("send_at")) {
    auto t = body["send_at"].is_string() ? ParseRfc3339(body["send_at"]) : std::nullopt;
    if (!t) throw EBadRequest{400, "\"send_at\" must be an RFC 3339 time (2026-12-10T09:30:00Z)"};
    m.SendAt = *t;
  }
  if (body.contains("callback_url")) {
    if (!body["callback_url"].is_string()) throw EBadRequest{400, "\"callback_url\" must be a URL string"};
    m.CallbackUrl = body["callback_url"];
    if (std::string why = WebhookUrlProblem(m.CallbackUrl); !why.empty())
      throw EBadRequest{400, "\"callback_url\": " + why};
  }
  std::string target;
  if (body.contains("modem")) {
    if (!body["modem"].is_string() || body["modem"].get<std::string>().empty())
      throw EBadRequest{400, "\"modem\" must name a modem or a group"};
    target = body["modem"];
  }
  try {
    m.Modems = EligibleModems(Config_, m.To, target);
  } catch (const EConfigError& e) {
    throw EBadRequest{400, e.what()};
  }
  // The client's own id for the message, in the body or as the header: a retried request with it
  // is the same message.
  const std::string* header = Req.Header("idempotency-key");
  if (body.contains("id")) {
    if (!body["id"].is_string()) throw EBadRequest{400, "\"id\" must be a string"};
    m.IdempotencyKey = body["id"];
    if (header && *header != m.IdempotencyKey)
      throw EBadRequest{400, "\"id\" and the Idempotency-Key header differ"};
  } else if (header) {
    m.IdempotencyKey = *header;
  }
  if (header && m.IdempotencyKey.empty()) throw EBadRequest{400, "The Idempotency-Key header is empty"};
  if (m.IdempotencyKey.size() > 255) throw EBadRequest{400, "The message's id is longer than 255 characters"};
  m.Digest = HexDigest(body.dump());
  if (QueueDepth() >= Config_.MaxQueue)
    throw EBadRequest{503, "The queue is full (" + std::to_string(Config_.MaxQueue) + " messages): try again later",
                      "Retry-After", "10"};
  TQueued q = Src_.Store->QueueMessage(m);
  if (q.Conflict)
    throw EBadRequest{409, "The id " + m.IdempotencyKey + " was given to message " + std::to_string(q.Id) +
                               " with another body"};
  if (!q.Existing) {
    {
      // The counts between their refreshes know of what this server queued.
      std::lock_guard lk(DepthLock_);
      ++Depth_;
      ++Counts_[msQueued];
    }
    if (Src_.Queued) Src_.Queued();
  }
  auto stored = q.Existing ? Src_.Store->Get(q.Id) : std::nullopt;
  const char* status = stored ? StatusName(stored->Status) : m.SendAt > NowMs() ? "scheduled" : "queued";
  THttpResponse r = Reply(q.Existing ? 200 : 201, {{"id", q.Id}, {"status", status}, {"parts", parts}});
  r.Set("Location", "/messages/" + std::to_string(q.Id));
  return r;
}

THttpResponse TApiServer::Route(const THttpRequest& Req, const TScopeCheck& May) {
  const std::string& path = Req.Path;
  std::string allowed = AllowedMethods(path);
  if (allowed.empty()) throw EBadRequest{404, "No such resource: " + Req.Method + " " + path};
  // HEAD is GET without its body, which the server leaves out.
  if (!Allows(allowed, Req.Method) && !(Allows(allowed, "GET") && Req.Method == "HEAD"))
    throw EBadRequest{405, Req.Method + " is not allowed on " + path + "; " + allowed + (allowed.find(',') != std::string::npos ? " are" : " is"), "Allow", allowed};

  if (path == "/messages" && Req.Method == "POST") {
    May({"send"});
    return PostMessage(Req);
  }

  if (path == "/split") {
    // How the gateway will send a text: its coding and parts, as a sender counts them.
    May({"read", "send"});
    json body = JsonBody(Req);
    if (!body.contains("text") || !body["text"].is_string()) throw EBadRequest{400, "\"text\" must be a string"};
    std::string text = body["text"];
    if (!AuxStr::ValidUtf8(text)) throw EBadRequest{400, "\"text\" is not valid UTF-8"};
    GSM::TEncodedText e = GSM::EncodeText(text);
    bool gsm = e.Coding == GSM::tcGSM7;
    int64_t units = static_cast<int64_t>(gsm ? e.Units.size() : e.Units.size() / 2);
    auto characters = static_cast<int64_t>(AuxStr::CountCodePoints(text));
    int parts = text.empty() ? 0 : GSM::CountParts(text);
    return Reply(200, {{"encoding", gsm ? "GSM 7-bit" : "UCS2"}, {"characters", characters}, {"units", units},
                       {"parts", parts}, {"per_part", parts > 1 ? (gsm ? 153 : 67) : (gsm ? 160 : 70)}});
  }

  if (path == "/events/stream") {
    May({"read"});
    return EventStream(Req);
  }

  if (path == "/messages") {
    May({"read", "send"});
    TMessageFilter f;
    if (const std::string* st = Req.Param("status")) {
      for (int i = msQueued; i <= msCancelled; ++i)
        if (*st == StatusName(static_cast<TMessageStatus>(i))) f.Status = static_cast<TMessageStatus>(i);
      if (!f.Status) throw EBadRequest{400, "status must be a message status (\"queued\", \"delivered\", ...)"};
    }
    if (const std::string* to = Req.Param("to")) {
      f.To = *to;
      // A "+" a client left unescaped reads as a space; a number has none.
      if (!f.To.empty() && f.To[0] == ' ') f.To[0] = '+';
    }
    if (const std::string* since = Req.Param("since")) {
      auto t = ParseRfc3339(*since);
      if (!t) throw EBadRequest{400, "since must be an RFC 3339 time (2026-12-10T09:30:00Z)"};
      f.Since = *t;
    }
    f.Limit = static_cast<int>(NumberParam(Req, "limit", 100, 1, 1000));
    f.BeforeId = NumberParam(Req, "cursor", 0, 0, INT64_MAX);
    json list = json::array();
    auto found = Src_.Store->Messages(f);
    auto modems = Src_.Store->Modems();
    for (auto& m : found) list.push_back(Describe(m, modems));
    json r = {{"messages", list}};
    // The next page's cursor, while a full page says there may be more.
    r["next_cursor"] = static_cast<int>(found.size()) == f.Limit ? json(found.back().Id) : json(nullptr);
    return Reply(200, r);
  }

  if (auto id = IdIn(path, "/messages/")) {
    if (Req.Method == "DELETE") {
      May({"send"});
      switch (Src_.Store->Cancel(*id)) {
        case crCancelled:
          return Reply(200, {{"id", *id}, {"status", "cancelled"}});
        case crNoSuchMessage:
          throw EBadRequest{404, "No message " + std::to_string(*id)};
        case crTooLate:
          throw EBadRequest{409, "Message " + std::to_string(*id) +
                                     " cannot be cancelled: a part of it went out, or it is at a modem or done"};
      }
    }
    May({"read", "send"});
    auto m = Src_.Store->Get(*id);
    if (!m) throw EBadRequest{404, "No message " + std::to_string(*id)};
    return Reply(200, Describe(*m, Src_.Store->Modems()));
  }

  if (path == "/webhooks" && Req.Method == "POST") {
    May({"admin"});
    json body = JsonBody(Req);
    TWebhook h;
    for (auto& [k, v] : body.items())
      if (k != "url" && k != "events" && k != "secret") throw EBadRequest{400, "Unknown field \"" + k + "\""};
    if (!body.contains("url") || !body["url"].is_string()) throw EBadRequest{400, "\"url\" must be a URL string"};
    h.Url = body["url"];
    if (std::string why = WebhookUrlProblem(h.Url); !why.empty()) throw EBadRequest{400, "\"url\": " + why};
    if (!body.contains("events") || !body["events"].is_array() || body["events"].empty())
      throw EBadRequest{400, "\"events\" must be a list of event types (\"message.delivered\"), families "
                             "(\"message.\") or \"*\""};
    for (auto& e : body["events"]) {
      if (!e.is_string() || !KnownEventType(e.get<std::string>()))
        throw EBadRequest{400, "Not an event type: " + e.dump()};
      h.Events.push_back(e);
    }
    if (body.contains("secret")) {
      if (!body["secret"].is_string() || body["secret"].get<std::string>().size() < 16)
        throw EBadRequest{400, "\"secret\" must be a string of 16 characters or more"};
      h.Secret = body["secret"];
    } else {
      unsigned char key[24];
      if (RAND_bytes(key, sizeof key) != 1) throw EBadRequest{503, "No random numbers for a secret"};
      std::string b64(4 * sizeof key / 3 + 1, '\0');
      b64.resize(static_cast<size_t>(
          EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()), key, static_cast<int>(sizeof key))));
      h.Secret = "whsec_" + b64;
    }
    h.Id = Src_.Store->AddWebhook(h);
    THttpResponse r = Reply(201, {{"id", h.Id}, {"url", h.Url}, {"events", h.Events}, {"secret", h.Secret}});
    r.Set("Location", "/webhooks/" + std::to_string(h.Id));
    return r;
  }

  if (path == "/webhooks") {
    May({"admin"});
    json list = json::array();
    for (auto& h : Src_.Store->Webhooks())
      list.push_back({{"id", h.Id}, {"url", h.Url}, {"events", h.Events}, {"origin", h.Origin},
                      {"signed", !h.Secret.empty()}, {"created", Rfc3339(h.Created)}});
    return Reply(200, {{"webhooks", list}});
  }

  if (auto id = IdIn(path, "/webhooks/")) {
    May({"admin"});
    for (auto& h : Src_.Store->Webhooks())
      if (h.Id == *id && h.Origin == "config")
        throw EBadRequest{409, "Webhook " + std::to_string(*id) + " is the configuration's: remove it there"};
    if (!Src_.Store->DeleteWebhook(*id)) throw EBadRequest{404, "No webhook " + std::to_string(*id)};
    THttpResponse r;
    r.Status = 204;
    return r;
  }

  if (auto id = IdIn(path, "/webhooks/", "/deliveries")) {
    May({"admin"});
    int limit = static_cast<int>(NumberParam(Req, "limit", 100, 1, 1000));
    json list = json::array();
    for (auto& a : Src_.Store->DeliveryAttempts(*id, limit)) {
      json j = {{"event", a.Event}, {"attempt", a.Attempt}, {"time", Rfc3339(a.At)}, {"outcome", a.Outcome}};
      if (a.HttpStatus) j["http_status"] = a.HttpStatus;
      if (!a.Error.empty()) j["error"] = a.Error;
      list.push_back(j);
    }
    return Reply(200, {{"deliveries", list}});
  }

  if (auto id = IdIn(path, "/webhooks/", "/replay")) {
    May({"admin"});
    int64_t since = NumberParam(Req, "since", 0, 0, INT64_MAX);
    if (!Src_.Store->Replay(*id, since, TClock::now())) throw EBadRequest{404, "No webhook " + std::to_string(*id)};
    if (Src_.Queued) Src_.Queued();
    return Reply(202, {{"id", *id}, {"since", since}});
  }

  if (path == "/ussd" || IdIn(path, "/ussd/")) {
    May({"ussd", "admin"});
    json body = JsonBody(Req);
    auto session = IdIn(path, "/ussd/");
    const char* field = session ? "reply" : "code";
    for (auto& [k, v] : body.items())
      if (k != field && (session || k != "modem")) throw EBadRequest{400, "Unknown field \"" + k + "\""};
    if (!body.contains(field) || !body[field].is_string() || !GSM::ValidUssdCode(body[field]))
      throw EBadRequest{400, std::string("\"") + field + "\" must be a USSD string: 0-9, *, # and +"};
    std::string modem;
    if (!session) {
      if (!body.contains("modem") || !body["modem"].is_string()) throw EBadRequest{400, "\"modem\" must name a modem"};
      modem = body["modem"];
    }
    if (!Src_.Ussd) throw EBadRequest{501, "USSD is not available here"};
    TUssdReply r = Src_.Ussd(modem, body[field], session ? *session : 0);
    if (r.Status != 200) throw EBadRequest{r.Status, r.Error};
    json j = {{"status", r.Network == 1 ? "waiting" : "done"}, {"text", r.Text}, {"network", r.Network}};
    if (r.Session) j["session"] = r.Session;
    return Reply(200, j);
  }

  if (path == "/openapi.json") {
    THttpResponse r;
    r.Body = OpenApiDocument();
    return r;
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
    int64_t now = NowMs();
    json list = json::array();
    for (auto& m : Src_.Store->Modems()) {
      json j = {{"gateway", m.Gateway}, {"name", m.Name}, {"device", m.Device}, {"model", m.Model},
                {"imei", m.IMEI}, {"imsi", m.IMSI}, {"iccid", m.ICCID}, {"operator", m.Operator}, {"up", m.Up},
                {"parts_today", m.PartsToday},
                {"state", now - m.LastSeen > kStaleMs ? "stale" : m.Up ? "up" : "down"},
                {"last_seen", Rfc3339(m.LastSeen)},
                {"counters", {{"sent", m.Sent}, {"parts", m.Parts}, {"failed", m.Failed}, {"received", m.Received},
                              {"reports", m.Reports}}}};
      if (m.Signal >= 0) j["signal"] = m.Signal;
      if (!m.LastError.empty()) j["last_error"] = m.LastError;
      if (!m.Limited.empty()) j["limited"] = m.Limited;
      if (!m.Usage.empty()) j["limits_used"] = m.Usage;
      if (m.Registration >= 0) j["registration"] = m.Registration;
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
      if (!m.Limited.empty()) j["limited"] = m.Limited;
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
  family("halyard_modem_signal", "gauge", "The modem's +CSQ signal (0-31; -1 not known).",
         [](const TModemState& m) { return m.Signal; });
  family("halyard_modem_registration", "gauge", "The modem's +CREG registration (1 home, 5 roaming; -1 not known).",
         [](const TModemState& m) { return m.Registration; });
  family("halyard_modem_limited", "gauge", "Whether the modem is at one of its limits.",
         [](const TModemState& m) { return m.Limited.empty() ? 0 : 1; });
  family("halyard_modem_resets_total", "counter", "Resets sent to the modem when it would not open.",
         [](const TModemState& m) { return m.Counters.Resets; });
  family("halyard_modem_hook_runs_total", "counter", "Runs of the modem's reset_hook.",
         [](const TModemState& m) { return m.Counters.HookRuns; });
  o << "# HELP halyard_queue_depth Messages queued or being sent, of every gateway on the store.\n"
       "# TYPE halyard_queue_depth gauge\nhalyard_queue_depth "
    << QueueDepth() << "\n";
  o << "# HELP halyard_messages Messages in the store by status.\n# TYPE halyard_messages gauge\n";
  auto counts = Counts();
  for (int st = msQueued; st <= msCancelled; ++st) {
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
