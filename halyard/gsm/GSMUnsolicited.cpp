// Unsolicited indications: the "+CNMI" setting and the handling of every framed line.
#include "halyard/auxstr/AuxStr.h"
#include "halyard/gsm/ATReplies.h"
#include "halyard/gsm/CellBroadcast.h"
#include "halyard/gsm/GSM.h"

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
  std::string p = first(m, {2, 1, 0, 3}) + ",";
  std::string f;
  if (!V.Contains(uindSMSDeliver)) f = "0";
  else if (only) f = first(mt, {1});
  else f = first(mt, {2, 3});
  if (V.Contains(uindSMSDeliver) && f.empty()) r.Include(uindSMSDeliver);
  p += f + ",";
  if (!V.Contains(uindCellBroadcast)) f = "0";
  else if (only && bm.Contains(1)) f = "1";
  else if (bm.Contains(2)) f = "2";
  else if (!only && bm.Contains(3)) f = "3";
  else f.clear();
  if (V.Contains(uindCellBroadcast) && f.empty()) r.Include(uindCellBroadcast);
  p += f + ",";
  if (!V.Contains(uindSMSStatusReport)) f = "0";
  else if (!only && ds.Contains(1)) f = "1";
  else if (ds.Contains(2)) f = "2";
  else f.clear();
  if (V.Contains(uindSMSStatusReport) && f.empty()) r.Include(uindSMSStatusReport);
  p += f;
  if (bfr.Contains(1)) p += ",1";
  else if (bfr.Contains(0)) p += ",0";
  SendATCommand("AT+CNMI=" + p, wmResult);
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

void TGSM::ProcessRxLine(const std::string& Line) {
  auto starts = [&](const char* prefix) { return Line.rfind(prefix, 0) == 0; };
  const bool text = SMSFormat_ == 1;
  // 1. The body of the message whose header came before.
  if (PendingSMS_) {
    std::unique_ptr<TSMS> sms = std::move(PendingSMS_);  // freed on every way out
    if (auto* cb = dynamic_cast<TCellBroadcast*>(sms.get())) {
      if (text) cb->Content = Line;
      else cb->SetPDU(Line);
      DoUnsolicitedSMS(-1, cb);
    } else if (auto* sr = dynamic_cast<TSMSStatusReport*>(sms.get())) {
      sr->SetPDU(Line);
      DoUnsolicitedSMS(-1, sr);
      Acknowledge();
    } else if (auto* d = dynamic_cast<TSMSDeliver*>(sms.get())) {
      if (text) d->UD = Line;
      else d->SetPDU(Line);
      DoUnsolicitedSMS(-1, d);
      Acknowledge();
    }
    return;
  }
  int pos;
  auto param = [&] { return ExtractParam(Line, pos); };
  auto number = [&] { return StrToInt(param()); };
  // 2. Network registration.
  if (starts("+CREG: ")) {
    if (Line.find('(') != std::string::npos) return;
    int status = ParseRegistration(Line);
    if (status != RegistrationStatus_) DoNetworkRegistration(status);
    return;
  }
  // 3. The WaveCom module has finished starting up.
  if (Equipment_ == eqWaveCom && starts("+WIND:")) {
    pos = 7;
    if (Framework::StrToIntDef(param(), -1) == 4) ResponseEvent_.SetEvent();
    return;
  }
  // 4. Signal as registration on the T260.
  if (Equipment_ == eqT260 && starts("+CSQ: ") && Line.find('(') == std::string::npos) {
    int status = ParseSignalQuality(Line) == 99 ? 0 : 1;
    if (status != RegistrationStatus_) DoNetworkRegistration(status);
    return;
  }
  // 5, 6. An item stored by the modem.
  bool stored = starts("+CMTI:") || starts("+CBMI:") || starts("+CDSI:");
  if (stored || (Equipment_ == eqT260 && starts("+CDS:"))) {
    auto [storage, index] = ParseStoredIndication(Line, stored ? 6 : 5);
    try {
      Setmem1(storage);
    } catch (const std::exception& e) {
      // The indication is not lost: the application hears why it cannot be followed.
      Application().HandleException(std::make_exception_ptr(
          EGSMError(Format("Message %d in storage %s cannot be reached: %s", index, storage, e.what()))));
      return;
    }
    DoUnsolicitedSMS(index, nullptr);
    return;
  }
  // 7. A message delivered directly: its body follows.
  if (starts("+CMT:")) {
    PendingSMS_ = std::make_unique<TSMSDeliver>();
    auto* d = static_cast<TSMSDeliver*>(PendingSMS_.get());
    pos = 6;
    if (text) {
      TDeliverTextHeader h = ParseDeliverTextHeader(Line, pos);
      d->OA = h.OA;
      d->SCTS = h.SCTS;
      d->TimeZone = h.TimeZone;
      if (h.Detailed) {
        d->PDUType = h.FO;
        d->PID = h.PID;
        d->DCS = h.DCS;
      }
      PendingLength_ = h.Length;
    } else {
      param();
      param();  // alpha, length
      PendingLength_ = 512;
    }
    return;
  }
  // 8. A status report.
  if (starts("+CDS:")) {
    PendingSMS_ = std::make_unique<TSMSStatusReport>();
    pos = 6;
    if (text) {
      std::unique_ptr<TSMS> owned = std::move(PendingSMS_);
      auto* r = static_cast<TSMSStatusReport*>(owned.get());
      r->PDUType = static_cast<uint8_t>(number());
      r->MR = static_cast<uint8_t>(number());
      r->RA = TrimQuotes(param());
      param();
      r->SCTS = TSMS2::DecodeTextStamp(TrimQuotes(param()), r->TimeZone);
      r->DT = TSMS2::DecodeTextStamp(TrimQuotes(param()), r->DTTimeZone);
      r->ST = static_cast<uint8_t>(number());
      DoUnsolicitedSMS(-1, r);
      Acknowledge();
    } else {
      param();  // length
      PendingLength_ = 512;
    }
    return;
  }
  // 9. A cell broadcast page.
  if (starts("+CBM:")) {
    PendingSMS_ = std::make_unique<TCellBroadcast>();
    auto* cb = static_cast<TCellBroadcast*>(PendingSMS_.get());
    pos = 6;
    if (text) {
      cb->SetMessageCode(static_cast<uint16_t>(number()));
      cb->MessageIdentifier = static_cast<uint16_t>(number());
      cb->DCS = static_cast<uint8_t>(number());
      cb->SetPageNumber(4, static_cast<uint8_t>(number()));
      cb->SetPageNumber(0, static_cast<uint8_t>(number()));
      PendingLength_ = 0;
    } else {
      param();
      PendingLength_ = 512;
    }
    return;
  }
  DoUnsolicitedLine(Line);
}

}  // namespace Halyard::GSM
