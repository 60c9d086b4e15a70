#include "halyard/gateway/ModemLink.h"

#include <algorithm>
#include <cmath>

#include "halyard/auxstr/AuxStr.h"
#include "halyard/gsm/ATReplies.h"
#include "halyard/gsm/GSM.h"
#include "halyard/gsm/GSMModels.h"
#include "halyard/gsm/LongSMS.h"
#include "halyard/gsm/SMSText.h"
#include "halyard/session/ModemSession.h"

namespace Halyard::Gateway {

namespace {

using namespace std::chrono_literals;

// An idle modem is asked this often whether it is still there (an unplugged one says nothing) and
// what it holds.
constexpr auto kIdleCheck = 30s;
// Failed sends in a row (with an answer) after which the modem is taken down and reopened.
constexpr int kErrorRunLimit = 3;
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

void TModemLink::Identify(GSM::TGSM& G) {
  auto ask = [&](const char* Cmd, uint8_t Mode) -> std::string {
    Framework::TStringList a;
    try {
      G.SendATCommand(Cmd, Mode, &a, 1);
    } catch (const GSM::EGSMError&) {
      if (G.LastResultLine().empty()) throw;  // no answer: the modem's trouble
      return "";  // not offered
    }
    return a.Count() ? AuxStr::Trim(a[0]) : "";
  };
  auto digits = [](std::string v) {
    v = GSM::StripATResponse(v);
    v.erase(std::remove(v.begin(), v.end(), '"'), v.end());
    return v.find_first_not_of("0123456789") == std::string::npos ? v : std::string();
  };
  Record_.Model = GSM::GSMEquipmentLongName[G.Equipment()];
  Record_.IMEI = digits(ask("AT+CGSN", GSM::wmAnswer));
  Record_.IMSI = digits(ask("AT+CIMI", GSM::wmAnswer));
  Record_.Operator.clear();
  std::string cops = ask("AT+COPS?", GSM::wmPrefixedAnswer);
  if (size_t q = cops.find('"'); q != std::string::npos)
    Record_.Operator = cops.substr(q + 1, cops.find('"', q + 1) - q - 1);
  std::string csq = ask("AT+CSQ", GSM::wmPrefixedAnswer);
  try {
    int rssi = csq.empty() ? 99 : GSM::ParseSignalQuality(csq);
    Record_.Signal = rssi == 99 ? -1 : rssi;
  } catch (const std::exception&) {
    Record_.Signal = -1;
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
    Cv_.wait_for(lk, 50ms, [this] { return Woken_ || !StoredIndexes_.empty(); });
    Woken_ = false;
  }
  Shutdown();
  Finished_.store(true);
}

void TModemLink::Open() {
  Session::TModemOptions o;
  o.Device = Config_.Device;
  o.Model = Config_.Model;
  o.Baud = Config_.Baud;
  o.PIN = Config_.PIN;
  o.SCA = Config_.SCA;
  o.Format = Config_.Format;
  o.TrafficLog = Config_.TrafficLog;
  o.LogName = Config_.Name;
  o.TimeoutMs = Config_.TimeoutMs;
  auto d = std::make_unique<Session::TModemSession>(o);
  GSM::TGSM* g = &d->Gsm();
  const std::string device = d->Device();
  // Messages stay in the modem until they are stored here: nothing is acknowledged to the network
  // before the store has it. Reports come directly (below): one lost in a crash leaves a message
  // "sent" rather than "delivered", and reading each from the storage would halve the rate.
  g->SetUnsolicitedIndication({GSM::uindSMSDeliver, GSM::uindOnlyIndication});
  g->SetOnUnsolicitedSMS([this](Framework::TObject*, int Index, GSM::TSMS* Sms) { OnMessage(Index, Sms); });
  d->Open();
  DirectReports(*g);
  Identify(*g);
  Dev_ = std::move(d);
  Gsm_ = g;
  SweepStored_ = true;
  ErrorRun_ = 0;
  Backoff_ = Gw_.Config().ReopenFirst;
  LastHeard_ = TClockS::now();
  Gw_.Update(Name(), [](TModemState& s) {
    s.Up = true;
    s.LastError.clear();
    ++s.Counters.Opens;
  });
  Gw_.Log(Name() + ": open on " + device + " as " + GSM::GSMEquipmentLongName[g->Equipment()] + ", storage " +
          g->MessageStorage() + ", +CNMI=" + g->IndicationSetting());
  Record("modem.up");
}

void TModemLink::DirectReports(GSM::TGSM& G) {
  Framework::TStringList now, range;
  try {
    G.SendATCommand("AT+CNMI?", GSM::wmPrefixedAnswer, &now, 1);
    G.SendATCommand("AT+CNMI=?", GSM::wmPrefixedAnswer, &range, 1);
  } catch (const std::exception&) {
    return;  // a modem that cannot say: messages only
  }
  if (now.Count() < 1 || range.Count() < 1) return;
  std::vector<std::string> values;
  std::string current = GSM::AnswerLine(now, "AT+CNMI?");
  for (size_t start = 0;;) {
    size_t comma = current.find(',', start);
    values.push_back(AuxStr::Trim(current.substr(start, comma - start)));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  std::string groups = GSM::AnswerLine(range, "AT+CNMI=?");
  int pos = 1;
  GSM::TByteSet ds;
  for (int i = 0; i < 4; ++i) ds = GSM::ExtractParamGroup(groups, pos);
  if (values.size() < 4) return;
  // Directly (+CDS) where the modem takes it, else stored (+CDSI) and read as messages are:
  // Qualcomm-based modems offer the first and refuse it.
  std::string refused;
  for (const char* how : {"1", "2"}) {
    if (!ds.Contains(how[0] - '0')) continue;
    values[3] = how;
    std::string cmd = "AT+CNMI=";
    for (size_t i = 0; i < values.size(); ++i) cmd += (i ? "," : "") + values[i];
    try {
      G.SendATCommand(cmd, GSM::wmResult, nullptr, 1);
      Gw_.Log(Name() + (how[0] == '1' ? ": delivery reports direct (+CDS)" : ": delivery reports stored (+CDSI)"));
      return;
    } catch (const GSM::EGSMError& e) {
      if (G.LastResultLine().empty()) throw;  // no answer: the modem's trouble, not the setting's
      refused = e.what();
    }
  }
  Gw_.Log(Name() + ": no delivery reports" + (refused.empty() ? std::string() : ": " + refused));
}

void TModemLink::Down(const std::string& Why) {
  if (Current_) FailCurrent(Why, true);
  {
    std::lock_guard lk(M_);
    StoredIndexes_.clear();  // read again from the modem's storage after the reopen
  }
  Gsm_ = nullptr;
  Dev_.reset();
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
  if (Gsm_) {
    Gw_.Update(Name(), [&](TModemState& s) { s.Up = false; });
    Record("modem.down");
  }
  FlushWrites();
  Gsm_ = nullptr;
  Dev_.reset();
}

// --- receiving ---------------------------------------------------------------------------------

void TModemLink::OnMessage(int Index, GSM::TSMS* Sms) {
  // On the main thread.
  if (!Sms) {
    // Stored by the modem: read, stored and deleted in this link's thread.
    if (Index >= 0) {
      std::lock_guard lk(M_);
      StoredIndexes_.push_back(Index);
    }
    Cv_.notify_one();
    return;
  }
  // A modem that can only deliver directly: acknowledged when this returns, so stored first, or
  // not acknowledged at all (the exception leaves it to the network to deliver again).
  if (auto* d = dynamic_cast<GSM::TSMSDeliver*>(Sms)) StoreDelivered(*d);
  else if (auto* r = dynamic_cast<GSM::TSMSStatusReport*>(Sms)) StoreReport(*r);
}

void TModemLink::StoreDelivered(const GSM::TSMSDeliver& D, const std::string& Receipt) {
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
    Gw_.Store().StoreIncoming(TReceived{ClaimName_, D.OA, text, stamp, Receipt, ""});
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
    if (!SweepStored_ && StoredIndexes_.empty()) return false;
    // One listing reads what every indication so far announced; one that comes during it is
    // read by the next.
    SweepStored_ = false;
    StoredIndexes_.clear();
  }
  struct TEntry {
    int Index;
    std::string Content;  // the PDU, or the text-mode answer
    std::unique_ptr<GSM::TSMS2> Sms;
    std::string Problem;
  };
  std::vector<TEntry> entries;
  const bool pdu = Gsm_->SMSFormat() != 1;
  if (pdu) {
    // Everything in one +CMGL: no read, and no pause after it, for each message.
    Framework::TStringList work;
    Gsm_->SendATCommand("AT+CMGL=4", GSM::GSMModel(Gsm_->Equipment()).ListErrorEnds ? GSM::wmAnswerOrError : GSM::wmAnswer,
                        &work, 1);
    for (int i = 0; i + 1 < work.Count(); ++i) {
      if (!GSM::IsATResponse(work[i])) continue;
      TEntry e;
      try {
        GSM::TListEntry h = GSM::ParseListEntry(GSM::StripATResponse(work[i]), false);
        e.Index = h.Index;
        e.Content = AuxStr::Trim(work[i + 1]);
        e.Sms = GSM::TSMS2::CreateSMS(Gsm_, e.Content, h.Status == 0 || h.Status == 1);
      } catch (const std::exception& x) {
        if (e.Content.empty()) continue;  // not an entry's header
        e.Problem = x.what();
      }
      ++i;
      entries.push_back(std::move(e));
    }
  } else {
    auto list = Gsm_->GetSMSList(4);
    for (int i = 0; i < list->Count(); ++i) {
      TEntry e;
      e.Index = Framework::StrToIntDef(list->Names(i), -1);
      if (e.Index < 0) continue;
      int status = -1;
      try {
        e.Sms = Gsm_->ReadSMS(e.Index, status);
        if (auto* d = dynamic_cast<GSM::TSMSDeliver*>(e.Sms.get()))
          e.Content = d->OA + "\n" + std::to_string(d->SCTS) + "\n" + d->UD;
      } catch (const GSM::EGSMError&) {
        throw;  // the modem's trouble, not the message's
      } catch (const std::exception& x) {
        e.Problem = x.what();
      }
      entries.push_back(std::move(e));
    }
  }
  const std::string storage = Gsm_->MessageStorage();
  // What this pass leaves undone (the store or the modem failed) is listed again next time;
  // receipts keep what was stored already from being stored twice.
  struct TListAgain {
    TModemLink* L;
    bool Done = false;
    ~TListAgain() {
      if (Done) return;
      std::lock_guard lk(L->M_);
      L->SweepStored_ = true;
    }
  } again{this};
  for (auto& e : entries) {
    auto* d = dynamic_cast<GSM::TSMSDeliver*>(e.Sms.get());
    auto* r = dynamic_cast<GSM::TSMSStatusReport*>(e.Sms.get());
    // Messages written to be sent from the modem's storage are not the gateway's to remove.
    if (e.Sms && !d && !r) continue;
    std::string receipt = Receipt(storage, e.Index, e.Content);
    if (d) {
      StoreDelivered(*d, receipt);
    } else if (r) {
      StoreReport(*r);
    } else {
      // One message the package cannot read must not stop the modem: kept as the modem gave it,
      // named in the log, and taken off the modem like the others.
      Gw_.Log(Name() + ": the message at " + storage + " " + std::to_string(e.Index) + " cannot be read (" +
              (e.Problem.empty() ? std::string("not a message") : e.Problem) + "); stored as it came: " + e.Content);
      Gw_.Store().StoreIncoming(TReceived{ClaimName_, "", "", 0, receipt, e.Content.empty() ? "?" : e.Content});
      Gw_.Update(Name(), [](TModemState& s) { ++s.Counters.Received; });
    }
    Gsm_->DeleteSMS(e.Index);
    if (d || !r) Write([this, receipt] { Gw_.Store().ForgetReceipt(ClaimName_, receipt); });
  }
  again.Done = true;
  return !entries.empty();
}

// --- sending -----------------------------------------------------------------------------------

void TModemLink::FailCurrent(const std::string& Error, bool Retry) {
  TOutgoing m = Current_->Message;
  Current_.reset();
  const auto& c = Gw_.Config();
  bool again = Retry && m.Attempts < c.MaxAttempts;
  auto wait = c.RetryFirst * (1 << std::min(m.Attempts - 1, 16));
  auto next = TClock::now() + std::min<std::chrono::seconds>(wait, c.RetryMax);
  Write([this, m, Error, again, next] { Gw_.Store().MarkFailed(m.Id, Error, again, next); });
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
    // An empty outbox is looked at twice a second, or at once when this process queued.
    uint64_t pokes = Gw_.Pokes();
    if (now < NextClaim_ && pokes == SeenPokes_) return false;
    SeenPokes_ = pokes;
    auto m = Gw_.Store().Claim(ClaimName_, TClock::now(), c.Lease);
    if (!m) {
      NextClaim_ = now + 500ms;
      return false;
    }
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
    Current_ = std::move(cur);
  } else if (!Gw_.Store().RenewClaim(Current_->Message.Id, ClaimName_, TClock::now() + c.Lease)) {
    // Stalled past the lease: another gateway has called it unknown; it is not ours to finish.
    Gw_.Log(Name() + ": message " + std::to_string(Current_->Message.Id) + " lost its claim");
    Current_.reset();
    return true;
  }
  TCurrent& cur = *Current_;
  if (cur.Next < cur.Parts.size()) {
    GSM::TSMSSubmit* part = cur.Parts[cur.Next].get();
    part->GSM = Gsm_;
    int saved = Gsm_->RepeatCount();
    Gsm_->SetRepeatCount(1);  // a part the modem may have sent is not sent again by the channel
    try {
      Gsm_->SendSMS(part);
    } catch (const GSM::EGSMNoAnswerAfterBody& e) {
      // It may have gone out: never sent again, from here or by another gateway.
      Gsm_->SetRepeatCount(saved);
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
    } catch (const std::exception& e) {
      Gsm_->SetRepeatCount(saved);
      std::string last = Gsm_->LastResultLine();
      bool answered = last.find("ERROR") != std::string::npos;
      std::string error = answered ? last : e.what();
      // The modem's number decides; only a +CMS error can be the message's own fault.
      auto* g = dynamic_cast<const GSM::EGSMError*>(&e);
      bool retry = g && g->Source == GSM::EGSMError::esCMS && g->Code >= 0 ? RetryableCms(g->Code) : Retryable(last);
      FailCurrent(error, retry);
      if (!answered) Down(error);  // no answer at all: unplugged, switched off, hung
      else if (++ErrorRun_ >= kErrorRunLimit) Down("errors in a row: " + error);
      return true;
    }
    Gsm_->SetRepeatCount(saved);
    // Out it went: recorded so before anything else may fail, whatever the store does.
    ++cur.Next;
    ErrorRun_ = 0;
    LastHeard_ = TClockS::now();
    int mr = Gsm_->LastMessageReference();
    int64_t id = cur.Message.Id;
    Gw_.Update(Name(), [](TModemState& s) { ++s.Counters.Parts; });
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
  if (!Gsm_) {
    if (now < NextOpen_ || Gw_.Stopping()) return false;
    try {
      Open();
    } catch (const std::exception& e) {
      Gsm_ = nullptr;
      Dev_.reset();
      Down(e.what());
      return false;
    }
    return true;
  }
  try {
    if (Gsm_->TakeRestart()) {
      // Started again by itself: formats and indications are gone. Opened anew, as after an
      // unplug but at once (its line state belongs to the main thread: it is not closed from
      // here); the message in hand goes on with its next part, what it stored is read again.
      Gw_.Log(Name() + ": the modem started again; setting it up again");
      Record("modem.restarted");
      {
        std::lock_guard lk(M_);
        StoredIndexes_.clear();  // read again from the storage after the open
      }
      Gsm_ = nullptr;
      Dev_.reset();
      NextOpen_ = TClockS::now();
      return true;
    }
    if (ReadStored()) return true;
    if (SendPart()) return true;
    if (now >= NextRecord_) Record("");
    if (now - LastHeard_ > kIdleCheck) {
      // Whether the modem is still there, and what it stored without saying so (a modem that
      // cannot announce stored messages, or an announcement lost in a reopen).
      LastHeard_ = now;
      SweepStored_ = true;
      RetryEarlyReports();
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
