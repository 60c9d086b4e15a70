#include "halyard/gateway/ModemDriver.h"

#include <algorithm>

#include "halyard/auxstr/AuxStr.h"
#include "halyard/gsm/ATReplies.h"
#include "halyard/gsm/GSM.h"
#include "halyard/gsm/GSMModels.h"
#include "halyard/session/ModemSession.h"

namespace Halyard::Gateway {

namespace {

// Octets of a hex PDU from octet Pos on; throws past its end.
int Octet(const std::string& Hex, size_t Pos) {
  if (Hex.size() < 2 * Pos + 2) throw std::out_of_range("truncated");
  return std::stoi(Hex.substr(2 * Pos, 2), nullptr, 16);
}

// The digits of an identity answer ("+CGSN: \"4901...\"" or "4901..."); "" for anything else.
std::string Digits(std::string V) {
  V = AuxStr::Trim(GSM::StripATResponse(V));
  V.erase(std::remove(V.begin(), V.end(), '"'), V.end());
  return !V.empty() && V.find_first_not_of("0123456789") == std::string::npos ? V : std::string();
}

// A command the modem may not offer: false when it refuses it; raises when nothing answers
// (the modem's trouble, not the command's).
bool AskOptional(GSM::TGSM& G, const char* Cmd, uint8_t Mode, Framework::TStringList& Answer) {
  try {
    G.SendATCommand(Cmd, Mode, &Answer, 1);
    return true;
  } catch (const GSM::EGSMError&) {
    if (G.LastResultLine().empty()) throw;
    return false;
  }
}

// The SIM's ICCID: AT+CCID as most makers spell it, else EF_ICCID through the SIM access
// command every 27.007 modem has; "" when neither answers with one.
std::string ReadIccid(GSM::TGSM& G) {
  for (const char* cmd : {"AT+CCID", "AT+CRSM=176,12258,0,0,10"}) {
    Framework::TStringList a;
    if (!AskOptional(G, cmd, GSM::wmAnswer, a)) continue;
    for (int i = 0; i < a.Count(); ++i)
      if (std::string iccid = GSM::ParseIccid(AuxStr::Trim(a[i])); !iccid.empty()) return iccid;
  }
  return "";
}

// A message whose service-centre time stamp is no date (all zeros, month 13) read all the same:
// its stamp (and a report's discharge time) replaced by a valid one, then left unknown.
std::unique_ptr<GSM::TSMS2> ReadWithoutStamp(GSM::TGSM* G, std::string Hex) {
  size_t pos = G->SCAinPDU() ? static_cast<size_t>(Octet(Hex, 0)) + 1 : 0;
  const int type = Octet(Hex, pos) & GSM::Tp::kMtiMask;
  if (type != GSM::Tp::kMtiDeliver && type != GSM::Tp::kMtiStatusReport) return nullptr;
  pos += type == GSM::Tp::kMtiDeliver ? 1 : 2;  // DELIVER: the first octet; STATUS-REPORT: and TP-MR
  pos += 2 + static_cast<size_t>(Octet(Hex, pos) + 1) / 2;  // the address: length, type, digits
  if (type == GSM::Tp::kMtiDeliver) pos += 2;  // TP-PID, TP-DCS
  const int stamps = type == GSM::Tp::kMtiDeliver ? 1 : 2;
  if (Hex.size() < 2 * (pos + 7 * static_cast<size_t>(stamps))) return nullptr;
  for (int i = 0; i < stamps; ++i, pos += 7) Hex.replace(2 * pos, 14, "00101000000000");
  auto sms = GSM::TSMS2::CreateSMS(G, Hex, type == GSM::Tp::kMtiDeliver);
  if (auto* d = dynamic_cast<GSM::TSMSDeliver*>(sms.get())) {
    d->SCTS = 0;
    d->TimeZone = 0;
  } else if (auto* r = dynamic_cast<GSM::TSMSStatusReport*>(sms.get())) {
    r->SCTS = r->DT = 0;
    r->TimeZone = r->DTTimeZone = 0;
  }
  return sms;
}

// The sender and body of a text-mode answer the package could not read ("+CMGR: <stat>,<oa>,...").
void ReadTextLeniently(const Framework::TStringList& Answer, TStoredMessage& M) {
  for (int i = 0; i < Answer.Count(); ++i) {
    if (!GSM::IsATResponse(Answer[i])) {
      M.Text += (M.Text.empty() ? "" : "\n") + Answer[i];
      continue;
    }
    const std::string& h = Answer[i];
    size_t a = h.find('"', h.find('"', h.find('"') + 1) + 1);  // the second quoted field
    if (a != std::string::npos) M.From = h.substr(a + 1, h.find('"', a + 1) - a - 1);
  }
}

class TATDriver : public IModemDriver {
 public:
  TATDriver(const TModemConfig& Config, TLogSink Log) : Config_(Config), Log_(std::move(Log)) {}

  Session::TModemOptions Options() const {
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
    // A gateway runs many modems: none of them waits for a thread the others share.
    o.OwnThreadEvents = true;
    return o;
  }

  void Open(TDriverEvents Events) override {
    auto d = std::make_unique<Session::TModemSession>(Options());
    GSM::TGSM* g = &d->Gsm();
    Events_ = std::move(Events);
    // Messages stay in the modem until they are stored: nothing is acknowledged to the network
    // before the store has it. Reports come directly (below): one lost in a crash leaves a
    // message "sent" rather than "delivered", and reading each from the storage would halve the
    // rate.
    g->SetUnsolicitedIndication({GSM::uindSMSDeliver, GSM::uindOnlyIndication});
    g->SetOnUnsolicitedLine([this](Framework::TObject*, const std::string& Line) { Ussd_.Offer(Line); });
    g->SetOnUnsolicitedSMS([this](Framework::TObject*, int Index, GSM::TSMS* Sms) {
      if (!Sms) {
        if (Index >= 0 && Events_.Stored) Events_.Stored();
      } else if (Events_.Direct) {
        Events_.Direct(*Sms);
      }
    });
    d->Open();
    DirectReports(*g);
    Dev_ = std::move(d);
    G_ = g;
  }

  std::string Describe() override {
    return "on " + Dev_->Device() + " as " + GSM::GSMEquipmentLongName[G_->Equipment()] + ", storage " +
           G_->MessageStorage() + ", +CNMI=" + G_->IndicationSetting();
  }

  void Identify(TModemRecord& R) override {
    auto ask = [&](const char* Cmd, uint8_t Mode) -> std::string {
      Framework::TStringList a;
      return AskOptional(*G_, Cmd, Mode, a) && a.Count() ? AuxStr::Trim(a[0]) : "";
    };
    R.Model = GSM::GSMEquipmentLongName[G_->Equipment()];
    R.IMEI = Digits(ask("AT+CGSN", GSM::wmAnswer));
    R.IMSI = Digits(ask("AT+CIMI", GSM::wmAnswer));
    R.ICCID = ReadIccid(*G_);
    R.Operator.clear();
    std::string cops = ask("AT+COPS?", GSM::wmPrefixedAnswer);
    if (size_t q = cops.find('"'); q != std::string::npos) R.Operator = cops.substr(q + 1, cops.find('"', q + 1) - q - 1);
  }

  void Probe(TModemRecord& R) override {
    auto ask = [&](const char* Cmd) -> std::string {
      Framework::TStringList a;
      return AskOptional(*G_, Cmd, GSM::wmPrefixedAnswer, a) && a.Count() ? AuxStr::Trim(a[0]) : "";
    };
    std::string csq = ask("AT+CSQ");
    try {
      int rssi = csq.empty() ? 99 : GSM::ParseSignalQuality(csq);
      R.Signal = rssi == 99 ? -1 : rssi;
    } catch (const std::exception&) {
      R.Signal = -1;
    }
    // "+CREG: <n>,<stat>[,...]": the second value.
    std::string creg = GSM::StripATResponse(ask("AT+CREG?"));
    size_t comma = creg.find(',');
    R.Registration = comma == std::string::npos ? -1 : std::atoi(creg.c_str() + comma + 1);
  }

  int SendPart(GSM::TSMSSubmit& Part) override {
    Part.GSM = G_;
    // A part the modem may have sent is not sent again by the channel.
    struct TOneAttempt {
      GSM::TGSM* g;
      int saved;
      ~TOneAttempt() { g->SetRepeatCount(saved); }
    } once{G_, G_->RepeatCount()};
    G_->SetRepeatCount(1);
    try {
      G_->SendSMS(&Part);
    } catch (const GSM::EGSMNoAnswerAfterBody& e) {
      throw EPartFailed(EPartFailed::pfMaybeSent, e.what());
    } catch (const std::exception& e) {
      std::string last = G_->LastResultLine();
      const bool answered = last.find("ERROR") != std::string::npos;
      auto* g = dynamic_cast<const GSM::EGSMError*>(&e);
      int cms = g && g->Source == GSM::EGSMError::esCMS ? g->Code : -1;
      throw EPartFailed(answered ? EPartFailed::pfRefused : EPartFailed::pfNoAnswer, answered ? last : e.what(), cms);
    }
    return G_->LastMessageReference();
  }

  std::vector<TStoredMessage> ListStored() override {
    std::vector<TStoredMessage> entries;
    const std::string storage = G_->MessageStorage();
    if (G_->SMSFormat() != 1) {
      // Everything in one +CMGL: no read, and no pause after it, for each message.
      Framework::TStringList work;
      G_->SendATCommand("AT+CMGL=4", GSM::GSMModel(G_->Equipment()).ListErrorEnds ? GSM::wmAnswerOrError : GSM::wmAnswer,
                        &work, 1);
      for (int i = 0; i + 1 < work.Count(); ++i) {
        if (!GSM::IsATResponse(work[i])) continue;
        TStoredMessage e;
        e.Storage = storage;
        GSM::TListEntry h;
        try {
          h = GSM::ParseListEntry(GSM::StripATResponse(work[i]), false);
        } catch (const std::exception&) {
          continue;  // not an entry's header
        }
        e.Index = h.Index;
        e.Content = AuxStr::Trim(work[++i]);
        try {
          e.Sms = GSM::TSMS2::CreateSMS(G_, e.Content, h.Status == 0 || h.Status == 1);
        } catch (const std::exception& x) {
          e.Problem = x.what();
          try {
            e.Sms = ReadWithoutStamp(G_, e.Content);
            e.StampUnknown = e.Sms != nullptr;
          } catch (const std::exception&) {
            e.Sms.reset();  // not only its stamp
          }
        }
        entries.push_back(std::move(e));
      }
      return entries;
    }
    auto list = G_->GetSMSList(4);
    for (int i = 0; i < list->Count(); ++i) {
      TStoredMessage e;
      e.Storage = storage;
      e.Index = Framework::StrToIntDef(list->Names(i), -1);
      if (e.Index < 0) continue;
      int status = -1;
      try {
        e.Sms = G_->ReadSMS(e.Index, status);
        if (auto* d = dynamic_cast<GSM::TSMSDeliver*>(e.Sms.get()))
          e.Content = d->OA + "\n" + std::to_string(d->SCTS) + "\n" + d->UD;
      } catch (const GSM::EGSMError&) {
        throw;  // the modem's trouble, not the message's
      } catch (const std::exception& x) {
        e.Problem = x.what();
        Framework::TStringList raw;
        G_->SendATCommand("AT+CMGR=" + std::to_string(e.Index), GSM::wmAnswer, &raw, 1);
        for (int k = 0; k < raw.Count(); ++k) e.Content += (k ? "\n" : "") + raw[k];
        ReadTextLeniently(raw, e);
      }
      entries.push_back(std::move(e));
    }
    return entries;
  }

  void Delete(const TStoredMessage& M) override { G_->DeleteSMS(M.Index); }
  bool TakeRestart() override { return G_->TakeRestart(); }
  GSM::TUssdAnswer Ussd(const std::string& Code, int TimeoutMs) override {
    return GSM::SendUssd(*G_, Ussd_, Code, TimeoutMs);
  }
  void CancelUssd() override { GSM::CancelUssd(*G_); }

  TDeviceIdentity ProbeIdentity(bool WithIccid) override {
    auto d = std::make_unique<Session::TModemSession>(Options());
    d->Gsm().SetRecTimeout(3000);
    d->Gsm().OpenComDevice();
    TDeviceIdentity id;
    try {
      Framework::TStringList a;
      d->Gsm().SendATCommand("AT+CGSN", GSM::wmAnswer, &a, 1);
      for (int i = 0; i < a.Count() && id.IMEI.empty(); ++i) id.IMEI = Digits(a[i]);
      if (WithIccid) id.ICCID = ReadIccid(d->Gsm());
    } catch (const GSM::EGSMError&) {
      d->Gsm().CloseComDevice(true);
      throw;
    }
    d->Gsm().CloseComDevice(true);
    return id;
  }

  void Reset() override {
    auto d = std::make_unique<Session::TModemSession>(Options());
    d->Gsm().SetRecTimeout(3000);
    d->Gsm().OpenComDevice();
    try {
      d->Gsm().SendATCommand("AT+CFUN=1,1", GSM::wmResult, nullptr, 1);
    } catch (const GSM::EGSMError&) {
      // A modem that is hung enough may take it without a word.
    }
    d->Gsm().CloseComDevice(true);
  }

 private:
  void Log(const std::string& Line) {
    if (Log_) Log_(Config_.Name + ": " + Line);
  }

  // Status reports as they come (+CDS), where the modem takes it; else stored (+CDSI).
  void DirectReports(GSM::TGSM& G) {
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
    // Qualcomm-based modems offer the direct form and refuse it.
    std::string refused;
    for (const char* how : {"1", "2"}) {
      if (!ds.Contains(how[0] - '0')) continue;
      values[3] = how;
      std::string cmd = "AT+CNMI=";
      for (size_t i = 0; i < values.size(); ++i) cmd += (i ? "," : "") + values[i];
      try {
        G.SendATCommand(cmd, GSM::wmResult, nullptr, 1);
        Log(how[0] == '1' ? "delivery reports direct (+CDS)" : "delivery reports stored (+CDSI)");
        return;
      } catch (const GSM::EGSMError& e) {
        if (G.LastResultLine().empty()) throw;  // no answer: the modem's trouble, not the setting's
        refused = e.what();
      }
    }
    Log("no delivery reports" + (refused.empty() ? std::string() : ": " + refused));
  }

  TModemConfig Config_;
  TLogSink Log_;
  TDriverEvents Events_;
  GSM::TUssdMailbox Ussd_;  // before Dev_: the modem's thread offers it lines until Dev_ goes
  std::unique_ptr<Session::TModemSession> Dev_;
  GSM::TGSM* G_ = nullptr;
};

}  // namespace

std::unique_ptr<IModemDriver> MakeATDriver(const TModemConfig& Modem, const TLogSink& Log) {
  return std::make_unique<TATDriver>(Modem, Log);
}

}  // namespace Halyard::Gateway
