#include "halyard/gateway/Gateway.h"

#include <cstdio>
#include <ctime>
#include <filesystem>

#include "halyard/framework/Threads.h"
#include "halyard/gateway/ModemLink.h"
#include "halyard/gateway/Webhooks.h"

namespace Halyard::Gateway {

namespace {

void ToStandardError(const std::string& Line) {
  std::time_t t = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&t, &local);  // called from every modem's thread
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::fprintf(stderr, "%s halyard-smsd: %s\n", stamp, Line.c_str());
}

}  // namespace

TGateway::TGateway(TGatewayConfig Config, TLogSink Log, std::unique_ptr<TStore> Store)
    : Config_(std::move(Config)), Log_(Log ? std::move(Log) : TLogSink(ToStandardError)), Store_(std::move(Store)) {
  if (Config_.Name.empty()) Config_.Name = HostName();
  CheckConfig(Config_);
  if (!Store_) Store_ = OpenStore(Config_.Store);
  for (auto& m : Config_.Modems) {
    States_[m.Name].Name = m.Name;
    Links_.push_back(std::make_unique<TModemLink>(*this, m));
  }
  std::vector<TWebhook> hooks;
  for (auto& h : Config_.Webhooks) hooks.push_back({0, h.Url, h.Events, h.Secret, "config", 0});
  Store_->SetConfigWebhooks(hooks);
  Hooks_ = std::make_unique<TWebhookDispatcher>(*Store_, Config_, Config_.Name, Log_);
}

TGateway::~TGateway() {
  Hooks_.reset();
  Links_.clear();
}

void TGateway::Log(const std::string& Line) const { Log_(Line); }

void TGateway::Update(const std::string& Modem, const std::function<void(TModemState&)>& Change) {
  std::lock_guard lk(M_);
  Change(States_[Modem]);
}

TUssdReply TGateway::Ussd(const std::string& Modem, const std::string& Code, int64_t Session) {
  std::string name = Modem;
  if (Session) {
    std::lock_guard lk(M_);
    auto s = UssdSessions_.find(Session);
    if (s == UssdSessions_.end()) return {404, "No open USSD session " + std::to_string(Session), 0, 0, ""};
    name = s->second;
  }
  TModemLink* link = nullptr;
  for (auto& l : Links_)
    if (l->Name() == name) link = l.get();
  if (!link) return {404, "No modem " + name + " on this gateway", 0, 0, ""};
  auto r = link->Ussd(Code, Session != 0);
  std::lock_guard lk(M_);
  // Any other session of the modem ended with this request.
  for (auto s = UssdSessions_.begin(); s != UssdSessions_.end();)
    s = s->second == name ? UssdSessions_.erase(s) : std::next(s);
  if (r.Status == 200 && r.Network == 1) {
    r.Session = Session ? Session : NextUssdSession_++;
    UssdSessions_[r.Session] = name;
  }
  return r;
}

namespace {
// One device however it is named (a /dev/serial/by-id link, or the node itself).
std::string SameDevice(const std::string& Path) {
  std::error_code ec;
  auto c = std::filesystem::canonical(Path, ec);
  return ec ? Path : c.string();
}
}  // namespace

std::string TGateway::Hold(const std::string& Modem, const std::string& Device, const std::string& Imei) {
  std::lock_guard lk(M_);
  const std::string dev = Device.empty() ? "" : SameDevice(Device);
  for (auto& [name, h] : Holds_) {
    if (name == Modem) continue;
    if (!Imei.empty() && h.Imei == Imei) return "two modems answer with the IMEI " + Imei + ": " + name + " and " + Modem;
    if (!dev.empty() && h.Device == dev) return Device + " is " + name + "'s already";
  }
  Holds_[Modem] = {dev, Imei};
  return "";
}

void TGateway::Release(const std::string& Modem) {
  std::lock_guard lk(M_);
  Holds_.erase(Modem);
}

bool TGateway::Held(const std::string& Device, const std::string& Modem) const {
  std::lock_guard lk(M_);
  const std::string dev = SameDevice(Device);
  for (auto& [name, h] : Holds_)
    if (name != Modem && h.Device == dev) return true;
  return false;
}

std::vector<TModemState> TGateway::Modems() const {
  std::lock_guard lk(M_);
  std::vector<TModemState> r;
  for (auto& m : Config_.Modems) r.push_back(States_.at(m.Name));
  return r;
}

std::vector<std::string> TGateway::LessUsedIdle(const std::string& Modem, int64_t PartsToday) const {
  std::lock_guard lk(M_);
  std::vector<std::string> r;
  for (auto& [name, s] : States_)
    if (name != Modem && s.Up && s.Idle && s.Limited.empty() && s.PartsToday < PartsToday) r.push_back(name);
  return r;
}

void TGateway::Poke() {
  Pokes_.fetch_add(1);
  for (auto& l : Links_) l->Wake();
  Hooks_->Poke();
}

void TGateway::Run() {
  using Steady = std::chrono::steady_clock;
  auto housekeeping = Steady::now() - std::chrono::hours(1), pruned = housekeeping;
  Log(Config_.Name + ": " + std::to_string(Links_.size()) + " modem(s), store " + Store_->Kind());
  for (auto& l : Links_) l->Start();
  Hooks_->Start();
  // Housekeeping here until every modem has closed; the main thread's queue is still served for
  // a driver that hands anything to it.
  for (;;) {
    bool done = true;
    for (auto& l : Links_) done = done && l->Finished();
    if (done) break;
    if (Stopping()) {
      for (auto& l : Links_) l->Wake();
    } else if (Steady::now() - housekeeping > std::chrono::seconds(1)) {
      housekeeping = Steady::now();
      try {
        // A gateway refreshes its modems' records every 10 s: one silent for a lease and three
        // of those has died, one that only lost the store for a while has not.
        if (int n = Store_->ExpireClaims(TClock::now(), Config_.Lease + std::chrono::seconds(30)))
          Log(std::to_string(n) + " message(s) held by a gateway that stopped answering: " + kUnknownOutcome);
        Store_->FlushParts(TClock::now() - Config_.PartsKeep);
        if (Steady::now() - pruned > std::chrono::hours(1)) {
          pruned = Steady::now();
          Store_->PruneEvents(TClock::now() - std::chrono::hours(24) * Config_.EventsKeepDays);
          Store_->PruneDeliveries(TClock::now() - std::chrono::hours(24) * Config_.EventsKeepDays);
        }
      } catch (const EStoreError& e) {
        Log(std::string("the store: ") + e.what());
      }
    }
    Framework::Application().HandleMessage(50);
  }
  Hooks_->Stop();
  Log("stopped");
  Framework::Application().ProcessMessages();
}

}  // namespace Halyard::Gateway
