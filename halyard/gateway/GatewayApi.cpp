#include "halyard/gateway/GatewayApi.h"

#include <httplib.h>

#include <cctype>
#include <nlohmann/json.hpp>
#include <sstream>

#include "halyard/gsm/LongSMS.h"
#include "halyard/gsm/SMS.h"

namespace Halyard::Gateway {

using nlohmann::json;

namespace {

constexpr int kMaxValidityMinutes = 63 * 7 * 24 * 60;  // the longest relative validity

struct EBadRequest {
  int Status;
  std::string Message;
};

void Reply(httplib::Response& Res, int Status, const json& Body) {
  Res.status = Status;
  Res.set_content(Body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void Error(httplib::Response& Res, int Status, const std::string& Message) {
  Reply(Res, Status, json{{"error", Message}});
}

// Compares in time independent of where the first difference is.
bool SameToken(const std::string& A, const std::string& B) {
  unsigned char d = A.size() == B.size() ? 0 : 1;
  for (size_t i = 0; i < A.size(); ++i) d |= static_cast<unsigned char>(A[i] ^ (i < B.size() ? B[i] : 0));
  return d == 0;
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

int64_t NumberParam(const httplib::Request& Req, const char* Name, int64_t Default, int64_t Min, int64_t Max) {
  if (!Req.has_param(Name)) return Default;
  std::string v = Req.get_param_value(Name);
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

// The methods a known path takes, for 405 and its Allow header; empty for an unknown path.
std::string AllowedMethods(const std::string& Path) {
  if (Path == "/messages") return "POST";
  if (Path == "/inbox" || Path == "/health" || Path == "/metrics") return "GET";
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

TApiServer::TApiServer(const TGatewayConfig& Config, TApiSource Source)
    : Config_(Config), Src_(std::move(Source)), Http_(std::make_unique<httplib::Server>()) {
  Routes();
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

void TApiServer::Start() {
  Port_ = Config_.Port == 0 ? Http_->bind_to_any_port(Config_.Listen)
                            : (Http_->bind_to_port(Config_.Listen, Config_.Port) ? Config_.Port : -1);
  if (Port_ <= 0)
    throw EConfigError("Cannot listen on " + Config_.Listen + ":" + std::to_string(Config_.Port) +
                       " (in use, or not an address of this host)");
  Thread_ = std::thread([this] { Http_->listen_after_bind(); });
}

void TApiServer::Stop() {
  if (Thread_.joinable()) {
    Http_->stop();
    Thread_.join();
  }
}

void TApiServer::Routes() {
  httplib::Server& s = *Http_;
  s.set_payload_max_length(Config_.MaxBodyBytes);
  s.set_tcp_nodelay(true);  // an answer waits for no delayed acknowledgement
  s.set_read_timeout(10, 0);
  s.set_write_timeout(10, 0);
  s.set_pre_routing_handler([this](const httplib::Request& Req, httplib::Response& Res) {
    if (Req.path == "/health") return httplib::Server::HandlerResponse::Unhandled;
    std::string auth = Req.get_header_value("Authorization");
    // The scheme's name is case-insensitive (RFC 9110 11.1), one or more spaces behind it.
    size_t sp = auth.find(' ');
    std::string scheme = auth.substr(0, sp), token = sp == std::string::npos ? "" : auth.substr(sp);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    token.erase(0, token.find_first_not_of(' '));
    if (scheme != "bearer" || !SameToken(token, Config_.Token)) {
      Res.set_header("WWW-Authenticate", "Bearer");
      Error(Res, 401, auth.empty() ? "No token: send \"Authorization: Bearer <token>\"" : "Wrong token");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  s.set_error_handler([](const httplib::Request& Req, httplib::Response& Res) {
    if (!Res.body.empty()) return;
    std::string allowed = Res.status == 404 ? AllowedMethods(Req.path) : "";
    if (Res.status == 413) {
      Error(Res, 413, "The body is too large");
    } else if (!allowed.empty()) {
      Res.set_header("Allow", allowed);
      Error(Res, 405, Req.method + " is not allowed on " + Req.path + "; " + allowed + " is");
    } else if (Res.status == 404) {
      Error(Res, 404, "No such resource: " + Req.method + " " + Req.path);
    }
    else Error(Res, Res.status, "HTTP error " + std::to_string(Res.status));
  });
  s.set_exception_handler([](const httplib::Request&, httplib::Response& Res, std::exception_ptr E) {
    try {
      std::rethrow_exception(E);
    } catch (const EStoreError& e) {
      Error(Res, 503, std::string("The store is not available: ") + e.what());
    } catch (const std::exception& e) {
      Error(Res, 500, e.what());
    } catch (...) {
      Error(Res, 500, "internal error");
    }
  });
  // Runs a handler, turning its refusals into 4xx answers.
  auto guarded = [](auto Handler) {
    return [Handler](const httplib::Request& Req, httplib::Response& Res) {
      try {
        Handler(Req, Res);
      } catch (const EBadRequest& e) {
        Error(Res, e.Status, e.Message);
      }
    };
  };

  s.Post("/messages", guarded([this](const httplib::Request& Req, httplib::Response& Res) {
    json body = json::parse(Req.body, nullptr, false);
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
    if (QueueDepth() >= Config_.MaxQueue) {
      Res.set_header("Retry-After", "10");
      throw EBadRequest{503, "The queue is full (" + std::to_string(Config_.MaxQueue) + " messages): try again later"};
    }
    int64_t id = Src_.Store->Queue(to, text, report, validity);
    {
      // The counts between their refreshes know of what this server queued.
      std::lock_guard lk(DepthLock_);
      ++Depth_;
      ++Counts_[msQueued];
    }
    if (Src_.Queued) Src_.Queued();
    Res.set_header("Location", "/messages/" + std::to_string(id));
    Reply(Res, 201, {{"id", id}, {"status", "queued"}, {"parts", parts}});
  }));

  s.Get(R"(/messages/(\d{1,18}))", guarded([this](const httplib::Request& Req, httplib::Response& Res) {
    int64_t id = std::stoll(Req.matches[1].str());
    auto m = Src_.Store->Get(id);
    if (!m) throw EBadRequest{404, "No message " + std::to_string(id)};
    Reply(Res, 200, Describe(*m));
  }));

  s.Get("/inbox", guarded([this](const httplib::Request& Req, httplib::Response& Res) {
    int64_t since = NumberParam(Req, "since", 0, 0, INT64_MAX);
    int limit = static_cast<int>(NumberParam(Req, "limit", 100, 1, 1000));
    json list = json::array();
    int64_t last = since;
    for (auto& m : Src_.Store->Inbox(since, limit)) {
      list.push_back({{"id", m.Id}, {"modem", m.Modem}, {"from", m.From}, {"text", m.Text}, {"stamp", m.Stamp},
                      {"parts", m.Parts}, {"complete", m.Complete}});
      last = m.Id;
    }
    Reply(Res, 200, {{"messages", list}, {"next", last}});
  }));

  s.Get("/health", [this](const httplib::Request&, httplib::Response& Res) {
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
    Reply(Res, anyUp ? 200 : 503, h);
  });

  s.Get("/metrics", [this](const httplib::Request&, httplib::Response& Res) {
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
    family("halyard_modem_up", "gauge", "Whether the modem is open.",
           [](const TModemState& m) { return m.Up ? 1 : 0; });
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
    Res.set_content(o.str(), "text/plain; version=0.0.4");
  });
}

}  // namespace Halyard::Gateway
