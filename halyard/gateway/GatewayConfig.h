#pragma once
// The gateway's configuration: its store, its HTTP API, how it sends, and its modems. Read from
// a TOML file; every value has a default but the token.
#include <chrono>
#include <functional>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace Halyard::Gateway {

using TLogSink = std::function<void(const std::string& Line)>;

class EConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TModemConfig {
  std::string Name;           // unique among every gateway on one database
  std::string Device;         // empty: a simulated modem in this process
  std::string Model = "auto";  // picked from what the modem says of itself, or a model's name
  std::string PIN, SCA;
  int Baud = 115200;
  std::string Format;         // "pdu", "text" or empty for the model's own
  double RatePerMinute = 0;   // parts a minute at most; 0: as fast as the modem takes them
  std::string TrafficLog;     // a file for the modem's AT traffic, if any
  int TimeoutMs = 10000;      // the silence after which a command has failed
  std::vector<std::string> Groups;  // groups a message or a route may name instead of the modem
  // Parts a minute, a calendar day and a calendar month (UTC) at most, counted in the store;
  // 0: no limit. A carrier's cap on a SIM.
  int LimitPerMinute = 0, LimitPerDay = 0, LimitPerMonth = 0;
  // The modem by its IMEI: looked for at Device, then wherever Scan's patterns find a device
  // (by default /dev/serial/by-id/*, /dev/ttyUSB*, /dev/ttyACM*), at every open; a device that
  // answers with another IMEI is not it.
  std::string IMEI;
  // The modem by the SIM in it (AT+CCID, or EF_ICCID read with AT+CRSM), looked for as IMEI is:
  // the SIM's limits and routes follow the card when it moves to another modem.
  std::string ICCID;
  std::vector<std::string> Scan;
  // Run (by sh) when neither reopening nor a reset brings the modem back: a USB power cycle, say.
  std::string ResetHook;
};

// Recipients whose number begins with Prefix go through these modems or groups (the longest
// prefix that matches wins); others through any modem.
struct TRouteConfig {
  std::string Prefix;
  std::vector<std::string> Modems;
};

// A key of the API, known by its hash only.
struct TApiKey {
  std::string Name;                // in the log of every request made with it
  std::string Hash;                // "sha256:" and 64 hex digits, as HashKey makes it
  std::set<std::string> Scopes;    // "send", "read", "admin" (everything)
  double RatePerSecond = -1;       // requests a second; 0: no limit; below 0: [http]'s
};

// A subscription the configuration makes ([[webhook]]).
struct TWebhookConfig {
  std::string Url;
  std::vector<std::string> Events;  // types, families ("message.") or "*"
  std::string Secret;
};

struct TGatewayConfig {
  std::string Name;                       // default: the host name
  std::string Store = "halyard-smsd.db";  // a file for SQLite, a libpq connection string or URI
  std::string Listen = "127.0.0.1";
  int Port = 8025;
  std::string Token;             // a key of every scope, named "token", given as it is
  std::vector<TApiKey> Keys;
  size_t MaxBodyBytes = 64 * 1024;
  int64_t MaxQueue = 100000;  // messages queued or being sent past which POST /messages gets 503
  size_t MaxConnections = 4096, MaxConnectionsPerClient = 2048;
  std::chrono::seconds RequestTimeout{30};  // for a whole request, and for an answer to be taken
  int HttpThreads = 4;
  double KeyRatePerSecond = 200;  // each key's requests a second; 0: no limit
  std::string TlsCertificate, TlsKey;  // PEM files: HTTPS instead of HTTP
  // Sending.
  std::chrono::seconds Lease{120};       // renewed before each part
  int MaxAttempts = 5;
  std::chrono::seconds RetryFirst{30};   // doubling up to RetryMax
  std::chrono::seconds RetryMax{1800};
  std::chrono::seconds ReportWindow{72 * 3600};
  // Receiving: parts of a long message that stop coming are stored as they are after this.
  std::chrono::seconds PartsKeep{24 * 3600};
  // The event feed keeps this many days.
  int EventsKeepDays = 30;
  // Reopening a modem that went away: from ReopenFirst, doubling up to ReopenMax.
  std::chrono::milliseconds ReopenFirst{1000}, ReopenMax{60000};
  std::vector<TModemConfig> Modems;
  std::vector<TRouteConfig> Routes;
  // Webhooks: 56 attempts waiting 10 s doubling to an hour span about two days.
  std::vector<TWebhookConfig> Webhooks;
  int WebhookAttempts = 56;
  std::chrono::seconds WebhookRetryFirst{10}, WebhookRetryMax{3600};
  std::chrono::seconds WebhookTimeout{15};
  int WebhookThreads = 2;
  std::string CallbackSecret;  // signs the deliveries to a message's own callback_url
};

// The one modem's values given on a command line.
struct TModemFlags {
  std::optional<std::string> Device, Model, PIN, SCA;
  std::optional<double> RatePerMinute;
  bool Any() const { return Device || Model || PIN || SCA || RatePerMinute; }
};
// Flags override the configured values of the one modem; without a configured modem they make
// one (a simulated one when no device is given); with several they cannot say which and are
// refused with EConfigError.
void ApplyModemFlags(TGatewayConfig& C, const TModemFlags& F);

// The modems (by name) a message may go through: those Target names (a modem or a group) when it
// names one, else those of the longest route whose prefix To begins with; empty: any modem.
// Raises EConfigError for a Target that is neither.
std::vector<std::string> EligibleModems(const TGatewayConfig& C, const std::string& To, const std::string& Target = "");

// Why Url cannot be a webhook's ("" when it can): http or https, no spaces or raw bytes.
std::string WebhookUrlProblem(const std::string& Url);
// This host's name, the name of a gateway that is given none.
std::string HostName();
// Raises EConfigError naming the key or the line.
TGatewayConfig ParseConfig(const std::string& Toml, const std::string& Origin = "the configuration");
TGatewayConfig LoadConfig(const std::string& Path);
// Names, devices and values that cannot work together: raises EConfigError.
void CheckConfig(const TGatewayConfig& C);

}  // namespace Halyard::Gateway
