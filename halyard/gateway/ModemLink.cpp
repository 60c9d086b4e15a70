#include "halyard/gateway/ModemLink.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <glob.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <ctime>

#include "halyard/auxstr/AuxStr.h"
#include "halyard/gsm/LongSMS.h"
#include "halyard/gsm/SMSText.h"

namespace Halyard::Gateway {

namespace {

using namespace std::chrono_literals;

// An idle modem is asked this often whether it is still there (an unplugged one says nothing) and
// what it holds.
constexpr auto kIdleCheck = 30s;
// Failed sends in a row (with an answer) after which the modem is taken down and reopened.
constexpr int kErrorRunLimit = 3;
// Failed opens in a row after which a modem is reset, its hook run, and it is given up on.
constexpr int kResetAfter = 2, kHookAfter = 4, kGiveUpAfter = 6;
// How long a reset hook may run.
constexpr int kHookSeconds = 120;

// Runs Command with sh, for at most Seconds; its exit status, or -1.
int RunHook(const std::string& Command, int Seconds) {
  const char* argv[] = {"sh", "-c", Command.c_str(), nullptr};
  pid_t pid;
  if (::posix_spawnp(&pid, "sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return -1;
  for (int i = 0; i < Seconds * 10; ++i) {
    int st = 0;
    if (::waitpid(pid, &st, WNOHANG) == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    std::this_thread::sleep_for(100ms);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return -1;
}

// How long the network's answer to a USSD request may take, and how long an open menu waits for
// its reply before it is closed.
constexpr int kUssdAnswerMs = 30000;
constexpr auto kUssdMenuIdle = 120s;
// Reports that came before their part was recorded: how many, and for how long, kept.
constexpr size_t kMaxEarlyReports = 1000;
constexpr auto kEarlyReportKeep = 120s;
// How often a modem's record in the store is refreshed: the mark by which other gateways tell
// a live one from a stale one.
constexpr auto kRecordEvery = 10s;

}  // namespace


int64_t UtcStamp(Framework::TDateTime Local, int QuarterHours) {
  if (Local == 0) return 0;
  return static_cast<int64_t>(std::llround((Local - 25569.0) * 86400.0)) - int64_t{QuarterHours} * 15 * 60;
}

bool RetryableCms(int Code) {
  // The message's own fault, which no retry mends (27.005 3.2.5, 23.040 9.2.3.22).
  static const int kPermanent[] = {1, 8, 10, 21, 27, 28, 29, 30, 50, 96, 97, 98, 99, 111, 127, 304, 305};
  if (Code >= 128 && Code <= 255) return false;  // TP-FCS: refused by the network or the SIM
  return std::find(std::begin(kPermanent), std::end(kPermanent), Code) == std::end(kPermanent);
}

bool Retryable(const std::string& Line) {
  size_t p = Line.find("+CMS ERROR:");
  if (p == std::string::npos) return true;  // no answer, ERROR, a +CME error: the modem's trouble
  return RetryableCms(std::atoi(Line.c_str() + p + 11));
}

TModemLink::TModemLink(TGateway& Gateway, TModemConfig Config)
    : Gw_(Gateway), Config_(std::move(Config)), ClaimName_(Gateway.Config().Name + "/" + Config_.Name),
      Backoff_(Gateway.Config().ReopenFirst) {
  Record_.Gateway = Gateway.Config().Name;
  Record_.Name = Config_.Name;
  Record_.Device = Config_.Device.empty() ? "simulated" : Config_.Device;
}

void TModemLink::Record(const std::string& Event) {
  TModemRecord r = Record_;
  for (auto& m : Gw_.Modems())
    if (m.Name == Name()) {
      r.Up = m.Up;
      r.LastError = m.LastError;
      r.Limited = m.Limited;
      r.Usage = m.Usage;
      r.PartsToday = m.PartsToday;
      r.Sent = m.Counters.Sent;
      r.Parts = m.Counters.Parts;
      r.Failed = m.Counters.Failed;
      r.Received = m.Counters.Received;
      r.Reports = m.Counters.Reports;
    }
  r.LastSeen = std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now().time_since_epoch()).count();
  NextRecord_ = TClockS::now() + kRecordEvery;
  if (Event.empty()) {
    try {
      Gw_.Store().RecordModem(r);
    } catch (const EStoreError&) {
      // A refresh: the next one will do once the store is back.
    }
  } else {
    Write([this, r, Event] { Gw_.Store().RecordModem(r, Event); });
  }
}

TModemLink::~TModemLink() {
  if (Thread_.joinable()) {
    Wake();
    Thread_.join();
  }
}

void TModemLink::Start() { Thread_ = std::thread([this] { Loop(); }); }

void TModemLink::Wake() {
  {
    std::lock_guard lk(M_);
    Woken_ = true;
  }
  Cv_.notify_one();
}

void TModemLink::Loop() {
  while (!Gw_.Stopping()) {
    if (Step()) continue;
    // Idle: until an indication, a poke or the stop, and at most a little while.
    std::unique_lock lk(M_);
    Cv_.wait_for(lk, 50ms, [this] { return Woken_ || ListDue_ || !UssdRequests_.empty(); });
    Woken_ = false;
  }
  Shutdown();
  Finished_.store(true);
}

namespace {

// What in Id is not the identity the modem is configured by; "" when it is the modem.
std::string Mismatch(const TModemConfig& C, const TDeviceIdentity& Id) {
  std::string why;
  auto check = [&](const char* What, const std::string& Want, const std::string& Got) {
    if (!Want.empty() && Got != Want)
      why += std::string(why.empty() ? "" : ", ") + What + " " + (Got.empty() ? "none" : Got);
  };
  check("IMEI", C.IMEI, Id.IMEI);
  check("ICCID", C.ICCID, Id.ICCID);
  return why;
}

std::string Identity(const TModemConfig& C) {
  if (C.ICCID.empty()) return "the IMEI " + C.IMEI;
  return C.IMEI.empty() ? "the ICCID " + C.ICCID : "the IMEI " + C.IMEI + " and the ICCID " + C.ICCID;
}

}  // namespace

std::string TModemLink::FindDevice() {
  if (Config_.IMEI.empty() && Config_.ICCID.empty()) return Config_.Device;
  // The configured device first, then whatever the patterns find that no other modem holds.
  std::vector<std::string> where;
  if (!Config_.Device.empty()) where.push_back(Config_.Device);
  std::vector<std::string> patterns = Config_.Scan;
  if (patterns.empty()) patterns = {"/dev/serial/by-id/*", "/dev/ttyUSB*", "/dev/ttyACM*"};
  for (auto& p : patterns) {
    glob_t g{};
    if (::glob(p.c_str(), 0, nullptr, &g) == 0)
      for (size_t i = 0; i < g.gl_pathc; ++i)
        if (std::find(where.begin(), where.end(), g.gl_pathv[i]) == where.end()) where.push_back(g.gl_pathv[i]);
    ::globfree(&g);
  }
  std::string tried;
  for (auto& dev : where) {
    if (Gw_.Held(dev, Name())) continue;
    TModemConfig c = Config_;
    c.Device = dev;
    std::string why;
    try {
      why = Mismatch(Config_, Gw_.DriverFactory()(c, nullptr)->ProbeIdentity(!Config_.ICCID.empty()));
    } catch (const std::exception& e) {
      why = e.what();
    }
    if (why.empty()) return dev;
    tried += (tried.empty() ? "" : ", ") + dev + ": " + why;
  }
  throw std::runtime_error("no device answers with " + Identity(Config_) +
                           (tried.empty() ? " (none to look at)" : " (" + tried + ")"));
}

void TModemLink::Open() {
  TModemConfig c = Config_;
  c.Device = FindDevice();
  auto d = Gw_.DriverFactory()(c, [this](const std::string& Line) { Gw_.Log(Line); });
  d->Open({[this] { Announced(); }, [this](GSM::TSMS& Sms) { OnDirect(Sms); }});
  TModemRecord r = Record_;
  d->Identify(r);
  d->Probe(r);
  if (std::string why = Mismatch(Config_, {r.IMEI, r.ICCID}); !why.empty())
    throw std::runtime_error(c.Device + " is not the modem with " + Identity(Config_) + ": " + why);
  if (std::string why = Gw_.Hold(Name(), c.Device, r.IMEI); !why.empty()) throw std::runtime_error(why);
  Record_ = r;
  Record_.Device = c.Device.empty() ? "simulated" : c.Device;
  Gw_.Update(Name(), [&](TModemState& s) {
    s.Signal = Record_.Signal;
    s.Registration = Record_.Registration;
  });
  Drv_ = std::move(d);
  {
    std::lock_guard lk(M_);
    ListDue_ = true;
  }
  ErrorRun_ = 0;
  Backoff_ = Gw_.Config().ReopenFirst;
  LastHeard_ = TClockS::now();
  Gw_.Update(Name(), [](TModemState& s) {
    s.Up = true;
    s.LastError.clear();
    ++s.Counters.Opens;
  });
  Gw_.Log(Name() + ": open " + Drv_->Describe());
  Record("modem.up");
}

void TModemLink::Down(const std::string& Why) {
  if (Current_) FailCurrent(Why, true);
  Drv_.reset();  // what it stored is listed again after the reopen
  Gw_.Release(Name());
  NextOpen_ = TClockS::now() + Backoff_;
  Gw_.Log(Name() + ": down (" + Why + "); reopening in " + std::to_string(Backoff_.count()) + " ms");
  Backoff_ = std::min(Backoff_ * 2, Gw_.Config().ReopenMax);
  bool wasUp = false;
  Gw_.Update(Name(), [&](TModemState& s) {
    wasUp = s.Up;
    s.Up = false;
    s.LastError = Why;
  });
  Record(wasUp ? "modem.down" : "");  // a modem that stays away is one event, not one a reopen
}

void TModemLink::Shutdown() {
  if (Current_) {
    // The parts sent are recorded: whoever takes it up goes on with the next one.
    Current_.reset();
    Write([this] { Gw_.Store().ReleaseClaims(ClaimName_); });
  }
  if (Drv_) {
    Gw_.Update(Name(), [&](TModemState& s) { s.Up = false; });
    Record("modem.down");
  }
  FlushWrites();
  Drv_.reset();
  Gw_.Release(Name());
}

// --- receiving ---------------------------------------------------------------------------------

void TModemLink::Announced() {
  {
    std::lock_guard lk(M_);
    ListDue_ = true;
  }
  Cv_.notify_one();
}

void TModemLink::OnDirect(GSM::TSMS& Sms) {
  // Acknowledged when this returns, so stored first, or not acknowledged at all (the exception
  // leaves it to the network to deliver again).
  if (auto* d = dynamic_cast<GSM::TSMSDeliver*>(&Sms)) StoreDelivered(*d);
  else if (auto* r = dynamic_cast<GSM::TSMSStatusReport*>(&Sms)) StoreReport(*r);
}

void TModemLink::StoreDelivered(const GSM::TSMSDeliver& D, const std::string& Receipt, const std::string& Raw) {
  std::string text;
  std::optional<GSM::TConcatenation> part;
  try {
    auto content = GSM::MessageContent(D);
    text = content.Text();
    if (content.Header) part = content.Header->Concatenation();
  } catch (const GSM::ESMSDecodeError&) {
    // A malformed header: the text as it came, rather than nothing.
    text = GSM::DecodeText(D.Packed() ? GSM::tcGSM7 : GSM::tc8Bit, D.UD);
    part.reset();
  }
  int64_t stamp = UtcStamp(D.SCTS, D.TimeZone);
  if (part && part->Parts > 1) {
    Gw_.Store().StorePart({ClaimName_, D.OA, part->Reference, part->Parts, part->Part, text, stamp}, TClock::now());
  } else {
    Gw_.Store().StoreIncoming(TReceived{ClaimName_, D.OA, text, stamp, Receipt, Raw});
  }
  Gw_.Update(Name(), [](TModemState& s) { ++s.Counters.Received; });
}

void TModemLink::StoreReport(const GSM::TSMSStatusReport& R) {
  // 23.040 9.2.3.15: below 0x20 the transaction is complete; 0x20-0x3F the centre still tries.
  if (R.ST >= 0x20 && R.ST < 0x40) return;
  TReport r{R.MR, R.RA, R.ST < 0x20, TClockS::now()};
  if (MatchReport(r)) return;
  // A report may come before its part is recorded (while the modem is still busy with the send):
  // tried again after the next parts are.
  std::lock_guard lk(M_);
  if (EarlyReports_.size() < kMaxEarlyReports) EarlyReports_.push_back(r);
}

bool TModemLink::MatchReport(const TReport& R) {
  bool matched = Gw_.Store().MatchReport(ClaimName_, R.Reference, R.Recipient, R.Delivered, TClock::now(),
                                         Gw_.Config().ReportWindow);
  if (matched) Gw_.Update(Name(), [](TModemState& s) { ++s.Counters.Reports; });
  return matched;
}

void TModemLink::RetryEarlyReports() {
  std::deque<TReport> early;
  {
    std::lock_guard lk(M_);
    early.swap(EarlyReports_);
  }
  auto now = TClockS::now();
  std::deque<TReport> keep;
  bool storeAway = false;
  for (auto& r : early) {
    bool matched = false;
    if (!storeAway) {
      try {
        matched = MatchReport(r);
      } catch (const EStoreError&) {
        storeAway = true;  // they wait for the store, as the writes do
      }
    }
    if (!matched && now - r.Received < kEarlyReportKeep) keep.push_back(r);
  }
  std::lock_guard lk(M_);
  for (auto& r : keep) EarlyReports_.push_back(r);
}

namespace {
// What a modem holds at one place, as a stable digest: a message read again before its copy is
// deleted (after a crash, or a sweep) is known by it.
std::string Receipt(const std::string& Storage, int Index, const std::string& Content) {
  uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (unsigned char c : Content) {
    h ^= c;
    h *= 1099511628211ull;
  }
  char b[24];
  std::snprintf(b, sizeof b, "%016llx", static_cast<unsigned long long>(h));
  return Storage + ":" + std::to_string(Index) + ":" + b;
}
}  // namespace

bool TModemLink::ReadStored() {
  {
    std::lock_guard lk(M_);
    if (!ListDue_) return false;
    // One listing reads what every announcement so far was for; one that comes during it is
    // read by the next.
    ListDue_ = false;
  }
  // What this pass leaves undone (the store or the modem failed) is listed again next time;
  // receipts keep what was stored already from being stored twice.
  struct TListAgain {
    TModemLink* L;
    bool Done = false;
    ~TListAgain() {
      if (Done) return;
      std::lock_guard lk(L->M_);
      L->ListDue_ = true;
    }
  } again{this};
  auto entries = Drv_->ListStored();
  for (auto& e : entries) {
    auto* d = dynamic_cast<GSM::TSMSDeliver*>(e.Sms.get());
    auto* r = dynamic_cast<GSM::TSMSStatusReport*>(e.Sms.get());
    // Messages written to be sent from the modem's storage are not the gateway's to remove.
    if (e.Sms && !d && !r) continue;
    const std::string where = e.Storage + " " + std::to_string(e.Index);
    std::string receipt = Receipt(e.Storage, e.Index, e.Content);
    if (e.StampUnknown)
      Gw_.Log(Name() + ": the message at " + where + " has no readable time stamp (" + e.Problem +
              "); stored without it: " + e.Content);
    if (d) {
      StoreDelivered(*d, receipt, e.StampUnknown ? e.Content : "");
    } else if (r) {
      StoreReport(*r);
    } else {
      // One message the package cannot read must not stop the modem: what can be read of it and
      // the whole as the modem gave it are kept, it is named in the log, and taken off the
      // modem like the others.
      Gw_.Log(Name() + ": the message at " + where + " cannot be read (" +
              (e.Problem.empty() ? std::string("not a message") : e.Problem) + "); stored as it came: " + e.Content);
      Gw_.Store().StoreIncoming(TReceived{ClaimName_, e.From, e.Text, 0, receipt, e.Content.empty() ? "?" : e.Content});
      Gw_.Update(Name(), [](TModemState& s) { ++s.Counters.Received; });
    }
    Drv_->Delete(e);
    if (d || !r) Write([this, receipt] { Gw_.Store().ForgetReceipt(ClaimName_, receipt); });
  }
  again.Done = true;
  return !entries.empty();
}

// --- sending -----------------------------------------------------------------------------------

void TModemLink::FailCurrent(const std::string& Error, bool Retry, int Code) {
  TOutgoing m = Current_->Message;
  Current_.reset();
  const auto& c = Gw_.Config();
  bool again = Retry && m.Attempts < c.MaxAttempts;
  auto wait = c.RetryFirst * (1 << std::min(m.Attempts - 1, 16));
  auto next = TClock::now() + std::min<std::chrono::seconds>(wait, c.RetryMax);
  Write([this, m, Error, again, next, Code] { Gw_.Store().MarkFailed(m.Id, Error, again, next, Code); });
  Gw_.Update(Name(), [&](TModemState& s) {
    s.LastError = Error;
    ++(again ? s.Counters.Retries : s.Counters.Failed);
  });
  Gw_.Log(Name() + ": message " + std::to_string(m.Id) + (again ? " to be tried again: " : " failed: ") + Error);
}

bool TModemLink::SendPart() {
  auto now = TClockS::now();
  if (now < NextPart_) return false;
  const auto& c = Gw_.Config();
  if (!Current_) {
    if (Gw_.Stopping()) return false;
    SetIdle(true);
    // An empty outbox is looked at twice a second, or at once when this process queued.
    uint64_t pokes = Gw_.Pokes();
    if (now < NextClaim_ && pokes == SeenPokes_) return false;
    SeenPokes_ = pokes;
    int64_t room = Room();
    if (room <= 0) {
      NextClaim_ = now + 1s;
      return false;
    }
    // Least use first: a modem idle with fewer parts today that may send the next message has
    // half a second to take it.
    if (auto others = Gw_.LessUsedIdle(Name(), PartsToday_); !others.empty()) {
      auto next = Gw_.Store().NextDue(TClock::now(), Name());
      if (!next) {
        // Nothing due: the claim below could take one queued since, before they see it.
        Deferred_ = false;
        NextClaim_ = now + 500ms;
        return false;
      }
      bool theirs = next->Modems.empty() || std::find_first_of(next->Modems.begin(), next->Modems.end(),
                                                               others.begin(), others.end()) != next->Modems.end();
      if (!theirs) {
        Deferred_ = false;
      } else {
        if (!Deferred_) DeferredAt_ = now;
        Deferred_ = true;
        if (now - DeferredAt_ < kLeaveToLessUsed) {
          NextClaim_ = now + 50ms;
          return false;
        }
      }
    }
    Deferred_ = false;
    auto m = Gw_.Store().Claim(ClaimName_, TClock::now(), c.Lease, Name());
    if (!m) {
      NextClaim_ = now + 500ms;
      return false;
    }
    SetIdle(false);
    TCurrent cur;
    cur.Message = *m;
    try {
      GSM::TSplitOptions opt;
      // The same reference on every attempt, from any gateway: a retry goes on with the parts.
      opt.Reference = static_cast<int>(m->Id & 0xFF);
      opt.StatusReport = m->Report;
      if (m->ValidityMinutes > 0) opt.Validity = m->ValidityMinutes / 1440.0;
      cur.Parts = GSM::SplitText(m->Text, m->To, opt);
    } catch (const std::exception& e) {
      Current_ = std::move(cur);
      FailCurrent(e.what(), false);
      return true;
    }
    cur.Next = std::min(m->References.size(), cur.Parts.size());
    if (static_cast<int64_t>(cur.Parts.size() - cur.Next) > room) {
      // More parts than the limit leaves: given back for a modem with room, not sent in part.
      Write([this] { Gw_.Store().ReleaseClaims(ClaimName_); });
      SetLimited("the next message needs " + std::to_string(cur.Parts.size() - cur.Next) + " parts, " +
                 std::to_string(room) + " left");
      NextClaim_ = now + 60s;
      return true;
    }
    Current_ = std::move(cur);
  } else if (!Gw_.Store().RenewClaim(Current_->Message.Id, ClaimName_, TClock::now() + c.Lease)) {
    // Stalled past the lease: another gateway has called it unknown; it is not ours to finish.
    Gw_.Log(Name() + ": message " + std::to_string(Current_->Message.Id) + " lost its claim");
    Current_.reset();
    return true;
  }
  TCurrent& cur = *Current_;
  if (cur.Next < cur.Parts.size()) {
    int mr;
    try {
      mr = Drv_->SendPart(*cur.Parts[cur.Next]);
    } catch (const EPartFailed& e) {
      if (e.Kind == EPartFailed::pfMaybeSent) {
        // It may have gone out: never sent again, from here or by another gateway.
        int64_t id = cur.Message.Id;
        Current_.reset();
        Write([this, id] { Gw_.Store().MarkUnknown(id, kUnknownOutcome); });
        Gw_.Update(Name(), [&](TModemState& s) {
          s.LastError = e.what();
          ++s.Counters.Failed;
        });
        Gw_.Log(Name() + ": message " + std::to_string(id) + ": " + e.what());
        Down(e.what());
        return true;
      }
      // The modem's number decides; only a +CMS error can be the message's own fault.
      bool retry = e.Kind == EPartFailed::pfNoAnswer || (e.Cms >= 0 ? RetryableCms(e.Cms) : Retryable(e.what()));
      FailCurrent(e.what(), retry, e.Cms);
      if (e.Kind == EPartFailed::pfNoAnswer) Down(e.what());  // unplugged, switched off, hung
      else if (++ErrorRun_ >= kErrorRunLimit) Down(std::string("errors in a row: ") + e.what());
      return true;
    }
    // Out it went: recorded so before anything else may fail, whatever the store does.
    ++cur.Next;
    ErrorRun_ = 0;
    LastHeard_ = TClockS::now();
    int64_t id = cur.Message.Id;
    ++PartsToday_;
    Gw_.Update(Name(), [this](TModemState& s) {
      ++s.Counters.Parts;
      s.PartsToday = PartsToday_;
    });
    Write([this, id, mr] { Gw_.Store().AddSentPart(id, mr, TClock::now()); });
    RetryEarlyReports();
    if (Config_.RatePerMinute > 0)
      NextPart_ = TClockS::now() + std::chrono::microseconds(static_cast<int64_t>(60e6 / Config_.RatePerMinute));
  }
  if (cur.Next >= cur.Parts.size()) {
    int64_t id = cur.Message.Id;
    Current_.reset();
    Write([this, id] { Gw_.Store().MarkSent(id); });
    Gw_.Update(Name(), [](TModemState& s) { ++s.Counters.Sent; });
  }
  return true;
}

// --- the reset ladder ---------------------------------------------------------------------------

void TModemLink::Ladder() {
  const std::string opens = std::to_string(OpenFailures_) + " failed opens";
  if (OpenFailures_ == kResetAfter) {
    Gw_.Log(Name() + ": " + opens + "; resetting it (AT+CFUN=1,1)");
    Gw_.Update(Name(), [](TModemState& s) { ++s.Counters.Resets; });
    try {
      Gw_.DriverFactory()(Config_, [this](const std::string& Line) { Gw_.Log(Line); })->Reset();
    } catch (const std::exception& e) {
      Gw_.Log(Name() + ": the reset could not be sent: " + e.what());
    }
  } else if (OpenFailures_ == kHookAfter && !Config_.ResetHook.empty()) {
    Gw_.Log(Name() + ": " + opens + " after a reset; running its reset_hook");
    Gw_.Update(Name(), [](TModemState& s) { ++s.Counters.HookRuns; });
    int rc = RunHook(Config_.ResetHook, kHookSeconds);
    Gw_.Log(Name() + ": reset_hook ended " + (rc < 0 ? std::string("abnormally") : "with status " + std::to_string(rc)));
  } else if (OpenFailures_ == kGiveUpAfter) {
    Gw_.Log(Name() + ": " + opens + ", a reset" + (Config_.ResetHook.empty() ? "" : " and its hook") +
            " did not bring it back; down, tried again at the longest wait");
    Backoff_ = Gw_.Config().ReopenMax;
  }
}

// --- limits ------------------------------------------------------------------------------------

int64_t TModemLink::Room() {
  TTime now = TClock::now();
  std::time_t t = TClock::to_time_t(now);
  std::tm u{};
  ::gmtime_r(&t, &u);
  u.tm_hour = u.tm_min = u.tm_sec = 0;
  TTime day = TClock::from_time_t(::timegm(&u));
  u.tm_mday = 1;
  TTime month = TClock::from_time_t(::timegm(&u));
  if (day != Today_) {
    PartsToday_ = Gw_.Store().PartsSentSince(ClaimName_, day);
    Today_ = day;
  }
  int64_t room = INT64_MAX;
  std::string why, usage;
  auto window = [&](int Limit, TTime Since, const char* Name) {
    if (!Limit) return;
    int64_t used = Since == day ? PartsToday_ : Gw_.Store().PartsSentSince(ClaimName_, Since);
    std::string text = std::string(Name) + ": " + std::to_string(used) + " of " + std::to_string(Limit);
    usage += (usage.empty() ? "" : ", ") + text;
    if (Limit - used < room) {
      room = Limit - used;
      why = text;
    }
  };
  window(Config_.LimitPerMinute, now - 60s, "per minute");
  window(Config_.LimitPerDay, day, "per day");
  window(Config_.LimitPerMonth, month, "per month");
  Gw_.Update(Name(), [&](TModemState& s) {
    s.PartsToday = PartsToday_;
    s.Usage = usage;
  });
  SetLimited(room <= 0 ? why : "");
  return room;
}

void TModemLink::SetIdle(bool Idle) {
  if (Idle == Idle_) return;
  Idle_ = Idle;
  Gw_.Update(Name(), [&](TModemState& s) { s.Idle = Idle; });
}

void TModemLink::SetLimited(const std::string& Why) {
  bool changed = false;
  Gw_.Update(Name(), [&](TModemState& s) {
    changed = s.Limited != Why;
    s.Limited = Why;
  });
  if (!changed) return;
  Gw_.Log(Name() + (Why.empty() ? ": takes work again" : ": at its limit (" + Why + "); takes no work"));
  Record("");
}

// --- USSD --------------------------------------------------------------------------------------

TUssdReply TModemLink::Ussd(const std::string& Code, bool Reply) {
  auto r = std::make_shared<TUssdRequest>();
  r->Code = Code;
  r->Reply = Reply;
  auto done = r->Done.get_future();
  {
    std::lock_guard lk(M_);
    UssdRequests_.push_back(r);
  }
  Cv_.notify_one();
  // The answer's own wait, and a little for a part in flight before it.
  if (done.wait_for(std::chrono::milliseconds(kUssdAnswerMs) + 15s) != std::future_status::ready)
    return {504, "The modem " + Name() + " is busy; the request waits for it"};
  return done.get();
}

void TModemLink::ServeUssd() {
  std::deque<std::shared_ptr<TUssdRequest>> todo;
  {
    std::lock_guard lk(M_);
    todo.swap(UssdRequests_);
  }
  for (auto& r : todo) {
    TUssdReply reply;
    if (!Drv_) {
      reply = {503, "The modem " + Name() + " is down"};
    } else if (r->Reply && !UssdOpen_) {
      reply = {404, "No USSD menu is open on " + Name()};
    } else {
      try {
        GSM::TUssdAnswer a = Drv_->Ussd(r->Code, kUssdAnswerMs);
        reply.Network = a.Status;
        reply.Text = a.Text;
        if (a.Status >= 2) {
          reply.Status = 502;
          reply.Error = a.Status == 4 ? "The network does not support " + r->Code : "The network ended the session";
        }
        UssdOpen_ = a.MoreToCome();
        UssdIdleUntil_ = TClockS::now() + kUssdMenuIdle;
      } catch (const GSM::EUssdNoAnswer& e) {
        UssdOpen_ = false;
        reply = {504, e.what()};
      } catch (const GSM::EGSMError& e) {
        UssdOpen_ = false;
        reply = {502, e.what()};
      }
    }
    r->Done.set_value(reply);
  }
  if (UssdOpen_ && Drv_ && TClockS::now() > UssdIdleUntil_) {
    UssdOpen_ = false;
    Drv_->CancelUssd();
  }
}

// --- the step ----------------------------------------------------------------------------------

void TModemLink::Write(std::function<void()> W) {
  Writes_.push_back(std::move(W));
  FlushWrites();
}

bool TModemLink::FlushWrites() {
  while (!Writes_.empty()) {
    try {
      Writes_.front()();
    } catch (const EStoreError& e) {
      Gw_.Log(Name() + ": the store: " + e.what());
      StoreRetry_ = TClockS::now() + 1s;
      return false;
    }
    Writes_.pop_front();
  }
  return true;
}

bool TModemLink::Step() {
  auto now = TClockS::now();
  if (now < StoreRetry_ || !FlushWrites()) return false;
  if (!Drv_) {
    if (now < NextOpen_ || Gw_.Stopping()) {
      ServeUssd();  // refused at once while the modem is away
      return false;
    }
    Ladder();
    try {
      Open();
      OpenFailures_ = 0;
    } catch (const std::exception& e) {
      Drv_.reset();
      ++OpenFailures_;
      Down(e.what());
      return false;
    }
    return true;
  }
  try {
    if (Drv_->TakeRestart()) {
      // Started again by itself: formats and indications are gone. Opened anew, as after an
      // unplug but at once; the message in hand goes on with its next part, what it stored is
      // read again.
      Gw_.Log(Name() + ": the modem started again; setting it up again");
      Record("modem.restarted");
      Drv_.reset();
      Gw_.Release(Name());
      NextOpen_ = TClockS::now();
      return true;
    }
    ServeUssd();
    if (ReadStored()) return true;
    if (SendPart()) return true;
    if (now >= NextRecord_) Record("");
    if (now - LastHeard_ > kIdleCheck) {
      // Whether the modem is still there, and what it stored without saying so (a modem that
      // cannot announce stored messages, or an announcement lost in a reopen).
      LastHeard_ = now;
      {
        std::lock_guard lk(M_);
        ListDue_ = true;
      }
      RetryEarlyReports();
      // Its signal and registration, for every gateway on the store and the metrics.
      Drv_->Probe(Record_);
      Gw_.Update(Name(), [&](TModemState& s) {
        s.Signal = Record_.Signal;
        s.Registration = Record_.Registration;
      });
      Record("");
      return ReadStored();
    }
  } catch (const EStoreError& e) {
    Gw_.Log(Name() + ": the store: " + e.what());
    StoreRetry_ = now + 1s;  // the modem's work waits until the store answers again
  } catch (const std::exception& e) {
    Down(e.what());
  }
  return false;
}

}  // namespace Halyard::Gateway
