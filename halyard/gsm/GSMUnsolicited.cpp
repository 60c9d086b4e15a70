// Unsolicited indications: the "+CNMI" setting and the handling of every framed line.
#include "halyard/auxstr/AuxStr.h"
#include "halyard/gsm/ATReplies.h"
#include "halyard/gsm/CellBroadcast.h"
#include "halyard/gsm/GSM.h"
#include "halyard/gsm/GSMModels.h"

namespace Halyard::GSM {

using Framework::Application;
using Framework::Format;
using Framework::StrToInt;

void TGSM::SetUnsolicitedIndication(TGSMUnsolicitedIndicationSet Value) {
  if (Active() && Value != UnsolicitedIndication_) {
    Busy();
    struct Guard {
      TGSM* g;
      ~Guard() { g->Unbusy(); }
    } guard{this};
    Value -= DoSetUnsolicitedIndication(Value);
  }
  UnsolicitedIndication_ = Value;
}

TGSMUnsolicitedIndicationSet TGSM::DoSetUnsolicitedIndication(TGSMUnsolicitedIndicationSet V) {
  TStringList answer;
  Command("AT+CNMI=?", wmPrefixedAnswer, &answer);
  const std::string t = AnswerLine(answer, "AT+CNMI=?");
  int pos = 1;
  TByteSet m = ExtractParamGroup(t, pos), mt = ExtractParamGroup(t, pos), bm = ExtractParamGroup(t, pos),
           ds = ExtractParamGroup(t, pos), bfr = ExtractParamGroup(t, pos);
  TGSMUnsolicitedIndicationSet r;
  bool only = V.Contains(uindOnlyIndication);
  auto first = [](const TByteSet& set, std::initializer_list<int> choices) -> std::string {
    for (int c : choices)
      if (set.Contains(c)) return std::to_string(c);
    return "";
  };
  std::string mode = first(m, {2, 1, 0, 3});
  std::string f;
  if (!V.Contains(uindSMSDeliver)) f = "0";
  else if (only) f = first(mt, {1});
  else f = first(mt, {2, 3});
  if (V.Contains(uindSMSDeliver) && f.empty()) r.Include(uindSMSDeliver);
  std::string deliver = f;
  if (!V.Contains(uindCellBroadcast)) f = "0";
  else if (only && bm.Contains(1)) f = "1";
  else if (bm.Contains(2)) f = "2";
  else if (!only && bm.Contains(3)) f = "3";
  else f.clear();
  if (V.Contains(uindCellBroadcast) && f.empty()) r.Include(uindCellBroadcast);
  std::string broadcast = f;
  if (!V.Contains(uindSMSStatusReport)) f = "0";
  else if (!only && ds.Contains(1)) f = "1";
  else if (ds.Contains(2)) f = "2";
  else f.clear();
  if (V.Contains(uindSMSStatusReport) && f.empty()) r.Include(uindSMSStatusReport);
  std::string reports = f;
  std::string buffer;
  if (bfr.Contains(1)) buffer = ",1";
  else if (bfr.Contains(0)) buffer = ",0";
  auto setting = [&] { return mode + "," + deliver + "," + broadcast + "," + reports + buffer; };
  if (!GSMModel(Equipment_).FallBackIndications) {
    SendATCommand("AT+CNMI=" + setting(), wmResult);
  } else {
    // Qualcomm-based modems (Sierra MC7455) offer <ds> 1 and refuse it: step down as
    // ModemManager's CNMI sequence does, reports 1 -> 2 -> 0, then messages 2 -> 1 -> 0.
    auto lower = [](std::string& v, std::initializer_list<int> order, const TByteSet& offered) {
      bool after = false;
      for (int c : order) {
        if (after && (c == 0 || offered.Contains(c))) return v = std::to_string(c), true;
        after = after || std::to_string(c) == v;
      }
      return false;
    };
    for (;;) {
      try {
        Command("AT+CNMI=" + setting(), wmResult, nullptr, 1);
        break;
      } catch (const EGSMError&) {
        if (LastResultLine().empty()) throw;  // no answer: not a matter of the values
        if (!lower(reports, {1, 2, 0}, ds) && !lower(deliver, {3, 2, 1, 0}, mt) &&
            !lower(broadcast, {3, 2, 1, 0}, bm))
          throw;
      }
    }
    if (V.Contains(uindSMSDeliver) && deliver == "0") r.Include(uindSMSDeliver);
    if (V.Contains(uindCellBroadcast) && broadcast == "0") r.Include(uindCellBroadcast);
    if (V.Contains(uindSMSStatusReport) && reports == "0") r.Include(uindSMSStatusReport);
  }
  std::lock_guard lk(IndicationLock_);
  IndicationSetting_ = setting();
  return r;
}

void TGSM::DoNetworkRegistration(int aNewStatus) {
  if (OnNetworkRegistration_) OnNetworkRegistration_(this, aNewStatus);
  RegistrationStatus_ = aNewStatus;
}

void TGSM::DoUnsolicitedSMS(int Idx, TSMS* aSMS) {
  if (OnUnsolicitedSMS_) OnUnsolicitedSMS_(this, Idx, aSMS);
}

void TGSM::DoUnsolicitedLine(const std::string& aLine) {
  if (OnUnsolicitedLine_) OnUnsolicitedLine_(this, aLine);
}

void TGSM::Acknowledge() {
  if (SMSService_ >= 1) Command("AT+CNMA", wmPrefixed);
}

void TGSM::ProcessRxLine(const std::string& aLine) {
  // 1. The body of the message whose header came before.
  if (PendingSMS_) {
    const bool text = SMSFormat_ == 1;
    std::unique_ptr<TSMS> sms = std::move(PendingSMS_);  // freed on every way out
    if (auto* cb = dynamic_cast<TCellBroadcast*>(sms.get())) {
      if (text) cb->Content = aLine;
      else cb->SetPDU(aLine);
      DoUnsolicitedSMS(-1, cb);
    } else if (auto* sr = dynamic_cast<TSMSStatusReport*>(sms.get())) {
      sr->SetPDU(aLine);
      DoUnsolicitedSMS(-1, sr);
      Acknowledge();
    } else if (auto* d = dynamic_cast<TSMSDeliver*>(sms.get())) {
      if (text) d->UD = aLine;
      else d->SetPDU(aLine);
      DoUnsolicitedSMS(-1, d);
      Acknowledge();
    }
    return;
  }
  // The other rules in their order: the first whose prefix matches (letter case included) and
  // that takes the line decides; a line no rule takes is the application's.
  using TRule = bool (*)(TGSM& g, const std::string& Line);
  static const std::pair<const char*, TRule> kRules[] = {
      // 2. Network registration; the answer to "AT+CREG=?" is ignored.
      {"+CREG: ",
       [](TGSM& g, const std::string& Line) {
         if (Line.find('(') == std::string::npos) g.RegistrationChanged(ParseRegistration(Line));
         return true;
       }},
      // 3. The WaveCom module has finished starting up.
      {"+WIND:",
       [](TGSM& g, const std::string& Line) {
         if (GSMModel(g.Equipment_).PINStep != psWaveCom) return false;
         int pos = 7;
         if (Framework::StrToIntDef(ExtractParam(Line, pos), -1) == 4) g.Channel_.ResponseEvent().SetEvent();
         return true;
       }},
      // 4. Signal as registration, where opening asks for the signal.
      {"+CSQ: ",
       [](TGSM& g, const std::string& Line) {
         if (GSMModel(g.Equipment_).Registration != rsCSQ || Line.find('(') != std::string::npos) return false;
         g.RegistrationChanged(ParseSignalQuality(Line) == 99 ? 0 : 1);
         return true;
       }},
      // 5, 6. An item stored by the modem.
      {"+CMTI:", [](TGSM& g, const std::string& Line) { return g.StoredIndication(Line, 6), true; }},
      {"+CBMI:", [](TGSM& g, const std::string& Line) { return g.StoredIndication(Line, 6), true; }},
      {"+CDSI:", [](TGSM& g, const std::string& Line) { return g.StoredIndication(Line, 6), true; }},
      {"+CDS:",
       [](TGSM& g, const std::string& Line) {
         if (!GSMModel(g.Equipment_).StatusReportStored) return false;
         return g.StoredIndication(Line, 5), true;
       }},
      // 7. A message delivered directly: its body follows.
      {"+CMT:",
       [](TGSM& g, const std::string& Line) {
         auto* d = new TSMSDeliver;
         g.PendingSMS_.reset(d);
         int pos = 6;
         if (g.SMSFormat_ == 1) {
           TDeliverTextHeader h = ParseDeliverTextHeader(Line, pos);
           h.ApplyTo(*d);
           g.Channel_.AwaitBody(h.Length);
         } else {
           g.Channel_.AwaitPDU();
         }
         return true;
       }},
      // 8. A status report: in text mode whole in its line.
      {"+CDS:",
       [](TGSM& g, const std::string& Line) {
         if (g.SMSFormat_ != 1) {
           g.PendingSMS_ = std::make_unique<TSMSStatusReport>();
           g.Channel_.AwaitPDU();
           return true;
         }
         TStatusReportTextHeader h = ParseStatusReportTextHeader(Line.substr(5));
         TSMSStatusReport r;
         r.PDUType = h.FO;
         r.MR = h.MR;
         r.RA = h.RA;
         r.SCTS = h.SCTS;
         r.TimeZone = h.TimeZone;
         r.DT = h.DT;
         r.DTTimeZone = h.DTTimeZone;
         r.ST = h.ST;
         g.DoUnsolicitedSMS(-1, &r);
         g.Acknowledge();
         return true;
       }},
      // 9. A cell broadcast page.
      {"+CBM:",
       [](TGSM& g, const std::string& Line) {
         auto* cb = new TCellBroadcast;
         g.PendingSMS_.reset(cb);
         if (g.SMSFormat_ == 1) {
           TBroadcastTextHeader h = ParseBroadcastTextHeader(Line.substr(5));
           cb->SetMessageCode(h.SerialNumber);
           cb->MessageIdentifier = h.MessageIdentifier;
           cb->DCS = h.DCS;
           cb->SetPageNumber(4, h.Page);
           cb->SetPageNumber(0, h.Pages);
           g.Channel_.AwaitBody(0);
         } else {
           g.Channel_.AwaitPDU();
         }
         return true;
       }},
  };
  for (const auto& [prefix, rule] : kRules)
    if (aLine.rfind(prefix, 0) == 0 && rule(*this, aLine)) return;
  // A modem that started again by itself has lost its settings: its owner opens it again.
  if (IsRestartLine(aLine) && Channel_.Framed() > OpenMark_) RestartSeen_ = true;
  // 10.
  DoUnsolicitedLine(aLine);
}

void TGSM::RegistrationChanged(int Status) {
  if (Status != RegistrationStatus_) DoNetworkRegistration(Status);
}

void TGSM::StoredIndication(const std::string& Line, int PrefixLength) {
  auto [storage, index] = ParseStoredIndication(Line, PrefixLength);
  // Quectel stores reports in "SR" and names "SM" in the indication.
  if (Line.rfind("+CDSI:", 0) == 0 && GSMModel(Equipment_).ReportsInSR) storage = "\"SR\"";
  try {
    Setmem1(storage);
  } catch (const std::exception& e) {
    // The indication is not lost: the application hears why it cannot be followed.
    Application().HandleException(std::make_exception_ptr(
        EGSMError(Format("Message %d in storage %s cannot be reached: %s", index, storage, e.what()))));
    return;
  }
  DoUnsolicitedSMS(index, nullptr);
}

}  // namespace Halyard::GSM
