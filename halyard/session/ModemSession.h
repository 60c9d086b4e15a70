#pragma once
// One modem as the tools and the gateway open it: a serial device (or, without one, a simulated
// modem on a pseudo-terminal in this process), the engine on it with the model, format, PIN,
// service centre and time-out asked for, and a traffic log when one is named. Built from one
// options struct, so that every program opens a modem the same way.
#include <functional>
#include <memory>
#include <string>

#include "halyard/commconnect/CommConnect.h"
#include "halyard/connect/Loggers.h"
#include "halyard/framework/Classes.h"
#include "halyard/gsm/GSM.h"
#include "halyard/platform/Pty.h"
#include "halyard/simulator/GSMSimulator.h"

namespace Halyard::Session {

struct TModemOptions {
  std::string Device;          // empty: a simulated modem in this process
  std::string Model = "auto";  // picked from what the modem says of itself, or a model's name
  int Baud = 115200;
  std::string PIN, SCA;
  std::string Format;          // "pdu", "text" or "": the model's own
  std::string TrafficLog;      // a file for the AT traffic, if any
  std::string LogName = "modem";
  int TimeoutMs = 10000;       // the silence after which a command has failed
  bool OwnThreadEvents = false;  // the modem's events on its own thread (see TGSM)
};

class TModemSession {
 public:
  // Builds the port and the engine (and the simulator); nothing is opened yet. Raises
  // GSM::EGSMError for a baud rate the port cannot take or a model that does not exist.
  explicit TModemSession(const TModemOptions& Options);
  ~TModemSession();
  TModemSession(const TModemSession&) = delete;
  TModemSession& operator=(const TModemSession&) = delete;

  // Opens the device, asks one "AT" with one attempt (a silent device fails in one time-out,
  // not after every retry of the open dialogue), picks the model when it is "auto", and runs
  // the open dialogue. Step, when given, runs between these and may throw to give up.
  void Open(const std::function<void()>& Step = nullptr);

  GSM::TGSM& Gsm() { return *Gsm_; }
  // The device, or the pseudo-terminal of the simulated modem.
  const std::string& Device() const { return Device_; }
  Simulator::TGSMSimulator* Simulated() { return Sim_.get(); }
  bool AutoModel() const { return AutoModel_; }

 private:
  class TLoggedComm;
  TModemOptions Opt_;
  bool AutoModel_ = false;
  std::string Device_;
  std::unique_ptr<Simulator::TGSMSimulator> Sim_;
  std::unique_ptr<Platform::TPseudoTerminal> Pty_;
  Framework::TOwned<Connect::TFileLogger> Logger_;
  Framework::TOwned<CommConnect::TComm> Port_;
  Framework::TOwned<GSM::TGSM> Gsm_;
};

}  // namespace Halyard::Session
