#include "halyard/gateway/GatewayConfig.h"

#include <algorithm>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <toml++/toml.h>

#include "halyard/auxstr/AuxStr.h"
#include "halyard/gsm/GSMUtils.h"

namespace Halyard::Gateway {

namespace {

// A table's keys, each read once; a key left over is a misspelling and named.
class TKeys {
 public:
  TKeys(const toml::table& T, std::string Where) : T_(T), Where_(std::move(Where)) {}
  // After the last Get.
  void Done() const {
    for (auto& [k, v] : T_)
      if (!Seen_.count(std::string(k.str())))
        throw EConfigError("Unknown key \"" + std::string(k.str()) + "\" in " + Where_);
  }
  template <class T>
  void Get(const char* Key, T& Into) {
    Seen_.insert(Key);
    const toml::node* n = T_.get(Key);
    if (!n) return;
    if constexpr (std::is_same_v<T, std::string>) {
      if (!n->is_string()) Wrong(Key, "a string");
      Into = **n->as_string();
    } else if constexpr (std::is_same_v<T, double>) {
      if (!n->is_number()) Wrong(Key, "a number");
      Into = n->value<double>().value();
    } else if constexpr (std::is_same_v<T, bool>) {
      if (!n->is_boolean()) Wrong(Key, "true or false");
      Into = **n->as_boolean();
    } else {
      if (!n->is_integer()) Wrong(Key, "a whole number");
      Into = static_cast<T>(**n->as_integer());
    }
  }
  template <class Duration>
  void GetDuration(const char* Key, Duration& Into) {
    int64_t v = Into.count();
    Get(Key, v);
    if (v < 0) Wrong(Key, "not negative");
    Into = Duration(v);
  }
  // A list of strings (or one string) at Key.
  void ListOf(const char* Key, const std::string& Where, std::vector<std::string>& Into) {
    const toml::node* n = Sub(Key);
    if (!n) return;
    if (n->is_string()) {
      Into.push_back(**n->as_string());
      return;
    }
    if (!n->is_array()) throw EConfigError("\"" + std::string(Key) + "\" in " + Where + " must be a list of strings");
    for (auto& e : *n->as_array()) {
      if (!e.is_string()) throw EConfigError("\"" + std::string(Key) + "\" in " + Where + " must be a list of strings");
      Into.push_back(**e.as_string());
    }
  }
  const toml::node* Sub(const char* Key) {
    Seen_.insert(Key);
    return T_.get(Key);
  }

 private:
  [[noreturn]] void Wrong(const char* Key, const char* What) {
    throw EConfigError("\"" + std::string(Key) + "\" in " + Where_ + " must be " + What);
  }
  const toml::table& T_;
  std::string Where_;
  std::set<std::string> Seen_;
};

}  // namespace

std::string WebhookUrlProblem(const std::string& Url) {
  if (Url.rfind("http://", 0) != 0 && Url.rfind("https://", 0) != 0) return "the URL must begin with http:// or https://";
  if (Url.size() > 2000) return "the URL is longer than 2000 characters";
  for (unsigned char ch : Url)
    if (ch <= 0x20 || ch >= 0x7F) return "the URL holds a space or a character that must be escaped";
  return "";
}

std::vector<std::string> EligibleModems(const TGatewayConfig& C, const std::string& To, const std::string& Target) {
  std::vector<std::string> r;
  auto add = [&](const std::string& T) {
    size_t before = r.size();
    for (auto& m : C.Modems)
      if ((m.Name == T || std::find(m.Groups.begin(), m.Groups.end(), T) != m.Groups.end()) &&
          std::find(r.begin(), r.end(), m.Name) == r.end())
        r.push_back(m.Name);
    bool named = std::any_of(C.Modems.begin(), C.Modems.end(), [&](const TModemConfig& m) {
      return m.Name == T || std::find(m.Groups.begin(), m.Groups.end(), T) != m.Groups.end();
    });
    if (!named && r.size() == before) throw EConfigError("No modem or group is named " + T);
  };
  if (!Target.empty()) {
    add(Target);
    return r;
  }
  // The number as routes write it: "+49..." and "0049..." alike.
  std::string number = To.rfind("00", 0) == 0 ? "+" + To.substr(2) : To;
  const TRouteConfig* best = nullptr;
  for (auto& route : C.Routes)
    if (number.rfind(route.Prefix, 0) == 0 && (!best || route.Prefix.size() > best->Prefix.size())) best = &route;
  if (best)
    for (auto& t : best->Modems) add(t);
  return r;
}

std::string HostName() {
  char b[256] = {};
  if (::gethostname(b, sizeof b - 1) != 0 || !b[0]) return "gateway";
  return b;
}

TGatewayConfig ParseConfig(const std::string& Toml, const std::string& Origin) {
  toml::table root;
  try {
    root = toml::parse(Toml, Origin);
  } catch (const toml::parse_error& e) {
    std::ostringstream m;
    m << Origin << ", line " << e.source().begin.line << ": " << e.description();
    throw EConfigError(m.str());
  }
  TGatewayConfig c;
  c.Name.clear();
  {
    TKeys k(root, Origin);
    k.Get("name", c.Name);
    k.Get("store", c.Store);
    k.Get("events_keep_days", c.EventsKeepDays);
    k.Get("token", c.Token);
    std::string tokenFile;
    k.Get("token_file", tokenFile);
    if (!tokenFile.empty()) {
      std::ifstream f(tokenFile);
      if (!f || !std::getline(f, c.Token)) throw EConfigError("Cannot read the token from " + tokenFile);
    }
    if (auto* http = k.Sub("http")) {
      if (!http->is_table()) throw EConfigError("[http] in " + Origin + " must be a table");
      TKeys h(*http->as_table(), "[http]");
      h.Get("listen", c.Listen);
      h.Get("port", c.Port);
      h.Get("max_body_bytes", c.MaxBodyBytes);
      h.Get("max_queue", c.MaxQueue);
      h.Get("max_connections", c.MaxConnections);
      h.Get("max_connections_per_client", c.MaxConnectionsPerClient);
      h.GetDuration("request_timeout_seconds", c.RequestTimeout);
      h.Get("threads", c.HttpThreads);
      h.Get("key_rate_per_second", c.KeyRatePerSecond);
      h.Get("tls_certificate", c.TlsCertificate);
      h.Get("tls_key", c.TlsKey);
      h.Done();
    }
    if (auto* keys = k.Sub("key")) {
      if (!keys->is_array_of_tables()) throw EConfigError("key in " + Origin + " must be [[key]] tables");
      int n = 0;
      for (auto& node : *keys->as_array()) {
        TApiKey key;
        TKeys h(*node.as_table(), "[[key]] " + std::to_string(++n));
        h.Get("name", key.Name);
        h.Get("key_hash", key.Hash);
        h.Get("rate_per_second", key.RatePerSecond);
        if (auto* scopes = h.Sub("scopes")) {
          if (!scopes->is_array()) throw EConfigError("\"scopes\" in [[key]] " + std::to_string(n) + " must be a list");
          for (auto& sc : *scopes->as_array()) {
            if (!sc.is_string()) throw EConfigError("\"scopes\" in [[key]] " + std::to_string(n) + " must be strings");
            key.Scopes.insert(**sc.as_string());
          }
        }
        h.Done();
        c.Keys.push_back(key);
      }
    }
    if (auto* s = k.Sub("sending")) {
      if (!s->is_table()) throw EConfigError("[sending] in " + Origin + " must be a table");
      TKeys h(*s->as_table(), "[sending]");
      h.GetDuration("lease_seconds", c.Lease);
      h.Get("max_attempts", c.MaxAttempts);
      h.GetDuration("retry_seconds", c.RetryFirst);
      h.GetDuration("retry_max_seconds", c.RetryMax);
      int64_t hours = c.ReportWindow.count() / 3600;
      h.Get("report_window_hours", hours);
      c.ReportWindow = std::chrono::seconds(hours * 3600);
      h.Done();
    }
    if (auto* r = k.Sub("receiving")) {
      if (!r->is_table()) throw EConfigError("[receiving] in " + Origin + " must be a table");
      TKeys h(*r->as_table(), "[receiving]");
      h.GetDuration("parts_keep_seconds", c.PartsKeep);
      h.Done();
    }
    if (auto* r = k.Sub("route")) {
      if (!r->is_array_of_tables()) throw EConfigError("route in " + Origin + " must be [[route]] tables");
      int n = 0;
      for (auto& node : *r->as_array()) {
        TRouteConfig route;
        const std::string where = "[[route]] " + std::to_string(++n);
        TKeys h(*node.as_table(), where);
        h.Get("prefix", route.Prefix);
        h.ListOf("modems", where, route.Modems);
        h.Done();
        c.Routes.push_back(route);
      }
    }
    if (auto* w = k.Sub("webhooks")) {
      if (!w->is_table()) throw EConfigError("[webhooks] in " + Origin + " must be a table");
      TKeys h(*w->as_table(), "[webhooks]");
      h.Get("attempts", c.WebhookAttempts);
      h.GetDuration("retry_seconds", c.WebhookRetryFirst);
      h.GetDuration("retry_max_seconds", c.WebhookRetryMax);
      h.GetDuration("timeout_seconds", c.WebhookTimeout);
      h.Get("threads", c.WebhookThreads);
      h.Get("callback_secret", c.CallbackSecret);
      h.Done();
    }
    if (auto* w = k.Sub("webhook")) {
      if (!w->is_array_of_tables()) throw EConfigError("webhook in " + Origin + " must be [[webhook]] tables");
      int n = 0;
      for (auto& node : *w->as_array()) {
        TWebhookConfig hook;
        const std::string where = "[[webhook]] " + std::to_string(++n);
        TKeys h(*node.as_table(), where);
        h.Get("url", hook.Url);
        h.Get("secret", hook.Secret);
        h.ListOf("events", where, hook.Events);
        h.Done();
        c.Webhooks.push_back(hook);
      }
    }
    if (auto* r = k.Sub("reopen")) {
      if (!r->is_table()) throw EConfigError("[reopen] in " + Origin + " must be a table");
      TKeys h(*r->as_table(), "[reopen]");
      h.GetDuration("first_ms", c.ReopenFirst);
      h.GetDuration("max_ms", c.ReopenMax);
      h.Done();
    }
    if (auto* m = k.Sub("modem")) {
      if (!m->is_array_of_tables()) throw EConfigError("modem in " + Origin + " must be [[modem]] tables");
      int n = 0;
      for (auto& node : *m->as_array()) {
        TModemConfig mc;
        mc.Name = "modem" + std::to_string(++n);
        if (!node.is_table()) throw EConfigError("modem in " + Origin + " must be [[modem]] tables");
        TKeys h(*node.as_table(), "[[modem]] " + std::to_string(n));
        h.Get("name", mc.Name);
        h.Get("device", mc.Device);
        h.Get("model", mc.Model);
        h.Get("pin", mc.PIN);
        h.Get("sca", mc.SCA);
        h.Get("baud", mc.Baud);
        h.Get("format", mc.Format);
        h.Get("rate_per_minute", mc.RatePerMinute);
        h.Get("traffic_log", mc.TrafficLog);
        h.Get("timeout_ms", mc.TimeoutMs);
        h.Get("limit_per_minute", mc.LimitPerMinute);
        h.Get("limit_per_day", mc.LimitPerDay);
        h.Get("limit_per_month", mc.LimitPerMonth);
        h.Get("reset_hook", mc.ResetHook);
        h.Get("imei", mc.IMEI);
        h.Get("iccid", mc.ICCID);
        h.ListOf("scan", "[[modem]] " + std::to_string(n), mc.Scan);
        h.ListOf("groups", "[[modem]] " + std::to_string(n), mc.Groups);
        h.Done();
        c.Modems.push_back(mc);
      }
    }
    k.Done();
  }
  if (c.Name.empty()) c.Name = HostName();
  return c;
}

TGatewayConfig LoadConfig(const std::string& Path) {
  std::ifstream f(Path);
  if (!f) throw EConfigError("Cannot read the configuration " + Path);
  std::ostringstream s;
  s << f.rdbuf();
  return ParseConfig(s.str(), Path);
}

void ApplyModemFlags(TGatewayConfig& C, const TModemFlags& F) {
  if (C.Modems.size() > 1 && F.Any())
    throw EConfigError("The configuration has " + std::to_string(C.Modems.size()) +
                       " modems: --device, --model, --pin, --sca and --rate cannot say which; set them in it");
  if (C.Modems.empty()) {
    C.Modems.push_back({});
    C.Modems[0].Name = "modem1";
  }
  TModemConfig& m = C.Modems[0];
  if (F.Device) m.Device = *F.Device;
  if (F.Model) m.Model = *F.Model;
  if (F.PIN) m.PIN = *F.PIN;
  if (F.SCA) m.SCA = *F.SCA;
  if (F.RatePerMinute) m.RatePerMinute = *F.RatePerMinute;
}

void CheckConfig(const TGatewayConfig& C) {
  if (C.Token.empty() && C.Keys.empty())
    throw EConfigError("No key: give \"token\", \"token_file\" or [[key]] tables");
  std::set<std::string> keyNames = {"token"}, hashes;
  for (auto& k : C.Keys) {
    if (k.Name.empty() || k.Name.find_first_of(" \t\"\\") != std::string::npos)
      throw EConfigError("A key needs a name without spaces or quotes: \"" + k.Name + "\"");
    if (!keyNames.insert(k.Name).second) throw EConfigError("Two keys are named " + k.Name);
    const std::string prefix = "sha256:";
    if (k.Hash.size() != prefix.size() + 64 || k.Hash.rfind(prefix, 0) != 0 ||
        k.Hash.find_first_not_of("0123456789abcdef", prefix.size()) != std::string::npos)
      throw EConfigError("Key " + k.Name + ": key_hash must be \"sha256:\" and 64 hex digits (halyard-smsd --hash-key)");
    if (!hashes.insert(k.Hash).second) throw EConfigError("Key " + k.Name + " is another key's too");
    if (k.Scopes.empty()) throw EConfigError("Key " + k.Name + " has no scopes");
    for (auto& s : k.Scopes)
      if (s != "send" && s != "read" && s != "ussd" && s != "admin")
        throw EConfigError("Key " + k.Name + ": unknown scope \"" + s + "\" (send, read, ussd or admin)");
  }
  if (C.MaxConnections < 1 || C.MaxConnectionsPerClient < 1)
    throw EConfigError("max_connections and max_connections_per_client must be 1 or more");
  if (C.RequestTimeout.count() < 1) throw EConfigError("request_timeout_seconds must be 1 or more");
  if (C.HttpThreads < 1 || C.HttpThreads > 64) throw EConfigError("[http] threads must be 1 to 64");
  if (C.KeyRatePerSecond < 0) throw EConfigError("key_rate_per_second must not be negative");
  if (C.TlsCertificate.empty() != C.TlsKey.empty())
    throw EConfigError("HTTPS needs both tls_certificate and tls_key");
  if (C.Port < 0 || C.Port > 65535) throw EConfigError("The port must be 0 to 65535");
  if (C.MaxAttempts < 1) throw EConfigError("max_attempts must be 1 or more");
  if (C.EventsKeepDays < 1) throw EConfigError("events_keep_days must be 1 or more");
  if (C.WebhookAttempts < 1) throw EConfigError("attempts in [webhooks] must be 1 or more");
  if (C.WebhookThreads < 1 || C.WebhookThreads > 64) throw EConfigError("threads in [webhooks] must be 1 to 64");
  if (C.WebhookTimeout.count() < 1) throw EConfigError("timeout_seconds in [webhooks] must be 1 or more");
  for (auto& h : C.Webhooks) {
    if (std::string why = WebhookUrlProblem(h.Url); !why.empty()) throw EConfigError("[[webhook]] " + h.Url + ": " + why);
    if (h.Events.empty()) throw EConfigError("[[webhook]] " + h.Url + ": \"events\" names no event type");
  }
  if (C.Lease.count() < 5) throw EConfigError("lease_seconds must be 5 or more");
  if (C.ReopenFirst.count() < 1 || C.ReopenMax < C.ReopenFirst)
    throw EConfigError("[reopen] first_ms must be at least 1 and max_ms at least first_ms");
  if (C.Modems.empty()) throw EConfigError("No modem");
  std::set<std::string> imeis, iccids;
  for (auto& m : C.Modems) {
    if (m.LimitPerMinute < 0 || m.LimitPerDay < 0 || m.LimitPerMonth < 0)
      throw EConfigError("Modem " + m.Name + ": a limit must not be negative");
    if (!m.IMEI.empty() && (m.IMEI.size() > 17 || m.IMEI.find_first_not_of("0123456789") != std::string::npos))
      throw EConfigError("Modem " + m.Name + ": imei must be digits");
    if (!m.IMEI.empty() && !imeis.insert(m.IMEI).second) throw EConfigError("Two modems have the IMEI " + m.IMEI);
    if (!m.ICCID.empty() && (m.ICCID.size() < 18 || m.ICCID.size() > 22 ||
                             m.ICCID.find_first_not_of("0123456789") != std::string::npos))
      throw EConfigError("Modem " + m.Name + ": iccid must be 18 to 22 digits");
    if (!m.ICCID.empty() && !iccids.insert(m.ICCID).second) throw EConfigError("Two modems have the ICCID " + m.ICCID);
  }
  std::set<std::string> prefixes;
  for (auto& r : C.Routes) {
    if (r.Prefix.empty() || r.Prefix.find_first_not_of("+0123456789") != std::string::npos)
      throw EConfigError("[[route]]: the prefix \"" + r.Prefix + "\" must be digits, with an optional leading +");
    if (!prefixes.insert(r.Prefix).second) throw EConfigError("Two routes have the prefix " + r.Prefix);
    if (r.Modems.empty()) throw EConfigError("[[route]] " + r.Prefix + " names no modem");
    for (auto& t : r.Modems) (void)EligibleModems(C, "", t);
  }
  std::set<std::string> names, devices;
  for (auto& m : C.Modems) {
    if (m.Name.empty() || m.Name.find_first_of(" \t\"\\") != std::string::npos)
      throw EConfigError("A modem needs a name without spaces or quotes: \"" + m.Name + "\"");
    if (!names.insert(m.Name).second) throw EConfigError("Two modems are named " + m.Name);
    if (!m.Device.empty() && !devices.insert(m.Device).second)
      throw EConfigError("Two modems use " + m.Device);
    try {
      if (AuxStr::UpString(m.Model) != "AUTO") (void)GSM::Str2GMSEquipment(m.Model);
    } catch (const std::exception&) {
      throw EConfigError("Modem " + m.Name + ": unknown model " + m.Model);
    }
    if (!m.Format.empty() && m.Format != "pdu" && m.Format != "text")
      throw EConfigError("Modem " + m.Name + ": format must be \"pdu\" or \"text\"");
    if (m.RatePerMinute < 0) throw EConfigError("Modem " + m.Name + ": rate_per_minute must not be negative");
    if (m.TimeoutMs < 100) throw EConfigError("Modem " + m.Name + ": timeout_ms must be 100 or more");
  }
  if (C.Name.empty()) throw EConfigError("The gateway needs a name");
}

}  // namespace Halyard::Gateway
