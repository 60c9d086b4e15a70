#pragma once
// A simulated GSM modem that speaks AT (3GPP TS 27.007 / 27.005) on a file descriptor pair,
// for tests, tools and applications without hardware. It is a peer of the engine, with a
// line handling of its own; it uses the package's PDU codec for message bodies.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "halyard/gsm/GSMUtils.h"
#include "halyard/gsm/SMS.h"

namespace Halyard::Simulator {

// How the modem behaves beyond 27.005, as the families of today's modems do (after ModemManager's
// plugins and test data, gammu's AT driver and asterisk chan_dongle): their names, storages,
// indications, reports among the answers and lines at start-up.
enum class TPersonality {
  Classic,         // the model's own behaviour, nothing more
  QuectelEC25,     // everything in "ME"; reports stored in "SR", announced as "SM"
  SIMComSIM7600,   // boot lines RDY, SMS DONE, PB DONE
  SIMComSIM800,    // boot lines RDY, Call Ready, SMS Ready
  HuaweiE3372,     // ^RSSI/^HCSQ/^MODE among answers and behind the prompt until ^CURC=0;
                   // COMMAND NOT SUPPORT; unquoted +CREG locations
  HuaweiE3372Three,  // the same, +CPMS only with three memories, no ^CURC
  SierraMC7455,    // offers +CNMI <ds> 1 and refuses it
  Ublox,           // verbose +CME errors
  Telit,           // #STN reports among the answers
};
TPersonality Str2Personality(const std::string& Name);  // raises EGSMError
extern const char* const PersonalityNames;               // for help texts

struct TSimOptions {
  // The model real clients expect: PDUs with the service-centre octet, both formats.
  GSM::TGSMEquipment Model = GSM::eqTC35;
  std::string PIN;          // empty: the SIM asks for none
  std::string PUK = "12345678";
  std::string OwnNumber = "+15550000001";
  std::string ServiceCentre = "+15550009999";
  std::string IMSI = "001010123456789";  // the test network 001-01
  std::string IMEI = "490154203237518";
  std::string ICCID = "8900101012345678901";  // the SIM's; AT+CCID (not Huawei) and EF_ICCID by +CRSM
  int SMCapacity = 10, MECapacity = 20;
  TPersonality Personality = TPersonality::Classic;
  int CmgsDelayMs = 0;     // the answer to a sent message comes this late
  bool BootNoise = false;  // still starting when first spoken to: its boot lines come first
};

class TGSMSimulator {
 public:
  explicit TGSMSimulator(TSimOptions Options = {});
  ~TGSMSimulator();
  TGSMSimulator(const TGSMSimulator&) = delete;
  TGSMSimulator& operator=(const TGSMSimulator&) = delete;

  // Serves the modem on these descriptors (the same one twice for a pseudo-terminal master)
  // until Stop or the end of input.
  void Start(int InFd, int OutFd);
  void Stop();
  // In-process use without descriptors: feed bytes, collect the answers through Output.
  void Feed(const std::string& Bytes);
  std::function<void(const std::string&)> Output;
  // Every chunk received (In true) and sent, for a log of the traffic; called under the lock.
  std::function<void(bool In, const std::string&)> Traffic;
  // Whether it still serves its descriptors (it stops at the end of their input).
  bool Serving() const { return Serving_.load(); }

  // The control interface.
  // Text in UTF-8, any length; the parts of a long one last first when Reversed.
  void InjectSMS(const std::string& From, const std::string& Text, bool Reversed = false);
  void InjectPDU(const std::string& DeliverHex);                     // a TPDU without service centre
  void InjectStatusReport(uint8_t MR, uint8_t Status);
  void InjectCellBroadcast(uint16_t Id, const std::string& Text);
  void SetRegistration(int Status);
  void SetDelay(int Ms);       // before every answer
  void SetSilent(bool On);     // no answers at all
  void SetNoise(bool On);      // unsolicited "+CSQ" lines between answers
  void SetCmgsDelay(int Ms);   // the answer to each sent message this late
  // Starts again as after a power cut: settings lost, boot lines sent; stored messages kept.
  void Restart();
  // Stops answering anything until "AT+CFUN=1,1" resets it, as a hung modem does.
  void SetHung(bool On);
  // One control line as the program reads it ("sms FROM TEXT", "creg 5", ...); returns an error
  // text, empty on success.
  std::string Control(const std::string& Line);
  static const char* ControlHelp();

  struct TStored {
    int Status;  // 0 REC UNREAD, 1 REC READ, 2 STO UNSENT, 3 STO SENT
    std::string PDU;  // with a service-centre field in front
  };
  std::map<int, TStored> Storage(const std::string& Mem) const;
  std::vector<std::string> Commands() const;  // every command line received

 private:
  void Serve();
  void Process(const std::string& Bytes);  // under M_
  void CommandLine(const std::string& Line);  // under M_: one line, maybe several commands
  static std::vector<std::string> SplitCommandLine(const std::string& AfterAT);
  void Command(std::string Line);          // under M_
  void Reply(const std::string& Text);     // under M_: raw output
  void Line(const std::string& Text);
  void Ok() {
    if (Batch_) return;
    Chatter();
    Line("OK");
  }
  void Error(int Cme);
  void CmsError(int Cms);
  void FinishMessage(const std::string& Body, bool Escape);
  void Deliver(const std::string& DeliverPDUWithSCA, bool StatusReport);
  // A message that found the storage full: delivered once a message is deleted.
  void KeepBack(const std::string& Pdu, bool StatusReport);
  static constexpr size_t kMaxWaiting = 1000;
  std::deque<std::pair<std::string, bool>> Waiting_;
  static std::string AsDelivered(const GSM::TSMSSubmit& Submit, const std::string& TPDU, const std::string& From);
  void Unsolicited(const std::string& Text);
  bool SCAinPDU() const;
  std::map<int, TStored>& Mem(const std::string& Name);
  int Store(const std::string& Name, TStored Item);
  std::string ListEntry(int Index, const TStored& Item, bool Read);

  TSimOptions Opt_;
  mutable std::mutex M_;
  std::thread Thread_;
  int InFd_ = -1, OutFd_ = -1, StopR_ = -1, StopW_ = -1, WakeR_ = -1, WakeW_ = -1;
  std::string In_;
  std::vector<std::string> Commands_;
  bool Echo_ = true;
  int Cmee_ = 0;
  bool PinOk_;
  int PinTries_ = 3;
  int Creg_ = 0;
  int Reg_ = 1;
  int Cfun_ = 1;
  int Cmgf_ = 0;
  int Csdh_ = 0;
  int Csms_ = 0;
  std::string Sca_;
  int Csmp_[4] = {17, 167, 0, 0};
  int Cnmi_[5] = {0, 0, 0, 0, 0};
  std::string Mem1_ = "SM", Mem2_ = "SM", Mem3_ = "SM";
  std::map<int, TStored> SM_, ME_, SR_;
  // The personality's parts.
  void BootLines();
  void Chatter();  // a report among the answers, where the personality has them
  int ChatterCount_ = 0;
  bool Quiet_ = false;     // ^CURC=0 taken
  bool Booted_ = false;    // boot noise sent
  // A send whose answer is held back until Due; input waits meanwhile, as with a busy modem.
  std::function<void()> Deferred_;
  std::chrono::steady_clock::time_point DeferredDue_{};
  std::string HeldIn_;
  int NextMR_ = 1;
  // A message being typed after the prompt.
  bool InBody_ = false;
  std::string BodyCmd_;
  int BodyStat_ = 2;  // the status a written message is stored with
  int Delay_ = 0;
  bool Silent_ = false;
  std::atomic<bool> Noise_{false};
  std::atomic<bool> Serving_{false};
  bool AwaitAck_ = false;
  // A line of several commands: the OKs of all but the last are left out.
  bool Batch_ = false, Failed_ = false;
  int Cgreg_ = 0;
  int Cgatt_ = 1;
  int CopsFormat_ = 0;
  std::string Cscs_ = "IRA";
  bool UssdMenu_ = false;  // a USSD menu waits for its reply
  bool Hung_ = false;      // answers nothing until AT+CFUN=1,1
  std::string HangInput_;
  void RestartLocked();
  // While hung: takes Bytes, acting only on a reset (true); false when not hung.
  bool HungInput(const std::string& Bytes);
  // The network's answer to a USSD code or a menu's reply: a balance (as text, as packed septets
  // in hex, in UCS2), a two-step menu, or "not supported".
  std::string UssdAnswer(const std::string& Code);
};

}  // namespace Halyard::Simulator
