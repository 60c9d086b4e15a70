#pragma once
// A serial port that dials out with a Hayes-style dialogue when opened and hangs up when closed.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "halyard/commconnect/CommConnect.h"

namespace Halyard::CommConnect {

using TModemRxCommandEvent = std::function<void(TObject* Sender, const std::string& aRx)>;

class TModem : public TComm {
 public:
  explicit TModem(TComponent* AOwner);

  // The command table: 0 cInit, 1 rInit, 2 cDial, 3 rConnect, 4 rBusy, 5 rNoCarrier,
  // 6 rNoDialtone, 7 cHangUp, 8 rHangUp, 9 PhoneNumber.
  std::string GetCommand(int Index) const;
  void SetCommand(int Index, const std::string& Value);

  // One command exchange: sends Cmd with CR LF and waits up to Timeout ms for a line that
  // begins with one of Responses; Index is then its position in the list.
  bool SendAndReceive(const std::string& Cmd, const std::vector<std::string>& Responses, int Timeout, int& Index);
  // Ends a running open script at once (it then fails with the silent abort); otherwise nothing.
  void Drop();

  std::string cInit() const { return GetCommand(0); }
  void SetcInit(const std::string& v) { SetCommand(0, v); }
  std::string rInit() const { return GetCommand(1); }
  void SetrInit(const std::string& v) { SetCommand(1, v); }
  std::string cDial() const { return GetCommand(2); }
  void SetcDial(const std::string& v) { SetCommand(2, v); }
  std::string rConnect() const { return GetCommand(3); }
  void SetrConnect(const std::string& v) { SetCommand(3, v); }
  std::string rBusy() const { return GetCommand(4); }
  void SetrBusy(const std::string& v) { SetCommand(4, v); }
  std::string rNoCarrier() const { return GetCommand(5); }
  void SetrNoCarrier(const std::string& v) { SetCommand(5, v); }
  std::string rNoDialtone() const { return GetCommand(6); }
  void SetrNoDialtone(const std::string& v) { SetCommand(6, v); }
  std::string cHangUp() const { return GetCommand(7); }
  void SetcHangUp(const std::string& v) { SetCommand(7, v); }
  std::string rHangUp() const { return GetCommand(8); }
  void SetrHangUp(const std::string& v) { SetCommand(8, v); }
  std::string PhoneNumber() const { return GetCommand(9); }
  void SetPhoneNumber(const std::string& v) { SetCommand(9, v); }

  int DelayBeforeInit() const { return DelayBeforeInit_; }
  void SetDelayBeforeInit(int v) { DelayBeforeInit_ = v; }
  int DelayAfterInit() const { return DelayAfterInit_; }
  void SetDelayAfterInit(int v) { DelayAfterInit_ = v; }
  int ResponseTimeout() const { return ResponseTimeout_; }
  void SetResponseTimeout(int v) { ResponseTimeout_ = v; }
  int ConnectTimeout() const { return ConnectTimeout_; }
  void SetConnectTimeout(int v) { ConnectTimeout_ = v; }

  // Runs in the port's event thread during an exchange.
  TModemRxCommandEvent OnRxCommand() const { return OnRxCommand_.Get(); }
  void SetOnRxCommand(TModemRxCommandEvent h) { OnRxCommand_.Set(std::move(h)); }

  void DoOnRxChar(int Count) override;

 protected:
  void OpenConn() override;
  void CloseConn() override;

 private:
  Framework::TWaitResult WaitLine(uint32_t Timeout);
  void CheckDrop() const;

  mutable std::mutex CommandsLock_;
  std::vector<std::string> Commands_;
  int DelayBeforeInit_ = 500;
  int DelayAfterInit_ = 1000;
  int ResponseTimeout_ = 500;
  int ConnectTimeout_ = 30000;
  std::string Response_;  // under the port's lock
  Framework::TEvent LineEvent_;
  std::atomic<bool> CommandMode_{false};
  std::atomic<bool> Dialling_{false};
  std::atomic<bool> DropRequested_{false};
  Framework::TEventSlot<TModemRxCommandEvent> OnRxCommand_;
};

}  // namespace Halyard::CommConnect
