#pragma once
// The serial port as a byte-stream connection, with its line-event thread.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "halyard/connect/Connect.h"
#include "halyard/framework/EventSlot.h"
#include "halyard/framework/Set.h"
#include "halyard/framework/Threads.h"
#include "halyard/platform/Serial.h"

namespace Halyard::CommConnect {

using Framework::TComponent;
using Framework::TObject;
using Platform::DWORD;
using Platform::HANDLE;

// This unit's own exception: system-call failures and modem messages.
class EComError : public Framework::Exception {
 public:
  using Exception::Exception;
};

enum TBaudrate {
  br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200, br38400, br56000,
  br57600, br115200, br128000, br256000
};
enum TParity { paNone, paOdd, paEven, paMark, paSpace };
enum TStopbits { sb10, sb15, sb20 };
enum TDatabits { da4, da5, da6, da7, da8 };
enum TFlowControl { fcNone, fcCTS, fcDTR, fcSoftware, fcDefault };
enum TCommOption { coParityCheck, coDsrSensitivity, coIgnoreXOff, coErrorChar, coNullStrip };
using TCommOptions = Framework::Set<TCommOption>;
enum TCommEventType { evBreak, evCts, evDsr, evError, evRing, evRlsd, evRxChar, evRxFlag, evTxEmpty };
using TCommEventTypes = Framework::Set<TCommEventType>;
inline const TCommEventTypes AllCommEvents{evBreak, evCts,    evDsr,    evError,  evRing,
                                           evRlsd,  evRxChar, evRxFlag, evTxEmpty};

using TNotifyEvent = Framework::TNotifyEvent;
using TCommErrorEvent = std::function<void(TObject* Sender, int Errors)>;

bool Int2BaudRate(int Value, TBaudrate& Baudrate);
int BaudRate2Int(TBaudrate Baudrate);
DWORD EventMaskOf(TCommEventType Event);
Framework::TWaitResult Event_WaitFor(Framework::TEvent* Event, uint32_t Timeout);
// Raises EComError "Error %d %s in function: %s" for the calling thread's last system error.
[[noreturn]] void ComError2(const std::string& FunctionName);

class TCommHandle;

// Its wake-up event is also the completion event of its waits, so Terminate ends a pending wait.
class TCommEventThread : public Framework::TWakeableThread {
 public:
  TCommEventThread(TCommHandle* Owner, HANDLE Handle, TCommEventTypes Events);
  ~TCommEventThread() override;

 protected:
  void Execute() override;
  void DoOnSignal();

 private:
  TCommHandle* Owner_;
  HANDLE Handle_;
  DWORD Mask_ = 0;  // written by the system when a wait completes
  Platform::OVERLAPPED Overlapped_;
};

class TCommHandle : public Connect::TCommunicationConnection {
 public:
  explicit TCommHandle(TComponent* AOwner);
  ~TCommHandle() override;

  HANDLE hCommDev() const { return Handle_; }
  void SethCommDev(HANDLE Value);

  void Lock() { Lock_.Enter(); }
  void Unlock() { Lock_.Leave(); }

  int InQueCount() override;
  int OutQueCount();
  void PurgeIn() override;
  void PurgeOut() override;
  int Write(const void* Buffer, int Count) override;
  int Read(void* Buffer, int Count) override;

  void EscapeComm(int Func);
  void SetEsc(int Index, bool Value);
  bool GetComState(int Index);
  bool GetModemState(DWORD Mask);
  char GetEventChar(int Index) const;
  void SetEventChar(int Index, char Value);

  void UpdateDataControlBlock();
  virtual void UpdateDCB();
  void UpdateCommTimeouts();
  virtual void HandleCommEvent(DWORD Status);

  TBaudrate Baudrate() const { return Baudrate_; }
  void SetBaudrate(TBaudrate v);
  TParity Parity() const { return Parity_; }
  void SetParity(TParity v);
  TStopbits Stopbits() const { return Stopbits_; }
  void SetStopbits(TStopbits v);
  TDatabits Databits() const { return Databits_; }
  void SetDatabits(TDatabits v);
  TCommOptions Options() const { return Options_; }
  void SetOptions(TCommOptions v);
  TFlowControl FlowControl() const { return FlowControl_; }
  void SetFlowControl(TFlowControl v);
  char XonChar() const { return GetEventChar(1); }
  void SetXonChar(char v) { SetEventChar(1, v); }
  char XoffChar() const { return GetEventChar(2); }
  void SetXoffChar(char v) { SetEventChar(2, v); }
  char ErrorChar() const { return GetEventChar(3); }
  void SetErrorChar(char v) { SetEventChar(3, v); }
  char EofChar() const { return GetEventChar(4); }
  void SetEofChar(char v) { SetEventChar(4, v); }
  char EvtChar() const { return GetEventChar(5); }
  void SetEvtChar(char v) { SetEventChar(5, v); }
  int ReadTimeout() const { return ReadTimeout_.load(); }
  void SetReadTimeout(int v) { ReadTimeout_.store(v); }
  int WriteTimeout() const { return WriteTimeout_.load(); }
  void SetWriteTimeout(int v) { WriteTimeout_.store(v); }
  int ReadBufSize() const { return ReadBufSize_; }
  void SetReadBufSize(int v);
  int WriteBufSize() const { return WriteBufSize_; }
  void SetWriteBufSize(int v);
  TCommEventTypes MonitorEvents() const { return MonitorEvents_; }
  void SetMonitorEvents(TCommEventTypes v);

  void SetOnBreak(TNotifyEvent h) { OnBreak_.Set(std::move(h)); }
  void SetOnCts(TNotifyEvent h) { OnCts_.Set(std::move(h)); }
  void SetOnDsr(TNotifyEvent h) { OnDsr_.Set(std::move(h)); }
  void SetOnRing(TNotifyEvent h) { OnRing_.Set(std::move(h)); }
  void SetOnRlsd(TNotifyEvent h) { OnRlsd_.Set(std::move(h)); }
  void SetOnRxFlag(TNotifyEvent h) { OnRxFlag_.Set(std::move(h)); }
  void SetOnTxEmpty(TNotifyEvent h) { OnTxEmpty_.Set(std::move(h)); }
  void SetOnError(TCommErrorEvent h) { OnError_.Set(std::move(h)); }
  TNotifyEvent OnBreak() const { return OnBreak_.Get(); }
  TNotifyEvent OnCts() const { return OnCts_.Get(); }
  TNotifyEvent OnDsr() const { return OnDsr_.Get(); }
  TNotifyEvent OnRing() const { return OnRing_.Get(); }
  TNotifyEvent OnRlsd() const { return OnRlsd_.Get(); }
  TNotifyEvent OnRxFlag() const { return OnRxFlag_.Get(); }
  TNotifyEvent OnTxEmpty() const { return OnTxEmpty_.Get(); }
  TCommErrorEvent OnError() const { return OnError_.Get(); }

 protected:
  void OpenConn() override;
  void CloseConn() override;
  // Set by descendants that opened the handle themselves, so its failure is theirs to report.
  bool HandleFromOpen_ = false;
  HANDLE Handle_ = Platform::INVALID_HANDLE_VALUE;

 private:
  friend class TCommEventThread;
  int Transfer(bool Writing, void* Buffer, int Count);
  template <class T>
  void ApplyLineSetting(T& Field, T Value);

  TBaudrate Baudrate_ = br9600;
  TParity Parity_ = paNone;
  TStopbits Stopbits_ = sb10;
  TDatabits Databits_ = da8;
  TFlowControl FlowControl_ = fcDefault;
  TCommOptions Options_;
  std::array<char, 5> EventChars_{17, 19, 0, 0, 0};
  std::atomic<int> ReadTimeout_{1000}, WriteTimeout_{1000};
  int ReadBufSize_ = 4096, WriteBufSize_ = 2048;
  TCommEventTypes MonitorEvents_ = AllCommEvents;
  Framework::TEvent IOEvent_;
  Framework::TCriticalSection Lock_;
  TCommEventThread* EventThread_ = nullptr;
  Framework::TRetiredThread Retired_;
  Framework::TEventSlot<TNotifyEvent> OnBreak_, OnCts_, OnDsr_, OnRing_, OnRlsd_, OnRxFlag_, OnTxEmpty_;
  Framework::TEventSlot<TCommErrorEvent> OnError_;
};

class TComm : public TCommHandle {
 public:
  explicit TComm(TComponent* AOwner) : TCommHandle(AOwner) {}
  const std::string& DeviceName() const { return DeviceName_; }
  void SetDeviceName(const std::string& Value);

 protected:
  void OpenConn() override;
  void CloseConn() override;

 private:
  std::string DeviceName_ = "Com2";
};

// Puts TComm and TModem on the palette page "Communication".
void Register();

}  // namespace Halyard::CommConnect
