#pragma once
// TGSM: a GSM modem on a serial port, driven by AT command transactions.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "halyard/commconnect/CommConnect.h"
#include "halyard/connect/Connect.h"
#include "halyard/gsm/ATChannel.h"
#include "halyard/gsm/ATReplies.h"
#include "halyard/framework/Classes.h"
#include "halyard/framework/Threads.h"
#include "halyard/gsm/GSMUtils.h"
#include "halyard/gsm/SMS.h"

namespace Halyard::GSM {

using Framework::TComponent;
using Framework::TObject;
using Framework::TStringList;

class TGSM;
using TRxCharEvent = std::function<void(TObject* Sender, char aChar)>;
using TBusyChanged = std::function<void(TObject* Sender, bool aBusy)>;
using TUnsolicitedLineEvent = std::function<void(TObject* Sender, const std::string& aLine)>;
using TNetworkRegistrationEvent = std::function<void(TObject* Sender, int aNewStatus)>;
// aSMS belongs to the component and is freed when the handler returns.
using TUnsolicitedSMSEvent = std::function<void(TObject* Sender, int Idx, TSMS* aSMS)>;

enum TGSMUnsolicitedIndication { uindSMSDeliver, uindSMSStatusReport, uindCellBroadcast, uindOnlyIndication };
using TGSMUnsolicitedIndicationSet = Framework::Set<TGSMUnsolicitedIndication, 8>;

// The hand-over thread of a TGSM: runs the owner's main-thread receive step.
class TGSMAsyncThread : public TATHandOverThread {
 public:
  explicit TGSMAsyncThread(TGSM* Owner);
};

class TGSM : public Connect::TConnection, public ISMSModem, private TATChannel::TOwner {
 public:
  explicit TGSM(TComponent* AOwner);
  ~TGSM() override;
  void BeforeDestruction() override;

  // One AT command transaction; returns the final result's code. Strings (may be nil)
  // receives the information lines; Repeats 0 means RepeatCount attempts.
  int SendATCommand(const std::string& Cmd, uint8_t Mode, TStringList* Strings = nullptr, int Repeats = 0);
  int CheckAT(int Code);
  void Busy();
  void Unbusy();
  bool GetIsBusy() const { return BusyCount_.load() != 0; }
  bool IsBusy() const { return GetIsBusy(); }

  void OpenComDevice();
  void CloseComDevice(bool Restore);

  // The receiver thread's handler on the COM device, and the main thread's receive step.
  void DoComRxChar(TObject* Sender, int Count);
  void cmRxChar();

  // Settings.
  TGSMEquipment Equipment() const { return Equipment_; }
  void SetEquipment(TGSMEquipment v);
  uint8_t SMSFormat() const { return SMSFormat_; }
  void SetSMSFormat(uint8_t v);
  const std::string& PIN() const { return PIN_; }
  void SetPIN(const std::string& v);
  std::string SCA() const override;
  void SetSCA(const std::string& v);
  CommConnect::TComm* COMDevice() const { return COMDevice_; }
  void SetComDevice(CommConnect::TComm* v);
  bool ExtendedErrorMsg() const { return ExtendedErrorMsg_; }
  void SetExtendedErrorMsg(bool v) { ExtendedErrorMsg_ = v; }
  int RepeatCount() const { return Channel_.Settings.RepeatCount; }
  void SetRepeatCount(int v) { Channel_.Settings.RepeatCount = v; }
  int RecTimeout() const { return Channel_.Settings.RecTimeout; }
  void SetRecTimeout(int v) { Channel_.Settings.RecTimeout = v; }
  // The most one attempt accepts before it fails (see TATChannel::TSettings).
  int MaxReplyLines() const { return Channel_.Settings.MaxReplyLines; }
  void SetMaxReplyLines(int v) { Channel_.Settings.MaxReplyLines = v; }
  int MaxReplyBytes() const { return Channel_.Settings.MaxReplyBytes; }
  void SetMaxReplyBytes(int v) { Channel_.Settings.MaxReplyBytes = v; }
  // The silence a sent message's answer may take after its body (0: the model's, at least
  // RecTimeout). Past it the message is reported as possibly sent, never sent again.
  int SendTimeout() const { return SendTimeout_; }
  void SetSendTimeout(int v) { SendTimeout_ = std::max(v, 0); }
  int RepeatTimeout() const { return Channel_.Settings.RepeatTimeout; }
  void SetRepeatTimeout(int v) { Channel_.Settings.RepeatTimeout = v; }

  // Unsolicited lines and the events they raise are handled on this component's own thread
  // instead of the main thread (off by default): for a program with many modems, or none to
  // spare for a main loop. Transactions may then run on any thread, the main one included; the
  // event handlers are set before the port opens, as for any component with an event thread.
  void SetOwnThreadEvents(bool Value) { AsyncThread_->SetDirect(Value); }
  bool OwnThreadEvents() const { return AsyncThread_ && AsyncThread_->Direct(); }

  TGSMUnsolicitedIndicationSet UnsolicitedIndication() const { return UnsolicitedIndication_; }
  void SetUnsolicitedIndication(TGSMUnsolicitedIndicationSet Value);
  int RegistrationStatus() const { return RegistrationStatus_; }
  const std::string& MessageStorage() const { return MessageStorage_; }
  // Where the modem puts messages it receives (<mem3> of +CPMS, quoted), when the model reads the
  // storages; else MessageStorage.
  std::string ReceiveStorage() const { return Storages_.size() >= 3 ? Storages_[2] : MessageStorage_; }
  // The storages the modem offers for reading (+CPMS=?), quoted; empty when not asked or not said.
  const std::vector<std::string>& OfferedStorages() const { return OfferedStorages_; }
  int SMSService() const { return SMSService_; }

  // The device.
  void SwitchOff();
  void SetDefaults();
  TByteSet GetSupportedSMSFormats() const;
  TByteSet SupportedSMSFormats() const { return GetSupportedSMSFormats(); }
  // 1 manufacturer, 2 model, 3 revision, 4 serial number.
  std::string GetMEId(int Index);
  // The model row for what the modem says of itself (AT+CGMI, AT+CGMM); eqGeneric for a modem
  // that is none of the known ones or does not say.
  TGSMEquipment DetectEquipment();
  // Whether the modem has started again by itself since the last call (it said "RDY",
  // "^SYSSTART", ...): what the open set is lost, so the owner opens it again.
  bool TakeRestart() { return RestartSeen_.exchange(false); }
  // The +CNMI setting the open made ("mt,bm,ds" values as sent), empty before.
  std::string IndicationSetting() const;

  // The message storage.
  void SendSMS(TSMS2* M);
  // The message reference the modem gave the last message SendSMS sent; -1 when it named none.
  int LastMessageReference() const { return LastMessageReference_; }
  virtual int GetCMGLength(TSMS2* M);
  // The caller owns the result; nullptr when the answer holds no message.
  std::unique_ptr<TSMS2> ReadSMS(int Index, int& Status);
  void DeleteSMS(int Index);
  // Entries "index=status" with the messages attached; the list owns them.
  std::unique_ptr<TStringList> GetSMSList(int Stat);
  bool SCAinPDU() const override;
  void Setmem1(const std::string& Name);

  int LastResultCode() const { return Channel_.LastResultCode(); }
  std::string LastResultLine() const { return Channel_.LastResultLine(); }
  const TStringList& ResultCodes() const { return Channel_.ResultCodes(); }

  const TRxCharEvent& OnRxChar() const { return OnRxChar_; }
  const TBusyChanged& OnBusyChanged() const { return OnBusyChanged_; }
  const TUnsolicitedLineEvent& OnUnsolicitedLine() const { return OnUnsolicitedLine_; }
  const TNetworkRegistrationEvent& OnNetworkRegistration() const { return OnNetworkRegistration_; }
  const TUnsolicitedSMSEvent& OnUnsolicitedSMS() const { return OnUnsolicitedSMS_; }
  void SetOnRxChar(TRxCharEvent h) { OnRxChar_ = std::move(h); }
  void SetOnBusyChanged(TBusyChanged h) { OnBusyChanged_ = std::move(h); }
  void SetOnUnsolicitedLine(TUnsolicitedLineEvent h) { OnUnsolicitedLine_ = std::move(h); }
  void SetOnNetworkRegistration(TNetworkRegistrationEvent h) { OnNetworkRegistration_ = std::move(h); }
  void SetOnUnsolicitedSMS(TUnsolicitedSMSEvent h) { OnUnsolicitedSMS_ = std::move(h); }

 protected:
  void OpenConn() override;
  void CloseConn() override;
  void Notification(TComponent* AComponent, Framework::TOperation Operation) override;

  virtual void DoRxChar(char aChar);
  // A line framed on the main thread outside any transaction.
  virtual void ProcessRxLine(const std::string& aLine);
  virtual void DoUnsolicitedLine(const std::string& aLine);
  virtual void DoBusyChanged(bool aBusy);
  virtual void DoNetworkRegistration(int aNewStatus);
  virtual void DoUnsolicitedSMS(int Idx, TSMS* aSMS);
  // Configures the modem's indications; returns those it could not configure.
  virtual TGSMUnsolicitedIndicationSet DoSetUnsolicitedIndication(TGSMUnsolicitedIndicationSet V);

 private:
  // The channel's view of this component.
  void ChannelSend(const std::string& Text) override;
  void ChannelPurgeOut() override;
  void ChannelChar(char aChar) override { DoRxChar(aChar); }
  void ChannelLine(const std::string& Line) override { ProcessRxLine(Line); }
  static void Pause(int Ms) { TATChannel::Pause(Ms); }
  // RecTimeout raised to Ms for one step, when the model needs it.
  struct TLongerTimeout {
    TATChannel& c;
    int saved;
    TLongerTimeout(TGSM* g, bool When, int Ms) : c(g->Channel_), saved(c.Settings.RecTimeout) {
      if (When) c.Settings.RecTimeout = Ms;
    }
    ~TLongerTimeout() { c.Settings.RecTimeout = saved; }
  };
  // Waits for "+WIND: 4" while received lines go on being handled.
  bool WaitForStartUp(int Ms);
  int Command(const std::string& Cmd, uint8_t Mode, TStringList* Strings = nullptr, int Repeats = 0) {
    return CheckAT(SendATCommand(Cmd, Mode, Strings, Repeats));
  }

  std::atomic<TGSMEquipment> Equipment_{eqM1};  // read by the main thread's line handling
  int SendTimeout_ = 0;
  uint8_t SMSFormat_ = 0;
  std::string PIN_;
  int LastMessageReference_ = -1;
  std::string SCA_;
  CommConnect::TComm* COMDevice_ = nullptr;
  bool ExtendedErrorMsg_ = false;
  TGSMUnsolicitedIndicationSet UnsolicitedIndication_;
  int RegistrationStatus_ = 0;
  std::string MessageStorage_ = "\"SM\"";
  // <mem1>, <mem2>, <mem3> as the modem had them at the open (models that read the storages),
  // and whether it takes only the three-memory form of +CPMS.
  std::vector<std::string> Storages_;
  std::vector<std::string> OfferedStorages_;
  bool ThreeMemories_ = false;
  // Selects the storage of reading, listing and deleting (the open's and Setmem1's step).
  void SelectStorage(const std::string& Name);
  std::atomic<bool> RestartSeen_{false};
  std::atomic<uint64_t> OpenMark_{0};  // what the channel had received when the open was done
  mutable std::mutex IndicationLock_;
  std::string IndicationSetting_;
  int SMSService_ = 0;
  TStringList MEIdCache_;
  TNetworkRegistrationEvent OnNetworkRegistration_;
  TUnsolicitedSMSEvent OnUnsolicitedSMS_;
  // The message whose body line is awaited.
  std::unique_ptr<TSMS> PendingSMS_;
  std::string RxChunk_;  // the port's event thread only
  void Acknowledge();
  void RegistrationChanged(int Status);
  // "+CMTI: <mem>,<index>" and its kind: the storage switched to, then the event.
  void StoredIndication(const TStoredIndication& Item);
  TRxCharEvent OnRxChar_;
  TBusyChanged OnBusyChanged_;
  TUnsolicitedLineEvent OnUnsolicitedLine_;

  std::atomic<int> BusyCount_{0};

  TATChannel Channel_{*this};
  TGSMAsyncThread* AsyncThread_ = nullptr;
  Connect::TCommRxCharEvent SavedRxHandler_;
  bool SavedActive_ = false, SavedDontSynchronize_ = false;
  bool HandlerInstalled_ = false;
  // Lets the port's handler outlive this component safely: destruction closes the gate and
  // waits for calls already inside.
  struct TReceiverGate {
    std::mutex M;
    std::condition_variable Cv;
    int Inflight = 0;
    bool Open = true;
  };
  std::shared_ptr<TReceiverGate> Gate_ = std::make_shared<TReceiverGate>();
};

void Register();

}  // namespace Halyard::GSM
