// Sending, reading, listing and deleting short messages, per modem model.
#include "halyard/auxstr/AuxStr.h"
#include "halyard/gsm/ATReplies.h"
#include "halyard/gsm/GSM.h"
#include "halyard/gsm/GSMModels.h"
#include "halyard/resources/Resources.h"

namespace Halyard::GSM {

namespace R = Halyard::Resources;
using Framework::Format;

bool TGSM::SCAinPDU() const { return GSMModel(Equipment_).SCAinPDU; }

int TGSM::GetCMGLength(TSMS2* M) {
  const TGSMModel& model = GSMModel(Equipment_);
  int n = static_cast<int>(M->GetPDU().size() / 2);
  switch (model.LengthRule) {
    case clFixed: return model.FixedLength;
    case clPDU: return n;
    case clTPDU: return n - 1;
  }
  return n;
}

void TGSM::SendSMS(TSMS2* M) {
  auto* submit = dynamic_cast<TSMSSubmit*>(M);
  if (!submit && !dynamic_cast<TSMSCommand*>(M)) GSMError(R::LoadResString(R::sSMSTypeNotSupported));
  LastMessageReference_ = -1;
  TStringList answer;  // "+CMGS: <mr>[,<scts>]"
  struct TBodyWait {
    TATChannel& c;
    ~TBodyWait() { c.Settings.BodyTimeout = 0; }
  } bodyWait{Channel_};
  Channel_.Settings.BodyTimeout = SendTimeout_ > 0 ? SendTimeout_
                                                  : std::max(GSMModel(Equipment_).SendTimeout, GSMModel(Equipment_).BodyTimeout);
  if (SMSFormat_ == 1) {
    if (!submit) GSMError(R::LoadResString(R::sSMSTypeNotSupported));
    std::string v;
    uint8_t format = submit->GetPDUType2Bits(3);
    if (format == 2) v = std::to_string(DTToValPer(submit->VP));
    else if (format == 3) v = "\"" + TSMS2::EncodeTextStamp(submit->VP, submit->TimeZone) + "\"";
    int f = submit->PDUType;
    if (format == 0 && GSMModel(Equipment_).TextVPRelative) f = (f & 0xE7) | 0x10;
    Command(Format("AT+CSMP=%d,%s,%d,%d", f, v, submit->PID, submit->DCS), wmResult);
    const int sendTimeout = GSMModel(Equipment_).SendTimeout;
    TLongerTimeout longer(this, sendTimeout > 0, sendTimeout);
    Command("AT+CMGS=\"" + submit->DA + "\">" + submit->UD, wmTwoStage, &answer);
  } else {
    Command(Format("AT+CMGS=%d>%s", GetCMGLength(M), M->GetPDU()), wmTwoStage, &answer);
  }
  if (answer.Count() > 0) {
    std::string mr = AuxStr::Trim(answer[0]);
    LastMessageReference_ = Framework::StrToIntDef(AuxStr::Trim(mr.substr(0, mr.find(','))), -1);
  }
  Pause(GSMModel(Equipment_).SendPause);
}

std::unique_ptr<TSMS2> TGSM::ReadSMS(int Index, int& Status) {
  CheckActive();
  struct PauseAfter {
    TGSM* g;
    ~PauseAfter() {
      g->Pause(GSMModel(g->Equipment_).ReadPause);
    }
  } pause{this};
  TStringList work;
  Command(Format("AT+CMGR=%d", Index), wmAnswer, &work, 1);
  if (work.Count() < 2 || !IsATResponse(work[0])) return nullptr;
  std::string p = StripATResponse(work[0]);
  int pos = 1;
  auto next = [&] { return ExtractParam(p, pos); };
  auto number = [&] { return Framework::StrToInt(next()); };
  if (SMSFormat_ != 1) {
    Status = number();
    return TSMS2::CreateSMS(this, work[1], Status == 0 || Status == 1);
  }
  std::string s = TrimQuotes(next());
  Status = TextStatus(s);
  int oaPos = pos;
  if (next().find('"') == std::string::npos) return nullptr;
  std::unique_ptr<TSMS2> result;
  int length = 0;
  pos = oaPos;
  if (s.rfind("REC ", 0) == 0) {
    auto d = std::make_unique<TSMSDeliver>();
    TDeliverTextHeader h = ParseDeliverTextHeader(p, pos);
    h.ApplyTo(*d);
    length = h.Length;
    result = std::move(d);
  } else if (s.rfind("STO ", 0) == 0) {
    auto m = std::make_unique<TSMSSubmit>();
    TSubmitTextHeader h = ParseSubmitTextHeader(p, pos);
    m->DA = h.DA;
    if (h.Detailed) {
      m->PDUType = h.FO;
      m->PID = h.PID;
      m->DCS = h.DCS;
      if (h.HasVP) {
        m->VP = h.VP;
        m->TimeZone = h.TimeZone;
      }
      length = h.Length;
    }
    result = std::move(m);
  } else {
    return nullptr;
  }
  std::string text;
  for (int i = 1; i < work.Count(); ++i) {
    text += work[i];
    if (static_cast<int>(text.size()) >= length) break;
    if (i + 1 < work.Count()) text += '\n';
  }
  result->UD = text;
  return result;
}

void TGSM::DeleteSMS(int Index) {
  CheckActive();
  Command(Format("AT+CMGD=%d", Index), wmResult, nullptr, 1);
}

std::unique_ptr<TStringList> TGSM::GetSMSList(int Stat) {
  CheckActive();
  if (Stat < 0) Stat = GSMModel(Equipment_).ListAll;
  std::string filter;
  if (Stat >= 0) {
    if (SMSFormat_ == 1) {
      if (Stat > 4) GSMError(Format("No message status %d in text mode", Stat));
      filter = std::string("=\"") + StatS[static_cast<size_t>(Stat)] + "\"";
    } else {
      filter = Format("=%d", Stat);
    }
  }
  TStringList work;
  if (GSMModel(Equipment_).ListErrorEnds) SendATCommand("AT+CMGL" + filter, wmAnswerOrError, &work, 1);
  else Command("AT+CMGL" + filter, wmAnswer, &work);
  auto result = std::make_unique<TStringList>();
  result->SetOwnsObjects(true);
  while (work.Count() > 0) {
    if (IsATResponse(work[0]) && work.Count() > 1) {
      TListEntry e = ParseListEntry(StripATResponse(work[0]), SMSFormat_ == 1);
      if (SMSFormat_ == 1) {
        if (e.Status >= 0) result->Add(Format("%d=%d", e.Index, e.Status));
      } else {
        std::unique_ptr<TSMS2> sms;
        try {
          sms = TSMS2::CreateSMS(this, work[1], e.Status == 0 || e.Status == 1);
        } catch (...) {
          sms.reset();  // an undecodable message keeps its entry, without object
        }
        result->AddObject(Format("%d=%d", e.Index, e.Status), sms.release());
      }
      work.Delete(0);
    }
    work.Delete(0);
  }
  if (SMSFormat_ == 1) {
    for (int i = 0; i < result->Count(); ++i) {
      int status = 0;
      result->PutObject(i, ReadSMS(Framework::StrToInt(result->Names(i)), status).release());
    }
  }
  return result;
}

void TGSM::Setmem1(const std::string& Name) {
  if (Name == MessageStorage_) return;
  if (Active()) SelectStorage(Name);
  MessageStorage_ = Name;  // only once the modem has taken it
}

void TGSM::SelectStorage(const std::string& Name) {
  const TGSMModel& model = GSMModel(Equipment_);
  if (!model.ReadStorages) {
    Command("AT+CPMS=" + Name, wmResult);
  } else {
    if (!ThreeMemories_) {
      try {
        Command("AT+CPMS=" + Name, wmResult, nullptr, 1);
        MessageStorage_ = Name;
        return;
      } catch (const EGSMError&) {
        if (LastResultLine().empty()) throw;  // no answer at all: not a matter of the form
      }
    }
    // Huawei E3372-325 takes only all three memories (gammu issues #829, #908): writing and
    // receiving stay where they are.
    auto kept = [&](size_t i) { return Storages_.size() > i ? Storages_[i] : Name; };
    Command("AT+CPMS=" + Name + "," + kept(1) + "," + kept(2), wmResult);
    ThreeMemories_ = true;
  }
  MessageStorage_ = Name;
}

}  // namespace Halyard::GSM
