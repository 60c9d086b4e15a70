#include "halyard/gsm/GSM.h"
#include "halyard/gsm/GSMModels.h"

#include <chrono>
#include <thread>

#include "halyard/auxstr/AuxStr.h"
#include "halyard/framework/Properties.h"
#include "halyard/framework/Registry.h"
#include "halyard/resources/Resources.h"

namespace Halyard::GSM {

namespace R = Halyard::Resources;
using AuxStr::Trim;
using AuxStr::UpString;
using Framework::Application;
using Framework::Format;

// --- TGSMAsyncThread -----------------------------------------------------------------------

TGSMAsyncThread::TGSMAsyncThread(TGSM* Owner) : TATHandOverThread([Owner] { Owner->cmRxChar(); }) { Start(); }

// --- construction --------------------------------------------------------------------------

TGSM::TGSM(TComponent* AOwner) : TConnection(AOwner) {
  AsyncThread_ = new TGSMAsyncThread(this);
  Channel_.SetHandOver(AsyncThread_);
}

TGSM::~TGSM() = default;

void TGSM::BeforeDestruction() {
  Destroying();
  {
    // No receiving from here on: the port's thread must not reach the hand-over thread while
    // it goes, nor the channel after it.
    std::unique_lock lk(Gate_->M);
    Gate_->Open = false;
    Gate_->Cv.wait(lk, [&] { return Gate_->Inflight == 0; });
  }
  if (AsyncThread_) {
    AsyncThread_->Terminate();
    AsyncThread_->WaitFor();  // runs a pending hand-over meanwhile
    Channel_.SetHandOver(nullptr);
    delete AsyncThread_;
    AsyncThread_ = nullptr;
  }
  Close();
  if (COMDevice_ && HandlerInstalled_) {
    COMDevice_->SetOnRxChar(SavedRxHandler_);
    COMDevice_->SetDontSynchronize(SavedDontSynchronize_);
    HandlerInstalled_ = false;
  }
  TConnection::BeforeDestruction();
}

void TGSM::Notification(TComponent* AComponent, Framework::TOperation Operation) {
  TConnection::Notification(AComponent, Operation);
  if (Operation == Framework::opRemove && AComponent == COMDevice_) {
    COMDevice_ = nullptr;
    HandlerInstalled_ = false;
  }
}

// --- settings ------------------------------------------------------------------------------

void TGSM::SetPIN(const std::string& v) {
  CheckInactive();
  PIN_ = v;
}


void TGSM::SetComDevice(CommConnect::TComm* v) {
  CheckInactive();
  if (v == COMDevice_) return;
  if (COMDevice_) RemoveFreeNotification(COMDevice_);
  COMDevice_ = v;
  HandlerInstalled_ = false;
  if (v) FreeNotification(v);
}

// --- the COM device ------------------------------------------------------------------------

void TGSM::OpenComDevice() {
  if (!COMDevice_) GSMError(R::LoadResString(R::sNoComDevice));
  Busy();
  struct Guard {
    TGSM* g;
    ~Guard() { g->Unbusy(); }
  } guard{this};
  if (!HandlerInstalled_) {
    SavedRxHandler_ = COMDevice_->OnRxChar();
    SavedDontSynchronize_ = COMDevice_->DontSynchronize();
  }
  SavedActive_ = COMDevice_->Active();
  auto gate = Gate_;
  COMDevice_->SetOnRxChar([this, gate](TObject* sender, int count) {
    {
      std::lock_guard lk(gate->M);
      if (!gate->Open) return;
      ++gate->Inflight;
    }
    struct Leave {
      TReceiverGate* g;
      ~Leave() {
        std::lock_guard lk(g->M);
        --g->Inflight;
        g->Cv.notify_all();
      }
    } leave{gate.get()};
    DoComRxChar(sender, count);
  });
  HandlerInstalled_ = true;
  // Before the port opens: a line the modem sends at once (boot noise, "+CPIN: READY") must not
  // leave the port's thread waiting for the main thread, which is busy with the open.
  COMDevice_->SetDontSynchronize(true);
  COMDevice_->Open();
  COMDevice_->PurgeIn();
  COMDevice_->PurgeOut();
}

void TGSM::CloseComDevice(bool Restore) {
  if (!COMDevice_) return;
  if (Restore) {
    COMDevice_->SetDontSynchronize(SavedDontSynchronize_);
    COMDevice_->SetOnRxChar(SavedRxHandler_);
    HandlerInstalled_ = false;
  }
  if (!IsDestroying()) COMDevice_->SetActive(SavedActive_);
}


// --- busy state ----------------------------------------------------------------------------

void TGSM::Busy() {
  if (BusyCount_.fetch_add(1) == 0) DoBusyChanged(true);
}

void TGSM::Unbusy() {
  int n = BusyCount_.load();
  while (n > 0 && !BusyCount_.compare_exchange_weak(n, n - 1)) {
  }
  if (n == 1) DoBusyChanged(false);
}

void TGSM::DoBusyChanged(bool aBusy) {
  if (OnBusyChanged_) OnBusyChanged_(this, aBusy);
}

int TGSM::CheckAT(int Code) {
  if (Code != 0) GSMError(Format(R::LoadResString(R::sErrorReturned), LastResultLine()));
  return 0;
}

// --- the transaction -----------------------------------------------------------------------

void TGSM::ChannelSend(const std::string& Text) { COMDevice_->Send(Text); }

void TGSM::ChannelPurgeOut() { COMDevice_->PurgeOut(); }

int TGSM::SendATCommand(const std::string& Cmd, uint8_t Mode, TStringList* Strings, int Repeats) {
  Busy();
  struct BusyGuard {
    TGSM* g;
    ~BusyGuard() { g->Unbusy(); }
  } busy{this};
  if (UpString(Trim(Cmd)).rfind("AT", 0) != 0) GSMError(R::LoadResString(R::sBadATCommand));
  if (!COMDevice_) GSMError(R::LoadResString(R::sNoComDevice));
  return Channel_.Transact(Cmd, Mode, Strings, Repeats);
}

// --- receiving -----------------------------------------------------------------------------

void TGSM::DoComRxChar(TObject* Sender, int Count) {
  // The sender, not COMDevice: the property may change while the old port still delivers.
  auto* port = dynamic_cast<Connect::TCommunicationConnection*>(Sender);
  if (Count <= 0 || !port) return;
  // Read into a buffer kept between chunks: no allocation for each.
  RxChunk_.resize(static_cast<size_t>(Count));
  int n = port->Read(RxChunk_.data(), Count);
  Channel_.Receive(std::string_view(RxChunk_.data(), static_cast<size_t>(std::clamp(n, 0, Count))));
}

void TGSM::DoRxChar(char aChar) {
  if (OnRxChar_) OnRxChar_(this, aChar);
}

void TGSM::cmRxChar() { Channel_.Frame(); }

void Register() { Framework::RegisterComponents("Communication", {Framework::ComponentClass<TGSM>("TGSM")}); }

namespace {
const bool kPublished = [] {
  Framework::TClassBuilder<TGSM>("TGSM", "TConnection")
      .Create()
      .Enum<TGSMEquipment>("Equipment", "TGSMEquipment", GSMEquipmentPublishedNames(), &TGSM::Equipment, &TGSM::SetEquipment)
      .Integer("SMSFormat", &TGSM::SMSFormat, &TGSM::SetSMSFormat)
      .SetOf<TGSMUnsolicitedIndicationSet>(
          "UnsolicitedIndication", "TGSMUnsolicitedIndicationSet",
          {"uindSMSDeliver", "uindSMSStatusReport", "uindCellBroadcast", "uindOnlyIndication"},
          &TGSM::UnsolicitedIndication, &TGSM::SetUnsolicitedIndication)
      .String("PIN", &TGSM::PIN, &TGSM::SetPIN)
      .String("SCA", &TGSM::SCA, &TGSM::SetSCA)
      .Reference<CommConnect::TComm>("COMDevice", "TComm", &TGSM::COMDevice, &TGSM::SetComDevice)
      .Boolean("ExtendedErrorMsg", &TGSM::ExtendedErrorMsg, &TGSM::SetExtendedErrorMsg, false)
      .Integer("RepeatCount", &TGSM::RepeatCount, &TGSM::SetRepeatCount, 5)
      .Integer("RecTimeout", &TGSM::RecTimeout, &TGSM::SetRecTimeout, 6000)
      .Integer("RepeatTimeout", &TGSM::RepeatTimeout, &TGSM::SetRepeatTimeout, 500)
      .Integer("SendTimeout", &TGSM::SendTimeout, &TGSM::SetSendTimeout, 0)
      .Event<TRxCharEvent>("OnRxChar", "TRxCharEvent", &TGSM::OnRxChar, &TGSM::SetOnRxChar)
      .Event<TUnsolicitedLineEvent>("OnUnsolicitedLine", "TUnsolicitedLineEvent", &TGSM::OnUnsolicitedLine,
                                    &TGSM::SetOnUnsolicitedLine)
      .Event<TUnsolicitedSMSEvent>("OnUnsolicitedSMS", "TUnsolicitedSMSEvent", &TGSM::OnUnsolicitedSMS,
                                   &TGSM::SetOnUnsolicitedSMS)
      .Event<TNetworkRegistrationEvent>("OnNetworkRegistration", "TNetworkRegistrationEvent",
                                        &TGSM::OnNetworkRegistration, &TGSM::SetOnNetworkRegistration)
      .Event<TBusyChanged>("OnBusyChanged", "TBusyChanged", &TGSM::OnBusyChanged, &TGSM::SetOnBusyChanged)
      .Commit();
  return true;
}();
}  // namespace

}  // namespace Halyard::GSM
