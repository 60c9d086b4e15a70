#include "halyard/commconnect/Modem.h"

#include <algorithm>
#include <cstdlib>

#include "halyard/framework/Properties.h"
#include "halyard/platform/Time.h"
#include "halyard/resources/Resources.h"

namespace Halyard::CommConnect {

namespace R = Halyard::Resources;
using Framework::Application;

TModem::TModem(TComponent* AOwner) : TComm(AOwner) {
  Commands_ = {"ATZ", "OK", "ATM1L1X3DT", "CONNECT", "BUSY", "NO CARRIER", "NO DIALTONE", "+++ATH", "OK"};
}

std::string TModem::GetCommand(int Index) const {
  std::lock_guard lk(CommandsLock_);
  if (Index < 0 || Index >= static_cast<int>(Commands_.size())) return {};
  return Commands_[static_cast<size_t>(Index)];
}

void TModem::SetCommand(int Index, const std::string& Value) {
  if (Index < 0) return;
  std::lock_guard lk(CommandsLock_);
  if (Index >= static_cast<int>(Commands_.size())) Commands_.resize(static_cast<size_t>(Index) + 1);
  Commands_[static_cast<size_t>(Index)] = Value;
}

void TModem::CheckDrop() const {
  if (DropRequested_.load()) Framework::Abort();
}

// The main thread keeps running queued hand-overs while it waits: the port's event thread may
// have started one before the exchange made it deliver in itself.
Framework::TWaitResult TModem::WaitLine(uint32_t Timeout) {
  if (Application().IsMainThread()) {
    bool got = Application().WaitUntil([this] { return LineEvent_.WaitFor(0) == Framework::wrSignaled; }, Timeout);
    return got ? Framework::wrSignaled : Framework::wrTimeout;
  }
  return Event_WaitFor(&LineEvent_, Timeout);
}

bool TModem::SendAndReceive(const std::string& Cmd, const std::vector<std::string>& Responses, int Timeout,
                            int& Index) {
  CheckDrop();
  bool result = false;
  Lock();
  Response_.clear();
  Unlock();
  bool savedDontSynchronize = DontSynchronize();
  SetDontSynchronize(true);
  CommandMode_.store(true);
  struct Restore {
    TModem& M;
    bool Saved;
    ~Restore() {
      M.SetDontSynchronize(Saved);
      M.CommandMode_.store(false);
    }
  } restore{*this, savedDontSynchronize};

  (void)Send(Cmd + "\r\n");
  for (;;) {
    uint32_t start = Platform::GetTickCount();
    // A non-positive time-out still looks once, instead of waiting without end.
    if (WaitLine(static_cast<uint32_t>(std::max(Timeout, 0))) == Framework::wrTimeout) break;
    LineEvent_.ResetEvent();
    CheckDrop();
    Lock();
    std::string text = Response_;
    Unlock();
    std::replace(text.begin(), text.end(), '\n', '\r');
    text.insert(text.begin(), '\r');
    for (size_t i = 0; i < Responses.size(); ++i)
      if (text.find("\r" + Responses[i]) != std::string::npos) {
        Index = static_cast<int>(i);
        result = true;
        break;
      }
    uint32_t elapsed = Platform::GetTickCount() - start;
    Timeout -= static_cast<int>(std::min<uint32_t>(elapsed, INT32_MAX));
    if (result || Timeout <= 0) break;
  }
  return result;
}

void TModem::Drop() {
  if (!Dialling_.load()) return;
  DropRequested_.store(true);
  LineEvent_.SetEvent();
  Application().Wake();
}

void TModem::OpenConn() {
  TComm::OpenConn();
  if (IsDesigning()) return;
  DropRequested_.store(false);
  Dialling_.store(true);
  struct Guard {
    TModem& M;
    ~Guard() {
      M.Dialling_.store(false);
      M.DropRequested_.store(false);
    }
  } guard{*this};

  Platform::Sleep(DelayBeforeInit_);
  int index = 0;
  std::string init = cInit();
  if (!SendAndReceive(init, {rInit()}, ResponseTimeout_, index))
    throw EComError(Framework::Format(R::LoadResString(R::sNoResponse), init));
  Platform::Sleep(DelayAfterInit_);
  std::string dial = cDial() + PhoneNumber();
  if (!SendAndReceive(dial, {rConnect(), rBusy(), rNoCarrier(), rNoDialtone()}, ConnectTimeout_, index))
    throw EComError(Framework::Format(R::LoadResString(R::sNoResponse), dial));
  switch (index) {
    case 1: throw EComError(R::LoadResString(R::sLineBusy));
    case 2: throw EComError(R::LoadResString(R::sCannotConnect));
    case 3: throw EComError(R::LoadResString(R::sNoDialTone));
    default: break;
  }
}

void TModem::CloseConn() {
  // Only a port that opened can be hung up; a port that can no longer be written is closed
  // anyway, and the failure goes to the application's exception handler.
  if (!IsDesigning() && Handle_ != Platform::INVALID_HANDLE_VALUE) {
    try {
      int index = 0;
      (void)SendAndReceive(cHangUp(), {rHangUp()}, ResponseTimeout_, index);
    } catch (...) {
      Application().HandleException(std::current_exception());
    }
  }
  TComm::CloseConn();
}

void TModem::DoOnRxChar(int Count) {
  if (!CommandMode_.load()) {
    TComm::DoOnRxChar(Count);
    return;
  }
  std::string rx = Retrieve(Count);
  Lock();
  Response_ += rx;
  Unlock();
  if (rx.find('\r') != std::string::npos) {
    LineEvent_.SetEvent();
    Application().Wake();
  }
  OnRxCommand_(this, rx);
}

namespace {
const bool kPublished = [] {
  Framework::TClassBuilder<TModem>("TModem", "TComm")
      .Create()
      .String("cInit", &TModem::cInit, &TModem::SetcInit)
      .Integer("DelayBeforeInit", &TModem::DelayBeforeInit, &TModem::SetDelayBeforeInit)
      .Integer("DelayAfterInit", &TModem::DelayAfterInit, &TModem::SetDelayAfterInit)
      .Integer("ResponseTimeout", &TModem::ResponseTimeout, &TModem::SetResponseTimeout)
      .Integer("ConnectTimeout", &TModem::ConnectTimeout, &TModem::SetConnectTimeout)
      .String("rInit", &TModem::rInit, &TModem::SetrInit)
      .String("cDial", &TModem::cDial, &TModem::SetcDial)
      .String("rConnect", &TModem::rConnect, &TModem::SetrConnect)
      .String("rBusy", &TModem::rBusy, &TModem::SetrBusy)
      .String("rNoCarrier", &TModem::rNoCarrier, &TModem::SetrNoCarrier)
      .String("rNoDialtone", &TModem::rNoDialtone, &TModem::SetrNoDialtone)
      .String("cHangUp", &TModem::cHangUp, &TModem::SetcHangUp)
      .String("rHangUp", &TModem::rHangUp, &TModem::SetrHangUp)
      .String("PhoneNumber", &TModem::PhoneNumber, &TModem::SetPhoneNumber)
      .Event<TModemRxCommandEvent>("OnRxCommand", "TModemRxCommandEvent", &TModem::OnRxCommand,
                                   &TModem::SetOnRxCommand)
      .Commit();
  return true;
}();
}  // namespace

}  // namespace Halyard::CommConnect
