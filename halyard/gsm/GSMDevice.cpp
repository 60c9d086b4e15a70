// TGSM as the application sees it: opening and initializing the modem per model, settings.
#include "halyard/auxstr/AuxStr.h"
#include "halyard/gsm/GSM.h"
#include "halyard/gsm/GSMModels.h"
#include "halyard/resources/Resources.h"

namespace Halyard::GSM {

namespace R = Halyard::Resources;
using Framework::Application;
using Framework::Format;

namespace {


bool In(TGSMEquipment e, std::initializer_list<TGSMEquipment> set) {
  for (auto x : set)
    if (x == e) return true;
  return false;
}


CommConnect::TBaudrate DefaultBaudrate(TGSMEquipment e) {
  switch (e) {
    case eqGM12: case eqWaveCom: return CommConnect::br9600;
    case eqNokia6210: return CommConnect::br115200;
    case eqT260: return CommConnect::br57600;
    default: return CommConnect::br19200;
  }
}

struct BusyScope {
  TGSM* g;
  explicit BusyScope(TGSM* gsm) : g(gsm) { g->Busy(); }
  ~BusyScope() { g->Unbusy(); }
};

}  // namespace

TByteSet TGSM::GetSupportedSMSFormats() const {
  TByteSet r;
  if (GSMModel(Equipment_).PDUMode) r.Include(0);
  if (GSMModel(Equipment_).TextMode) r.Include(1);
  return r;
}

void TGSM::SetSMSFormat(uint8_t v) {
  CheckInactive();
  if (!GetSupportedSMSFormats().Contains(v)) GSMError(Format(R::LoadResString(R::sSMSFormatNotSupported), v));
  SMSFormat_ = v;
}

void TGSM::SetEquipment(TGSMEquipment v) {
  Equipment_ = v;
  if (!GetSupportedSMSFormats().Contains(SMSFormat_)) SetSMSFormat(SMSFormat_ == 1 ? 0 : 1);
}

std::string TGSM::SCA() const { return SCA_; }

void TGSM::SetSCA(const std::string& v) {
  if (Active() && v != SCA_) Command("AT+CSCA=\"" + v + "\"", wmResult);
  SCA_ = v;
}

void TGSM::SetDefaults() {
  CheckInactive();
  if (!COMDevice_) GSMError(R::LoadResString(R::sNoComDevice));
  COMDevice_->SetBaudrate(DefaultBaudrate(Equipment_));
}

void TGSM::SwitchOff() {
  if (const char* cmd = GSMModel(Equipment_).SwitchOff) Command(cmd, wmResult);
}

bool TGSM::WaitForStartUp(int Ms) {
  // Lines are framed on the main thread: waiting there must keep running the hand-overs.
  if (Application().IsMainThread())
    return Application().WaitUntil([this] { return ResponseEvent_.Signaled(); }, static_cast<uint32_t>(Ms));
  return CommConnect::Event_WaitFor(&ResponseEvent_, static_cast<uint32_t>(Ms)) == Framework::wrSignaled;
}

void TGSM::OpenConn() {
  if (IsDesigning()) return;
  OpenComDevice();
  BusyScope busy(this);
  MEIdCache_.Clear();
  {
    TStringList work;
    // PIN stage.
    if (!In(Equipment_, {eqNokia6210, eqNokia9110, eqT260})) {
      if (Equipment_ == eqWaveCom) {
        Command("AT+WIND=12", wmResult);
        Command("AT+CPIN?", wmPrefixedLines, &work);
      } else {
        Command("AT+CPIN?", wmPrefixedAnswer, &work);
      }
      if (work.Count() == 0) work.Add("no response");
      const std::string first = work[0];
      if (first == "SIM PIN") {
        if (PIN_.empty()) GSMError(R::LoadResString(R::sPINRequired));
        bool longLimit = In(Equipment_, {eqM35, eqS25, eqWaveCom, eqTC35});
        int saved = RecTimeout_;
        if (longLimit) RecTimeout_ = 15000;
        if (Equipment_ == eqWaveCom) ResponseEvent_.ResetEvent();
        try {
          Command("AT+CPIN=\"" + PIN_ + "\"", wmResult, nullptr, 1);
        } catch (...) {
          RecTimeout_ = saved;
          throw;
        }
        RecTimeout_ = saved;
        if (In(Equipment_, {eqM1, eqM20})) Pause(2500);
        if (Equipment_ == eqWaveCom) {
          ResponseEvent_.ResetEvent();
          if (!WaitForStartUp(60000)) GSMError(R::LoadResString(R::sWavecomInitError));
        }
      } else if (first != "READY") {
        GSMError(Format(R::LoadResString(R::sPINNotExpected), first));
      }
      work.Clear();
    }
    // Registration: the answers reach the unsolicited handling afterwards.
    if (Equipment_ == eqT260) {
      Command("AT+CSQ", wmPrefixedAnswer, nullptr, 1);
    } else if (Equipment_ != eqNokia9110) {
      Command("AT+CREG?", wmPrefixedAnswer);
      Command("AT+CREG=1", wmResult);
    }
    Command("AT+CPMS?", wmPrefixedAnswer, &work);
    int pos = 1;
    MessageStorage_ = ExtractParam(AnswerLine(work, "AT+CPMS?"), pos);
    work.Clear();
    Command("AT+CSMS?", wmPrefixedLines, &work);
    pos = 1;
    std::string service = ExtractParam(AnswerLine(work, "AT+CSMS?"), pos);
    int value = 0;
    if (!Framework::TryStrToInt(service, value))
      GSMError(Framework::Format("The modem's answer to AT+CSMS? has no service number: %s", work[0]));
    SMSService_ = value;
  }
  // Only a set address is sent: an empty one would erase the SIM's own on many modems.
  if (!SCA_.empty()) Command("AT+CSCA=\"" + SCA_ + "\"", wmResult);
  Command(Format("AT+CMGF=%d", SMSFormat_), wmResult);
  if (Equipment_ == eqM20) Command("AT+CSMS=0", wmResult);
  if (Equipment_ == eqGM12) Setmem1("\"ME\"");
  if (SMSFormat_ == 1) Command("AT+CSDH=1", wmResult);
  if (ExtendedErrorMsg_ && In(Equipment_, {eqM35, eqS25, eqT260})) Command("AT+CMEE=1", wmResult);
  UnsolicitedIndication_ -= DoSetUnsolicitedIndication(UnsolicitedIndication_);
}

void TGSM::CloseConn() {
  if (IsDesigning()) return;
  PendingSMS_.reset();
  PendingLength_ = 0;
  CloseComDevice(false);
  if (RegistrationStatus_ != 0) DoNetworkRegistration(0);
}

std::string TGSM::GetMEId(int Index) {
  static const char* commands[] = {"AT+CGMI", "AT+CGMM", "AT+CGMR", "AT+CGSN"};
  if (Index < 1 || Index > 4) GSMError(Format(R::LoadResString(R::sBadMEIdIndex), Index));
  bool borrowed = !Active();
  if (borrowed) {
    MEIdCache_.Clear();
    OpenComDevice();
  }
  struct Restore {
    TGSM* g;
    bool on;
    ~Restore() {
      if (on) g->CloseComDevice(true);
    }
  } restore{this, borrowed};
  const char* cmd = commands[Index - 1];
  int i = MEIdCache_.IndexOfName(cmd);
  if (i >= 0) return MEIdCache_.ValueFromIndex(i);
  TStringList answer;
  Command(cmd, wmAnswer, &answer, 1);
  std::string id = AnswerLine(answer, cmd);
  MEIdCache_.Add(std::string(cmd) + "=" + id);
  return id;
}

}  // namespace Halyard::GSM
