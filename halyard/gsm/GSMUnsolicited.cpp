// Unsolicited indications: the "+CNMI" setting and the handling of every framed line.
#include "halyard/auxstr/AuxStr.h"
#include "halyard/gsm/ATReplies.h"
#include "halyard/gsm/CellBroadcast.h"
#include "halyard/gsm/GSM.h"
#include "halyard/gsm/GSMModels.h"
#include "halyard/gsm/Unsolicited.h"

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

TUnsolicitedAction UnsolicitedAction(const std::string& Line, const TUnsolicitedContext& C) {
  using A = TUnsolicitedAction;
  auto starts = [&](const char* prefix) { return Line.rfind(prefix, 0) == 0; };
  A a;
  auto kind = [&](A::TKind k) {
    a.Kind = k;
    return std::move(a);
  };
  // Network registration; the answer to "AT+CREG=?" is ignored.
  if (starts("+CREG: ")) {
    if (Line.find('(') != std::string::npos) return kind(A::uaNone);
    a.Registration = ParseRegistration(Line);
    return kind(A::uaRegistration);
  }
  // The WaveCom module has finished starting up.
  if (starts("+WIND:") && C.PINStep == psWaveCom) {
    int pos = 7;
    return kind(Framework::StrToIntDef(ExtractParam(Line, pos), -1) == 4 ? A::uaStartedUp : A::uaNone);
  }
  // Signal as registration, where opening asks for the signal.
  if (starts("+CSQ: ") && C.Registration == rsCSQ && Line.find('(') == std::string::npos) {
    a.Registration = ParseSignalQuality(Line) == 99 ? 0 : 1;
    return kind(A::uaRegistration);
  }
  // An item stored by the modem. Quectel stores reports in "SR" and names "SM" in the indication.
  if (starts("+CMTI:") || starts("+CBMI:") || starts("+CDSI:") || (starts("+CDS:") && C.StatusReportStored)) {
    a.Stored = ParseStoredIndication(Line, starts("+CDS:") ? 5 : 6);
    if (starts("+CDSI:") && C.ReportsInSR) a.Stored.Storage = "\"SR\"";
    return kind(A::uaStored);
  }
  // A message delivered directly: its body follows.
  if (starts("+CMT:")) {
    auto d = std::make_unique<TSMSDeliver>();
    if (C.TextMode) {
      int pos = 6;
      TDeliverTextHeader h = ParseDeliverTextHeader(Line, pos);
      h.ApplyTo(*d);
      a.BodyLength = h.Length;
    }
    a.Message = std::move(d);
    return kind(A::uaAwaitBody);
  }
  // A status report: in text mode whole in its line.
  if (starts("+CDS:")) {
    auto r = std::make_unique<TSMSStatusReport>();
    if (!C.TextMode) {
      a.Message = std::move(r);
      return kind(A::uaAwaitBody);
    }
    TStatusReportTextHeader h = ParseStatusReportTextHeader(Line.substr(5));
    r->PDUType = h.FO;
    r->MR = h.MR;
    r->RA = h.RA;
    r->SCTS = h.SCTS;
    r->TimeZone = h.TimeZone;
    r->DT = h.DT;
    r->DTTimeZone = h.DTTimeZone;
    r->ST = h.ST;
    a.Message = std::move(r);
    return kind(A::uaMessage);
  }
  // A cell broadcast page.
  if (starts("+CBM:")) {
    auto cb = std::make_unique<TCellBroadcast>();
    if (C.TextMode) {
      TBroadcastTextHeader h = ParseBroadcastTextHeader(Line.substr(5));
      cb->SetMessageCode(h.SerialNumber);
      cb->MessageIdentifier = h.MessageIdentifier;
      cb->DCS = h.DCS;
      cb->SetPageNumber(4, h.Page);
      cb->SetPageNumber(0, h.Pages);
      a.BodyLength = 0;
    }
    a.Message = std::move(cb);
    return kind(A::uaAwaitBody);
  }
  return kind(A::uaLine);
}

void CompleteBody(TSMS& Message, const std::string& Line, bool TextMode) {
  if (auto* cb = dynamic_cast<TCellBroadcast*>(&Message)) {
    if (TextMode) cb->Content = Line;
    else cb->SetPDU(Line);
  } else if (auto* d = dynamic_cast<TSMSDeliver*>(&Message); d && TextMode) {
    d->UD = Line;
  } else if (auto* m = dynamic_cast<TSMS2*>(&Message)) {
    m->SetPDU(Line);
  }
}

void TGSM::ProcessRxLine(const std::string& aLine) {
  const bool text = SMSFormat_ == 1;
  // The body of the message whose header came before.
  if (PendingSMS_) {
    std::unique_ptr<TSMS> sms = std::move(PendingSMS_);  // freed on every way out
    CompleteBody(*sms, aLine, text);
    DoUnsolicitedSMS(-1, sms.get());
    if (!dynamic_cast<TCellBroadcast*>(sms.get())) Acknowledge();
    return;
  }
  TUnsolicitedAction a = UnsolicitedAction(aLine, TUnsolicitedContext::Of(GSMModel(Equipment_), text));
  switch (a.Kind) {
    case TUnsolicitedAction::uaNone:
      return;
    case TUnsolicitedAction::uaRegistration:
      RegistrationChanged(a.Registration);
      return;
    case TUnsolicitedAction::uaStartedUp:
      Channel_.ResponseEvent().SetEvent();
      return;
    case TUnsolicitedAction::uaStored:
      StoredIndication(a.Stored);
      return;
    case TUnsolicitedAction::uaAwaitBody:
      PendingSMS_ = std::move(a.Message);
      if (a.BodyLength < 0) Channel_.AwaitPDU();
      else Channel_.AwaitBody(a.BodyLength);
      return;
    case TUnsolicitedAction::uaMessage:
      DoUnsolicitedSMS(-1, a.Message.get());
      Acknowledge();
      return;
    case TUnsolicitedAction::uaLine:
      break;
  }
  // A modem that started again by itself has lost its settings: its owner opens it again.
  if (IsRestartLine(aLine) && Channel_.Framed() > OpenMark_) RestartSeen_ = true;
  DoUnsolicitedLine(aLine);
}

void TGSM::RegistrationChanged(int Status) {
  if (Status != RegistrationStatus_) DoNetworkRegistration(Status);
}

void TGSM::StoredIndication(const TStoredIndication& Item) {
  const auto& [storage, index] = Item;
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
