#include "halyard/connect/Connect.h"

#include <algorithm>

#include "halyard/framework/Properties.h"
#include "halyard/resources/Resources.h"

namespace Halyard::Connect {

namespace R = Halyard::Resources;

TConnection::TConnection(TComponent* AOwner) : TComponent(AOwner) {}

void TConnection::BeforeDestruction() {
  Destroying();
  Close();
  TComponent::BeforeDestruction();
}

void TConnection::SetActive(bool Value) {
  // Loading defers opening to Loaded, once every property and reference is in place.
  if (ComponentState().Contains(Framework::csLoading)) {
    if (Value) PendingActivation_ = true;
    return;
  }
  if (Value == Active()) return;
  if (Value) {
    DoBeforeOpen();
    try {
      OpenConn();
    } catch (...) {
      CloseConn();
      throw;
    }
    Active_.store(true);
    DoAfterOpen();
  } else {
    bool destroying = IsDestroying();
    if (!destroying) DoBeforeClose();
    CloseConn();
    Active_.store(false);
    if (!destroying) DoAfterClose();
  }
}

void TConnection::Loaded() {
  TComponent::Loaded();
  if (PendingActivation_) SetActive(true);
}

void TConnection::CheckActive() const {
  if (!Active()) throw EComError(R::LoadResString(R::sInactiveConnection));
}

void TConnection::CheckInactive() const {
  if (Active()) throw EComError(R::LoadResString(R::sActiveConnection));
}

void TConnection::DoBeforeOpen() {
  if (BeforeOpen_) BeforeOpen_(this);
}
void TConnection::DoBeforeClose() {
  if (BeforeClose_) BeforeClose_(this);
}
void TConnection::DoAfterOpen() {
  if (AfterOpen_) AfterOpen_(this);
}
void TConnection::DoAfterClose() {
  if (AfterClose_) AfterClose_(this);
}

// --- TLogConnection ------------------------------------------------------------------------

void TLogConnection::SetLogger(TLogger* Value) {
  TLogger* old = Logger_.exchange(Value);
  if (old == Value) return;
  if (old) RemoveFreeNotification(old);
  if (Value) FreeNotification(Value);
}

void TLogConnection::Notification(TComponent* AComponent, Framework::TOperation Operation) {
  TConnection::Notification(AComponent, Operation);
  if (Operation == Framework::opRemove && AComponent && AComponent == Logger_.load())
    Logger_.store(nullptr);
}

void TLogConnection::DoFormatLog(uint8_t aChannel, std::string& aText) {
  if (OnFormatLog_) OnFormatLog_(this, aChannel, aText);
}

void TLogConnection::Log(uint8_t aChannel, const std::string& aText) {
  std::string text = aText;
  DoFormatLog(aChannel, text);
  if (TLogger* logger = Logger()) logger->Log(LogName_, aChannel, text);
}

// --- TCommunicationConnection --------------------------------------------------------------

int TCommunicationConnection::Send(const std::string& aText) {
  return Write(aText.data(), static_cast<int>(aText.size()));
}

std::string TCommunicationConnection::Retrieve(int Count) {
  if (Count <= 0) return {};
  std::string s(static_cast<size_t>(Count), '\0');
  int n = Read(s.data(), Count);
  s.resize(static_cast<size_t>(std::clamp(n, 0, Count)));
  return s;
}

void TCommunicationConnection::DoOnRxChar(int Count) { OnRxChar_(this, Count); }

// --- TLogger -------------------------------------------------------------------------------

void TLogger::SetActive(bool Value) {
  std::lock_guard lk(Lock_);
  TConnection::SetActive(Value);
}

void TLogger::SetAutoOpen(bool Value) {
  std::lock_guard lk(Lock_);
  CheckInactive();
  AutoOpen_.store(Value);
}

void TLogger::Log(const std::string& aLogName, uint8_t aChannel, const std::string& aText) {
  if (!Active() && !AutoOpen()) return;
  bool accept = true;
  if (AcceptChannel_) AcceptChannel_(this, aLogName, aChannel, accept);
  if (!accept) return;
  std::lock_guard lk(Lock_);
  // Asked again under the lock: the owner may have closed the logger meanwhile.
  if (!Active() && !AutoOpen()) return;
  bool wasActive = Active();
  Open();
  try {
    DoLog(PreformatText(aLogName, aChannel, aText));
  } catch (...) {
    try {
      SetActive(wasActive);
    } catch (...) {
      // The first fault is the one the caller needs to see.
    }
    throw;
  }
  SetActive(wasActive);
}

}  // namespace Halyard::Connect

namespace Halyard::Connect {

namespace {
using Framework::TClassBuilder;

const bool kPublished = [] {
  TClassBuilder<TConnection>("TConnection", "")
      .Boolean("Active", &TConnection::Active, &TConnection::SetActive)
      .Event<TConnectionNotifyEvent>("BeforeOpen", "TConnectionNotifyEvent", &TConnection::BeforeOpen,
                                     &TConnection::SetBeforeOpen)
      .Event<TConnectionNotifyEvent>("BeforeClose", "TConnectionNotifyEvent", &TConnection::BeforeClose,
                                     &TConnection::SetBeforeClose)
      .Event<TConnectionNotifyEvent>("AfterOpen", "TConnectionNotifyEvent", &TConnection::AfterOpen,
                                     &TConnection::SetAfterOpen)
      .Event<TConnectionNotifyEvent>("AfterClose", "TConnectionNotifyEvent", &TConnection::AfterClose,
                                     &TConnection::SetAfterClose)
      .Commit();
  TClassBuilder<TLogConnection>("TLogConnection", "TConnection")
      .Reference<TLogger>("Logger", "TLogger", &TLogConnection::Logger, &TLogConnection::SetLogger)
      .String("LogName", &TLogConnection::LogName, &TLogConnection::SetLogName)
      .Event<TFormatLogEvent>("OnFormatLog", "TFormatLogEvent", &TLogConnection::OnFormatLog,
                              &TLogConnection::SetOnFormatLog)
      .Commit();
  TClassBuilder<TCommunicationConnection>("TCommunicationConnection", "TLogConnection").Commit();
  TClassBuilder<TLogger>("TLogger", "TConnection")
      .Event<TAcceptChannelEvent>("AcceptChannel", "TAcceptChannelEvent", &TLogger::AcceptChannel,
                                  &TLogger::SetAcceptChannel)
      .Boolean("AutoOpen", &TLogger::AutoOpen, &TLogger::SetAutoOpen)
      .Commit();
  return true;
}();

}  // namespace

}  // namespace Halyard::Connect
