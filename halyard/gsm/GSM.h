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

#include "halyard/commconnect/CommConnect.h"
#include "halyard/connect/Connect.h"
#include "halyard/framework/FrontBuffer.h"
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

class TGSMAsyncThread : public Framework::TWakeableThread {
 public:
  explicit TGSMAsyncThread(TGSM* Owner);
  ~TGSMAsyncThread() override;

 protected:
  void Execute() override;
  void cmRxChar();

 private:
  TGSM* Owner_;
};

// The bits of a transaction's wait mode and of what the receiver has seen.
enum : uint8_t {
  wmResult = 1,       // a final result, which must be an OK one
  wmResponse = 2,     // at least one response line
  wmFinal = 4,        // the final result
  wmPrompt = 8,       // two-stage command with the ">" prompt
  wmPrefixed = 16,    // information lines only with the command's prefix, stored without it
  wmDrain = 32,       // internal: finishing a partly received line before sending
  wmErrorEnds = 64,   // an error final result also ends the transaction
};
// The modes the package uses, by what they wait for.
constexpr uint8_t wmAnswer = wmResult | wmResponse;                       // lines, then an OK
constexpr uint8_t wmPrefixedLines = wmResponse | wmPrefixed;              // "+X: value" lines, no result needed
constexpr uint8_t wmPrefixedAnswer = wmResult | wmResponse | wmPrefixed;  // "+X: value" lines, then an OK
constexpr uint8_t wmTwoStage = wmResult | wmResponse | wmFinal | wmPrompt | wmPrefixed;  // "+CMGS" with its body
constexpr uint8_t wmAnswerOrError = wmResult | wmResponse | wmErrorEnds;  // an error result also ends it

class TGSM : public Connect::TConnection, public ISMSModem {
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
  int RepeatCount() const { return RepeatCount_; }
  void SetRepeatCount(int v) { RepeatCount_ = v; }
  int RecTimeout() const { return RecTimeout_; }
  void SetRecTimeout(int v) { RecTimeout_ = v; }
  // The most one attempt accepts before it fails: a modem that babbles cannot hold a command.
  // Far above any real answer (a full list of 255 stored messages is about 510 lines, 100 KiB).
  int MaxReplyLines() const { return MaxReplyLines_; }
  void SetMaxReplyLines(int v) { MaxReplyLines_ = v; }
  int MaxReplyBytes() const { return MaxReplyBytes_; }
  void SetMaxReplyBytes(int v) { MaxReplyBytes_ = v; }
  int RepeatTimeout() const { return RepeatTimeout_; }
  void SetRepeatTimeout(int v) { RepeatTimeout_ = v; }

  TGSMUnsolicitedIndicationSet UnsolicitedIndication() const { return UnsolicitedIndication_; }
  void SetUnsolicitedIndication(TGSMUnsolicitedIndicationSet Value);
  int RegistrationStatus() const { return RegistrationStatus_; }
  const std::string& MessageStorage() const { return MessageStorage_; }
  int SMSService() const { return SMSService_; }

  // The device.
  void SwitchOff();
  void SetDefaults();
  TByteSet GetSupportedSMSFormats() const;
  TByteSet SupportedSMSFormats() const { return GetSupportedSMSFormats(); }
  // 1 manufacturer, 2 model, 3 revision, 4 serial number.
  std::string GetMEId(int Index);

  // The message storage.
  void SendSMS(TSMS2* M);
  virtual int GetCMGLength(TSMS2* M);
  // The caller owns the result; nullptr when the answer holds no message.
  std::unique_ptr<TSMS2> ReadSMS(int Index, int& Status);
  void DeleteSMS(int Index);
  // Entries "index=status" with the messages attached; the list owns them.
  std::unique_ptr<TStringList> GetSMSList(int Stat);
  bool SCAinPDU() const override;
  void Setmem1(const std::string& Name);

  int LastResultCode() const;
  std::string LastResultLine() const;
  const TStringList& ResultCodes() const { return ResultCodes_; }

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

  // Length of an awaited body line (0: none) and the characters to skip before it.
  int PendingLength_ = 0;
  int BodyStart_ = 0;
  // Set by the receiver after each chunk while a transaction runs.
  Framework::TEvent ResponseEvent_;

 private:
  struct Attempt;
  bool RunAttempt(const std::string& Cmd, uint8_t Mode);
  void Drain(uint8_t Mode);
  // Waits for ResponseEvent up to RecTimeout of silence; returns false on time-out.
  bool WaitResponse(uint64_t& SeenProgress, const std::function<bool()>& Done);
  void HandleLine(const std::string& L);  // under StateLock_
  void SendText(const std::string& Text);
  void Pause(int Ms);
  // Waits for "+WIND: 4" while received lines go on being handled.
  bool WaitForStartUp(int Ms);
  int Command(const std::string& Cmd, uint8_t Mode, TStringList* Strings = nullptr, int Repeats = 0) {
    return CheckAT(SendATCommand(Cmd, Mode, Strings, Repeats));
  }

  TGSMEquipment Equipment_ = eqM1;
  uint8_t SMSFormat_ = 0;
  std::string PIN_;
  std::string SCA_;
  CommConnect::TComm* COMDevice_ = nullptr;
  bool ExtendedErrorMsg_ = false;
  int RepeatCount_ = 5, RecTimeout_ = 6000, RepeatTimeout_ = 500;
  TGSMUnsolicitedIndicationSet UnsolicitedIndication_;
  int RegistrationStatus_ = 0;
  std::string MessageStorage_ = "\"SM\"";
  int SMSService_ = 0;
  TStringList MEIdCache_;
  TNetworkRegistrationEvent OnNetworkRegistration_;
  TUnsolicitedSMSEvent OnUnsolicitedSMS_;
  // The message whose body line is awaited.
  std::unique_ptr<TSMS> PendingSMS_;
  void Acknowledge();
  TRxCharEvent OnRxChar_;
  TBusyChanged OnBusyChanged_;
  TUnsolicitedLineEvent OnUnsolicitedLine_;

  TStringList ResultCodes_;
  std::atomic<int> BusyCount_{0};

  // Shared by the calling thread and the receiver thread.
  mutable std::mutex StateLock_;
  uint8_t WaitMode_ = 0;
  uint8_t RxState_ = 0;
  bool PartialLine_ = false;
  std::string ResponseBuffer_;
  std::string LastResultLine_;
  int LastResultCode_ = 0;
  std::string CommandName_;
  TStringList* ResultLines_ = nullptr;
  uint64_t Progress_ = 0;  // chunks that completed a line of the transaction
  // Whether the modem echoes commands (learnt from the echoes seen), whether this attempt's echo
  // has come, and how many result lines the attempt found in place.
  int MaxReplyLines_ = 1000, MaxReplyBytes_ = 256 * 1024;
  long long AttemptLines_ = 0, AttemptBytes_ = 0;  // what this attempt has received
  bool Overflow_ = false;
  bool EchoOn_ = false;
  bool EchoSeen_ = false;
  int LinesAtStart_ = 0;

  // Shared by the receiver thread and the main thread.
  Framework::TCriticalSection RxLock_;
  Framework::TFrontBuffer AsyncBuffer_;
  long long AsyncPos_ = 0;
  bool Framing_ = false;

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
