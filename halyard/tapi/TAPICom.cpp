#include "halyard/tapi/TAPICom.h"

#include <algorithm>
#include <cstring>

#include "halyard/framework/Properties.h"
#include "halyard/framework/Registry.h"
#include "halyard/resources/Resources.h"

namespace Halyard::TAPICom {

namespace R = Halyard::Resources;
namespace P = Halyard::Platform;
using TAPI::TapiCheck;
using TAPI::TAPIError;

namespace {
constexpr const char* kDataModem = "comm/datamodem";
}

// --- TTAPILine ---------------------------------------------------------------------------------

TTAPILine& TAPILine() {
  // The stand-in is made first, so it is still there when this one shuts down at exit.
  static Framework::TOwned<TTAPILine> line((P::TapiStartup(), new TTAPILine(nullptr)));
  return *line;
}

void LineCallback(DWORD hDevice, DWORD dwMessage, DWORD_PTR dwCallbackInstance, DWORD dwParam1, DWORD dwParam2,
                  DWORD dwParam3) {
  try {
    TAPILine().HandleCallback(hDevice, dwMessage, dwCallbackInstance, dwParam1, dwParam2, dwParam3);
  } catch (const Framework::Exception& e) {
    Framework::Application().HandleException(e);
  }
}

void TTAPILine::BeforeDestruction() {
  CloseAll();
  TConnection::BeforeDestruction();
}

void TTAPILine::AddLine(TLineCom* Line) {
  if (Lines_.empty()) Open();
  Lines_.push_back(Line);
}

void TTAPILine::RemoveLine(TLineCom* Line) {
  Lines_.erase(std::remove(Lines_.begin(), Lines_.end(), Line), Lines_.end());
  if (Lines_.empty() && !KeepConnection_) Close();
}

void TTAPILine::CloseAll() {
  while (!Lines_.empty()) {
    TLineCom* last = Lines_.back();
    size_t before = Lines_.size();
    last->Free();
    // A component that did not deregister itself is not freed twice.
    if (Lines_.size() == before && !Lines_.empty() && Lines_.back() == last) Lines_.pop_back();
  }
  if (!KeepConnection_) Close();
}

TLineCom* TTAPILine::GetLine(int Index) const {
  if (Index < 0 || Index >= GetCount()) Framework::ListIndexError(Index);
  return Lines_[static_cast<size_t>(Index)];
}

void TTAPILine::OpenConn() {
  std::string title = Framework::Application().Title();
  TapiCheck(P::lineInitialize(&LineApp_, nullptr, &LineCallback, title.c_str(), &NumDevs_));
}

void TTAPILine::CloseConn() {
  if (LineApp_ == 0) return;
  P::HLINEAPP app = LineApp_;
  LineApp_ = 0;
  TapiCheck(P::lineShutdown(app));
}

DWORD TTAPILine::GetAPIVersion(DWORD DeviceId) {
  CheckActive();
  DWORD version = 0;
  P::LINEEXTENSIONID ext{};
  TapiCheck(P::lineNegotiateAPIVersion(LineApp_, DeviceId, 0x00010004, 0x00020000, &version, &ext));
  return version;
}

std::string TTAPILine::GetLineName(DWORD DeviceId) {
  CheckActive();
  TAPI::TTapiMem mem = TAPI::GetTapiMem(sizeof(P::LINEDEVCAPS));
  auto* caps = mem.As<P::LINEDEVCAPS>();
  TapiCheck(P::lineGetDevCaps(LineApp_, DeviceId, GetAPIVersion(DeviceId), 0, caps));
  if (caps->dwLineNameSize != 0 && caps->dwLineNameOffset != 0 && caps->dwStringFormat == P::STRINGFORMAT_ASCII) {
    std::string name = TAPI::GetTapiString(caps, caps->dwLineNameOffset, caps->dwLineNameSize);
    return name.empty() ? R::LoadResString(R::stLineNameEmpty) : name;
  }
  return R::LoadResString(R::stLineUnnamed);
}

int64_t TTAPILine::FindDeviceId(const std::string& Name) {
  for (DWORD id = 0; id < NumDevs_; ++id) {
    try {
      if (GetLineName(id) == Name) return id;
    } catch (const Framework::Exception&) {
      // A device that cannot answer is skipped.
    }
  }
  return -1;
}

std::string TTAPILine::GetDevConfig(DWORD DeviceId) {
  TAPI::TTapiMem mem = TAPI::GetTapiMem(sizeof(P::VARSTRING));
  auto* vs = mem.As<P::VARSTRING>();
  TapiCheck(P::lineGetDevConfig(DeviceId, vs, kDataModem));
  // Opaque bytes, but never read beyond the block.
  if (vs->dwStringOffset > mem.Size || vs->dwStringSize > mem.Size - vs->dwStringOffset) return {};
  return std::string(reinterpret_cast<const char*>(mem.Data.get()) + vs->dwStringOffset, vs->dwStringSize);
}

void TTAPILine::SetDevConfig(DWORD DeviceId, const std::string& Config) {
  TapiCheck(P::lineSetDevConfig(DeviceId, Config.data(), static_cast<DWORD>(Config.size()), kDataModem));
}

void TTAPILine::ShowConfigDialog(DWORD DeviceId) {
  CheckActive();
  TapiCheck(P::lineConfigDialog(DeviceId, reinterpret_cast<P::HWND>(Framework::Application().Handle()), kDataModem));
}

void TTAPILine::ShowTranslateDialog(DWORD DeviceId, const std::string& Address) {
  CheckActive();
  TapiCheck(P::lineTranslateDialog(LineApp_, DeviceId, GetAPIVersion(DeviceId),
                                   reinterpret_cast<P::HWND>(Framework::Application().Handle()), Address.c_str()));
}

void TTAPILine::HandleCallback(DWORD aDevice, DWORD aMessage, DWORD_PTR aInstance, DWORD aParam1, DWORD aParam2,
                               DWORD aParam3) {
  if (OnHandleCallback_) OnHandleCallback_(aDevice, aMessage, aInstance, aParam1, aParam2, aParam3);
  switch (aMessage) {
    case P::LINE_ADDRESSSTATE: case P::LINE_CALLINFO: case P::LINE_CALLSTATE: case P::LINE_CLOSE:
    case P::LINE_GATHERDIGITS: case P::LINE_GENERATE: case P::LINE_LINEDEVSTATE: case P::LINE_MONITORDIGITS:
    case P::LINE_MONITORMEDIA: case P::LINE_MONITORTONE: case P::LINE_REPLY: case P::LINE_AGENTSPECIFIC:
    case P::LINE_AGENTSTATUS: case P::LINE_APPNEWCALL: case P::LINE_PROXYREQUEST: {
      // A handler may close (and so deregister) components: walk a copy, skipping the gone.
      std::vector<TLineCom*> lines = Lines_;
      for (TLineCom* l : lines) {
        if (std::find(Lines_.begin(), Lines_.end(), l) == Lines_.end()) continue;
        if (reinterpret_cast<DWORD_PTR>(l) == aInstance) l->HandleCallback(aDevice, aMessage, aParam1, aParam2, aParam3);
      }
      break;
    }
    default: break;
  }
}

// --- TLineCommHandle ---------------------------------------------------------------------------

void TLineCommHandle::DoAfterOpen() {
  if (LineCom && LineCom->OnConnect_) LineCom->OnConnect_(LineCom);
}

void TLineCommHandle::DoAfterClose() {
  if (LineCom && LineCom->OnDisconnect_) LineCom->OnDisconnect_(LineCom);
}

// --- TLineCom ----------------------------------------------------------------------------------

TLineCom::TLineCom(TComponent* AOwner) : TConnection(AOwner), CommHandle_(new TLineCommHandle(nullptr)) {
  CommHandle_->SetMonitorEvents({CommConnect::evRxChar});
  CommHandle_->SetDontSynchronize(true);
  CommHandle_->LineCom = this;
}

void TLineCom::BeforeDestruction() {
  TConnection::BeforeDestruction();
  DeviceId_ = NoDevice;
  CommHandle_.reset();
}

void TLineCom::SetDeviceId(DWORD Value) {
  CheckInactive();
  if (Value != DeviceId_) DeviceId_ = Value;
}

std::string TLineCom::DevConfig() { return TAPILine().GetDevConfig(DeviceId_); }
void TLineCom::SetDevConfig(const std::string& Value) { TAPILine().SetDevConfig(DeviceId_, Value); }
DWORD TLineCom::APIVersion() { return TAPILine().GetAPIVersion(DeviceId_); }

// The dialable form of PhoneNumber (empty when it cannot be translated) and its country.
std::string TLineCom::Translate(DWORD& DestCountry) {
  TAPI::TTapiMem mem = TAPI::GetTapiMem(sizeof(P::LINETRANSLATEOUTPUT));
  auto* out = mem.As<P::LINETRANSLATEOUTPUT>();
  (void)P::lineTranslateAddress(TAPILine().LineApp(), DeviceId_, APIVersion(), PhoneNumber_.c_str(), 0, 0, out);
  DestCountry = out->dwDestCountry;
  return TAPI::GetTapiString(out, out->dwDialableStringOffset, out->dwDialableStringSize);
}

std::string TLineCom::TranslatedPhoneNumber() {
  DWORD country = 0;
  return Translate(country);
}

void TLineCom::SetPhoneNumber(const std::string& Value) {
  CheckDisconnected();
  PhoneNumber_ = Value;
}

void TLineCom::SetDirectAccess(bool Value) {
  CheckDisconnected();
  DirectAccess_ = Value;
}

void TLineCom::CheckDeviceId() const {
  if (DeviceId_ == NoDevice) TAPIError(R::LoadResString(R::errBadDeviceId));
}
void TLineCom::CheckConnected() const {
  if (!Connected()) TAPIError(R::LoadResString(R::errNotConnected));
}
void TLineCom::CheckDisconnected() const {
  if (Connected()) TAPIError(R::LoadResString(R::errNotDisconnected));
}

void TLineCom::OpenConn() {
  CheckDeviceId();
  TAPILine().AddLine(this);
  TapiCheck(P::lineOpen(TAPILine().LineApp(), DeviceId_, &Line_, TAPILine().GetAPIVersion(DeviceId_), 0,
                        reinterpret_cast<DWORD_PTR>(this), P::LINECALLPRIVILEGE_OWNER, P::LINEMEDIAMODE_DATAMODEM,
                        nullptr));
}

void TLineCom::CloseConn() {
  if (Line_ != 0) {
    P::HLINE line = Line_;
    Line_ = 0;
    try {
      TapiCheck(P::lineClose(line));
    } catch (...) {
      TAPILine().RemoveLine(this);
      throw;
    }
  }
  TAPILine().RemoveLine(this);
}

void TLineCom::MakeCall() {
  CheckActive();
  CheckDisconnected();
  if (MakeCallRequest_ != 0) TAPIError(R::LoadResString(R::errCallInProcess));
  P::LINECALLPARAMS params{};
  params.dwTotalSize = sizeof params;
  params.dwBearerMode = DirectAccess_ ? P::LINEBEARERMODE_PASSTHROUGH : P::LINEBEARERMODE_VOICE;
  params.dwMediaMode = P::LINEMEDIAMODE_DATAMODEM;
  int32_t result;
  if (DirectAccess_) {
    result = P::lineMakeCall(Line_, &Call_, nullptr, 0, &params);
  } else {
    DWORD country = 0;
    std::string dialable = Translate(country);
    result = P::lineMakeCall(Line_, &Call_, dialable.c_str(), country, &params);
  }
  MakeCallRequest_ = TapiCheck(result);
}

void TLineCom::Drop() {
  if (DropRequest_ != 0 || Call_ == 0) return;
  DropRequest_ = TapiCheck(P::lineDrop(Call_, nullptr, 0));
}

void TLineCom::ShowTranslateDialog() {
  TAPILine().CheckActive();
  TAPILine().ShowTranslateDialog(DeviceId_, PhoneNumber_);
}

void TLineCom::CallStateChanged(DWORD aDevice, DWORD State) {
  switch (State) {
    case P::LINECALLSTATE_IDLE:
      CommHandle_->Close();
      if (Call_ != 0) {
        (void)P::lineDeallocateCall(Call_);
        Call_ = 0;
      }
      break;
    case P::LINECALLSTATE_OFFERING:
      if (!Connected()) {
        bool answer = false;
        if (OnCallOffering_) OnCallOffering_(this, answer);
        if (answer) {
          Call_ = aDevice;
          AnswerRequest_ = TapiCheck(P::lineAnswer(Call_, nullptr, 0));
        }
      }
      break;
    case P::LINECALLSTATE_CONNECTED:
      if (!Connected()) {
        P::HANDLE port = P::INVALID_HANDLE_VALUE;
        {
          TAPI::TTapiMem mem = TAPI::GetTapiMem(sizeof(P::VARSTRING));
          auto* vs = mem.As<P::VARSTRING>();
          TapiCheck(P::lineGetID(Line_, 0, Call_, P::LINECALLSELECT_CALL, vs, kDataModem));
          // The handle must lie within what the layer wrote.
          if (vs->dwStringSize < sizeof port || vs->dwStringOffset > mem.Size - sizeof port)
            TAPIError(R::LoadResString(R::errNotConnected));
          std::memcpy(&port, mem.Data.get() + vs->dwStringOffset, sizeof port);
        }
        CommHandle_->SethCommDev(port);
        CommHandle_->Open();
      }
      break;
    case P::LINECALLSTATE_DISCONNECTED:
      Drop();
      break;
    default: break;
  }
}

void TLineCom::HandleCallback(DWORD aDevice, DWORD aMessage, DWORD aParam1, DWORD aParam2, DWORD aParam3) {
  if (OnHandleCallback_) OnHandleCallback_(aDevice, aMessage, aParam1, aParam2, aParam3);
  if (aMessage == P::LINE_CALLSTATE) {
    CallStateChanged(aDevice, aParam1);
    if (OnStateChange_) OnStateChange_(this, aParam1, aParam2);
  } else if (aMessage == P::LINE_REPLY) {
    auto request = static_cast<int32_t>(aParam1);
    auto result = static_cast<int32_t>(aParam2);
    if (request == AnswerRequest_) {
      TapiCheck(result);
      if (OnCallAnswering_) OnCallAnswering_(this);
      AnswerRequest_ = 0;
    }
    if (request == MakeCallRequest_) {
      MakeCallRequest_ = 0;
      TapiCheck(result);
    }
    if (request == DropRequest_) {
      DropRequest_ = 0;
      TapiCheck(result);
    }
  }
}

void Register() { Framework::RegisterComponents("Communication", {Framework::ComponentClass<TLineCom>("TLineCom")}); }

namespace {
const bool kPublished = [] {
  Framework::TClassBuilder<TLineCom>("TLineCom", "TConnection")
      .Create()
      .ReadOnlyBoolean("Connected", &TLineCom::Connected)
      .Boolean("DirectAccess", &TLineCom::DirectAccess, &TLineCom::SetDirectAccess, false)
      .String("PhoneNumber", &TLineCom::PhoneNumber, &TLineCom::SetPhoneNumber)
      .Event<TCallOffering>("OnCallOffering", "TCallOffering", &TLineCom::OnCallOffering, &TLineCom::SetOnCallOffering)
      .Event<THandleCallback>("OnHandleCallback", "THandleCallback", &TLineCom::OnHandleCallback,
                              &TLineCom::SetOnHandleCallback)
      .Event<TNotifyEvent>("OnConnect", "TNotifyEvent", &TLineCom::OnConnect, &TLineCom::SetOnConnect)
      .Event<TNotifyEvent>("OnDisconnect", "TNotifyEvent", &TLineCom::OnDisconnect, &TLineCom::SetOnDisconnect)
      .Event<TNotifyEvent>("OnCallAnswering", "TNotifyEvent", &TLineCom::OnCallAnswering,
                           &TLineCom::SetOnCallAnswering)
      .Event<TStateChange>("OnStateChange", "TStateChange", &TLineCom::OnStateChange, &TLineCom::SetOnStateChange)
      .Commit();
  return true;
}();
}  // namespace

}  // namespace Halyard::TAPICom
