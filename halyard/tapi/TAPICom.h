#pragma once
// The process-wide telephony line application and the data-call component whose connected
// call's port becomes a serial port.
#include <functional>
#include <string>
#include <vector>

#include "halyard/commconnect/CommConnect.h"
#include "halyard/connect/Connect.h"
#include "halyard/tapi/TAPI.h"

namespace Halyard::TAPICom {

using Framework::TComponent;
using Framework::TNotifyEvent;
using Framework::TObject;
using Platform::DWORD;
using Platform::DWORD_PTR;

class TLineCom;

using TTAPIHandleCallback = std::function<void(DWORD aDevice, DWORD aMessage, DWORD_PTR aInstance, DWORD aParam1,
                                               DWORD aParam2, DWORD aParam3)>;
using TCallOffering = std::function<void(TObject* Sender, bool& aAnswer)>;
using THandleCallback = std::function<void(DWORD aDevice, DWORD aMessage, DWORD aParam1, DWORD aParam2, DWORD aParam3)>;
using TStateChange = std::function<void(TObject* Sender, DWORD aParam1, DWORD aParam2)>;

// Its messages arrive on the main thread, and it is used from there only.
class TTAPILine : public Connect::TConnection {
 public:
  explicit TTAPILine(TComponent* AOwner) : TConnection(AOwner) {}
  // CloseAll, then the inherited close.
  void BeforeDestruction() override;

  void AddLine(TLineCom* Line);
  void RemoveLine(TLineCom* Line);
  // Destroys every registered data-call component, the last registered first.
  void CloseAll();
  int GetCount() const { return static_cast<int>(Lines_.size()); }
  TLineCom* GetLine(int Index) const;

  Platform::HLINEAPP LineApp() const { return LineApp_; }
  DWORD NumDevs() const { return NumDevs_; }
  bool KeepConnection() const { return KeepConnection_; }
  void SetKeepConnection(bool v) { KeepConnection_ = v; }
  const TTAPIHandleCallback& OnHandleCallback() const { return OnHandleCallback_; }
  void SetOnHandleCallback(TTAPIHandleCallback h) { OnHandleCallback_ = std::move(h); }

  DWORD GetAPIVersion(DWORD DeviceId);
  std::string GetLineName(DWORD DeviceId);
  // The first line of that exact name, or -1.
  int64_t FindDeviceId(const std::string& Name);
  std::string GetDevConfig(DWORD DeviceId);
  void SetDevConfig(DWORD DeviceId, const std::string& Config);
  void ShowConfigDialog(DWORD DeviceId);
  void ShowTranslateDialog(DWORD DeviceId, const std::string& Address);

  virtual void HandleCallback(DWORD aDevice, DWORD aMessage, DWORD_PTR aInstance, DWORD aParam1, DWORD aParam2,
                              DWORD aParam3);

 protected:
  void OpenConn() override;
  void CloseConn() override;

 private:
  std::vector<TLineCom*> Lines_;
  Platform::HLINEAPP LineApp_ = 0;
  DWORD NumDevs_ = 0;
  bool KeepConnection_ = false;
  TTAPIHandleCallback OnHandleCallback_;
};

// The single line application, created on first use and destroyed at exit.
TTAPILine& TAPILine();

// The callback registered with the telephony layer.
void LineCallback(DWORD hDevice, DWORD dwMessage, DWORD_PTR dwCallbackInstance, DWORD dwParam1, DWORD dwParam2,
                  DWORD dwParam3);

// A serial port on the handle of a connected call; its open and close tell the owning TLineCom.
class TLineCommHandle : public CommConnect::TCommHandle {
 public:
  explicit TLineCommHandle(TComponent* AOwner) : TCommHandle(AOwner) {}
  TLineCom* LineCom = nullptr;

 protected:
  void DoAfterOpen() override;
  void DoAfterClose() override;
};

class TLineCom : public Connect::TConnection {
 public:
  static constexpr DWORD NoDevice = 0xFFFFFFFF;

  explicit TLineCom(TComponent* AOwner);
  // Closes, forgets the device and destroys the serial handle object.
  void BeforeDestruction() override;

  DWORD DeviceId() const { return DeviceId_; }
  void SetDeviceId(DWORD Value);
  std::string DevConfig();
  void SetDevConfig(const std::string& Value);
  std::string TranslatedPhoneNumber();
  DWORD APIVersion();
  Platform::HLINEAPP LineApp() const { return TAPILine().LineApp(); }
  bool IsMakingCall() const { return MakeCallRequest_ != 0; }
  bool IsDropping() const { return DropRequest_ != 0; }
  bool IsAnswering() const { return AnswerRequest_ != 0; }
  TLineCommHandle* CommHandle() const { return CommHandle_.get(); }
  bool Connected() const { return CommHandle_ && CommHandle_->Active(); }
  Platform::HLINE LineHandle() const { return Line_; }
  Platform::HCALL CallHandle() const { return Call_; }

  const std::string& PhoneNumber() const { return PhoneNumber_; }
  void SetPhoneNumber(const std::string& Value);
  bool DirectAccess() const { return DirectAccess_; }
  void SetDirectAccess(bool Value);

  void MakeCall();
  void Drop();
  void ShowTranslateDialog();
  void CheckDeviceId() const;
  void CheckConnected() const;
  void CheckDisconnected() const;

  virtual void HandleCallback(DWORD aDevice, DWORD aMessage, DWORD aParam1, DWORD aParam2, DWORD aParam3);

  const TCallOffering& OnCallOffering() const { return OnCallOffering_; }
  void SetOnCallOffering(TCallOffering h) { OnCallOffering_ = std::move(h); }
  const THandleCallback& OnHandleCallback() const { return OnHandleCallback_; }
  void SetOnHandleCallback(THandleCallback h) { OnHandleCallback_ = std::move(h); }
  const TNotifyEvent& OnConnect() const { return OnConnect_; }
  void SetOnConnect(TNotifyEvent h) { OnConnect_ = std::move(h); }
  const TNotifyEvent& OnDisconnect() const { return OnDisconnect_; }
  void SetOnDisconnect(TNotifyEvent h) { OnDisconnect_ = std::move(h); }
  const TNotifyEvent& OnCallAnswering() const { return OnCallAnswering_; }
  void SetOnCallAnswering(TNotifyEvent h) { OnCallAnswering_ = std::move(h); }
  const TStateChange& OnStateChange() const { return OnStateChange_; }
  void SetOnStateChange(TStateChange h) { OnStateChange_ = std::move(h); }

 protected:
  void OpenConn() override;
  void CloseConn() override;

 private:
  friend class TLineCommHandle;
  void CallStateChanged(DWORD aDevice, DWORD State);
  std::string Translate(DWORD& DestCountry);

  DWORD DeviceId_ = NoDevice;
  Platform::HLINE Line_ = 0;
  Platform::HCALL Call_ = 0;
  std::string PhoneNumber_;
  TCallOffering OnCallOffering_;
  THandleCallback OnHandleCallback_;
  TNotifyEvent OnConnect_, OnDisconnect_, OnCallAnswering_;
  TStateChange OnStateChange_;
  Framework::TOwned<TLineCommHandle> CommHandle_;
  bool DirectAccess_ = false;
  int32_t AnswerRequest_ = 0, MakeCallRequest_ = 0, DropRequest_ = 0;
};

// Puts TLineCom on the palette page "Communication".
void Register();

}  // namespace Halyard::TAPICom
