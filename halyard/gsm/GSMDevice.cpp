// TGSM as the application sees it: opening and initializing the modem per model, settings.
#include "halyard/auxstr/AuxStr.h"
#include "halyard/gsm/ATReplies.h"
#include "halyard/gsm/GSM.h"
#include "halyard/gsm/GSMModels.h"
#include "halyard/resources/Resources.h"

namespace Halyard::GSM {

namespace R = Halyard::Resources;
using Framework::Application;
using Framework::Format;

namespace {

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
  Channel_.Settings.AttemptPause = GSMModel(v).AttemptPause;
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
  COMDevice_->SetBaudrate(GSMModel(Equipment_).Baudrate);
}

void TGSM::SwitchOff() {
  if (const char* cmd = GSMModel(Equipment_).SwitchOff) Command(cmd, wmResult);
}

bool TGSM::WaitForStartUp(int Ms) {
  // Lines are framed on the main thread: waiting there must keep running the hand-overs.
  if (Application().IsMainThread())
    return Application().WaitUntil([this] { return Channel_.ResponseEvent().Signaled(); }, static_cast<uint32_t>(Ms));
  return CommConnect::Event_WaitFor(&Channel_.ResponseEvent(), static_cast<uint32_t>(Ms)) == Framework::wrSignaled;
}

void TGSM::OpenConn() {
  if (IsDesigning()) return;
  OpenComDevice();
  BusyScope busy(this);
  MEIdCache_.Clear();
  Storages_.clear();
  OfferedStorages_.clear();
  ThreeMemories_ = false;
  // Boot lines that came before the open began belong to the start it sets up; a restart during
  // the open may have undone part of it.
  OpenMark_ = Channel_.Received();
  RestartSeen_ = false;
  {
    TStringList work;
    const TGSMModel& model = GSMModel(Equipment_);
    // PIN stage.
    if (model.PINStep != psNone) {
      if (model.PINStep == psWaveCom) {
        Command("AT+WIND=12", wmResult);
        Command("AT+CPIN?", wmPrefixedLines, &work);
      } else {
        Command("AT+CPIN?", wmPrefixedAnswer, &work);
      }
      const std::string first = work.Count() > 0 ? work[0] : "no response";
      if (first == "SIM PIN") {
        if (PIN_.empty()) GSMError(R::LoadResString(R::sPINRequired));
        if (model.PINStep == psWaveCom) Channel_.ResponseEvent().ResetEvent();
        {
          TLongerTimeout longer(this, model.PINTimeout > 0, model.PINTimeout);
          Command("AT+CPIN=\"" + PIN_ + "\"", wmResult, nullptr, 1);
        }
        Pause(model.PINPause);
        if (model.PINStep == psWaveCom) {
          Channel_.ResponseEvent().ResetEvent();
          if (!WaitForStartUp(60000)) GSMError(R::LoadResString(R::sWavecomInitError));
        }
      } else if (first != "READY") {
        GSMError(Format(R::LoadResString(R::sPINNotExpected), first));
      }
      work.Clear();
    }
    // Registration: the answers reach the unsolicited handling afterwards.
    if (model.Registration == rsCSQ) {
      Command("AT+CSQ", wmPrefixedAnswer, nullptr, 1);
    } else if (model.Registration == rsCREG) {
      Command("AT+CREG?", wmPrefixedAnswer);
      Command("AT+CREG=1", wmResult);
    }
    Command("AT+CPMS?", wmPrefixedAnswer, &work);
    MessageStorage_ = ParseStorageAnswer(AnswerLine(work, "AT+CPMS?"));
    if (model.ReadStorages) {
      Storages_ = ParseStorages(AnswerLine(work, "AT+CPMS?"));
      work.Clear();
      try {
        Command("AT+CPMS=?", wmPrefixedAnswer, &work, 1);
        if (work.Count() > 0) OfferedStorages_ = ParseStorageOffer(work[0]);
      } catch (const EGSMError&) {
        // What the modem offers is only known when it says.
      }
    }
    work.Clear();
    Command("AT+CSMS?", wmPrefixedLines, &work);
    SMSService_ = ParseServiceAnswer(AnswerLine(work, "AT+CSMS?"));
  }
  // Only a set address is sent: an empty one would erase the SIM's own on many modems.
  if (!SCA_.empty()) Command("AT+CSCA=\"" + SCA_ + "\"", wmResult);
  Command(Format("AT+CMGF=%d", SMSFormat_), wmResult);
  const TGSMModel& model = GSMModel(Equipment_);
  if (model.OpenCommand) Command(model.OpenCommand, wmResult);
  if (model.QuietCommand) {
    try {
      SendATCommand(model.QuietCommand, wmResult, nullptr, 1);
    } catch (const EGSMError&) {
      // Not every firmware takes it: its reports are then framed and handled as they come.
    }
  }
  // Reading, listing and deleting work where the model must, or where new messages arrive.
  if (model.OpenStorage && MessageStorage_ != model.OpenStorage) SelectStorage(model.OpenStorage);
  if (model.ReadStorages && Storages_.size() >= 3 && Storages_[2] != MessageStorage_) SelectStorage(Storages_[2]);
  if (SMSFormat_ == 1) Command("AT+CSDH=1", wmResult);
  if (ExtendedErrorMsg_ && model.ExtendedErrors) Command("AT+CMEE=1", wmResult);
  UnsolicitedIndication_ -= DoSetUnsolicitedIndication(UnsolicitedIndication_);
}

void TGSM::CloseConn() {
  if (IsDesigning()) return;
  PendingSMS_.reset();
  Channel_.ClearBody();
  CloseComDevice(false);
  if (RegistrationStatus_ != 0) DoNetworkRegistration(0);
}

TGSMEquipment TGSM::DetectEquipment() {
  std::string maker, model;
  try {
    maker = GetMEId(1);
    model = GetMEId(2);
  } catch (const EGSMError&) {
    // A modem that does not say who made it is taken as any 27.005 modem.
  }
  return EquipmentFor(maker, model);
}

std::string TGSM::IndicationSetting() const {
  std::lock_guard lk(IndicationLock_);
  return IndicationSetting_;
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
