#include "halyard/session/ModemSession.h"

#include <algorithm>

#include "halyard/auxstr/AuxStr.h"
#include "halyard/gsm/GSMUtils.h"

namespace Halyard::Session {

// A port that also logs what is written to it.
class TModemSession::TLoggedComm : public CommConnect::TComm {
 public:
  using TComm::TComm;
  int Write(const void* Buffer, int Count) override {
    if (Logger()) Log(0, std::string(static_cast<const char*>(Buffer), static_cast<size_t>(std::max(Count, 0))));
    return TComm::Write(Buffer, Count);
  }
};

TModemSession::TModemSession(const TModemOptions& Options) : Opt_(Options) {
  AutoModel_ = AuxStr::UpString(Opt_.Model) == "AUTO";
  // The simulator plays a TC35 until the modem's own answers pick its model.
  GSM::TGSMEquipment model = AutoModel_ ? GSM::eqTC35 : GSM::Str2GMSEquipment(Opt_.Model);
  CommConnect::TBaudrate baud;
  if (!CommConnect::Int2BaudRate(Opt_.Baud, baud)) GSM::GSMError("Unsupported baud rate " + std::to_string(Opt_.Baud));
  Device_ = Opt_.Device;
  if (Device_.empty()) {
    Simulator::TSimOptions so;
    so.Model = model;
    so.PIN = Opt_.PIN;
    Sim_ = std::make_unique<Simulator::TGSMSimulator>(so);
    Pty_ = std::make_unique<Platform::TPseudoTerminal>();
    Sim_->Start(Pty_->Master(), Pty_->Master());
    Device_ = Pty_->SlavePath();
  }
  auto* port = new TLoggedComm(nullptr);
  Port_.reset(port);
  Port_->SetDeviceName(Device_);
  Port_->SetBaudrate(baud);
  Gsm_ = Framework::MakeComponent<GSM::TGSM>(nullptr);
  Gsm_->SetComDevice(Port_.get());
  Gsm_->SetEquipment(model);
  if (!Opt_.Format.empty()) Gsm_->SetSMSFormat(Opt_.Format == "text" ? 1 : 0);
  Gsm_->SetPIN(Opt_.PIN);
  Gsm_->SetSCA(Opt_.SCA);
  Gsm_->SetRecTimeout(Opt_.TimeoutMs);
  Gsm_->SetOwnThreadEvents(Opt_.OwnThreadEvents);
  if (!Opt_.TrafficLog.empty()) {
    Logger_ = Framework::MakeComponent<Connect::TFileLogger>(nullptr);
    Logger_->SetLogFile(Opt_.TrafficLog);
    Logger_->SetLogFlags({Connect::lfInsertName, Connect::lfInsertChannel, Connect::lfDivideNames,
                          Connect::lfDivideChannels, Connect::lfStamp});
    Logger_->Open();
    Port_->SetLogger(Logger_.get());
    Port_->SetLogName(Opt_.LogName);
    Gsm_->SetOnRxChar([port](Framework::TObject*, char c) { port->Log(1, std::string(1, c)); });
  }
}

TModemSession::~TModemSession() {
  // The engine first: it waits for a hand-over to the main thread that is under way, whose
  // handlers reach the port, still there. The simulator stops before its terminal closes.
  Gsm_.reset();
  Port_.reset();
  Logger_.reset();
  if (Sim_) Sim_->Stop();
  Pty_.reset();
}

void TModemSession::Open(const std::function<void()>& Step) {
  auto step = [&] {
    if (Step) Step();
  };
  Gsm_->OpenComDevice();
  step();
  Gsm_->SendATCommand("AT", GSM::wmResult, nullptr, 1);
  step();
  if (AutoModel_ && !Gsm_->Active()) {
    Gsm_->SetEquipment(Gsm_->DetectEquipment());
    if (!Opt_.Format.empty()) Gsm_->SetSMSFormat(Opt_.Format == "text" ? 1 : 0);
  }
  Gsm_->Open();
}

}  // namespace Halyard::Session
