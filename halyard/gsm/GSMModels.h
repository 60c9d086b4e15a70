#pragma once
// The facts of each modem model in one table, read by the engine and by the simulator.
#include <string>
#include <vector>

#include "halyard/commconnect/CommConnect.h"
#include "halyard/gsm/GSMUtils.h"

namespace Halyard::GSM {

// What +CMGS and +CMGW announce as the length of a PDU.
enum TCmgsLength {
  clFixed,  // a fixed number, whatever the PDU
  clTPDU,   // the octets after the service-centre field
  clPDU,    // every octet, the service-centre field included
};

// How opening asks for the SIM's PIN.
enum TPINStep {
  psNone,      // not at all
  psStandard,  // "AT+CPIN?" answered by a prefixed line and OK
  psWaveCom,   // "+WIND" indications on, "AT+CPIN?" without OK, then "+WIND: 4" after the PIN
};

// How opening learns the network registration (answers reach the unsolicited handling).
enum TRegistrationStep {
  rsNone,
  rsCREG,  // "AT+CREG?", then "AT+CREG=1" for indications
  rsCSQ,   // "AT+CSQ": a known signal counts as registered
};

struct TGSMModel {
  // Formats and the PDU's shape.
  bool PDUMode = true;    // offers SMS format 0
  bool TextMode = false;  // offers SMS format 1
  bool SCAinPDU = true;   // a service-centre field leads its PDUs
  TCmgsLength LengthRule = clTPDU;
  int FixedLength = 0;  // with clFixed
  // The serial line.
  CommConnect::TBaudrate Baudrate = CommConnect::br19200;
  // ms between one attempt of a command and whatever comes next.
  int AttemptPause = 150;
  // Opening.
  TPINStep PINStep = psStandard;
  int PINTimeout = 0;        // ms the PIN may take, when longer than RecTimeout
  int PINPause = 0;          // ms the SIM needs after taking the PIN
  TRegistrationStep Registration = rsCREG;
  const char* OpenCommand = nullptr;  // one more command of the open dialogue, after +CMGF
  const char* OpenStorage = nullptr;  // the storage it must use
  bool ExtendedErrors = false;        // takes "AT+CMEE=1" when ExtendedErrorMsg is set
  // Messages.
  bool TextVPRelative = false;  // text mode: a message without validity is sent as relative
  int SendTimeout = 0;          // ms a text-mode send may take, when longer than RecTimeout
  int SendPause = 0;            // ms it wants after a send
  int ReadPause = 0;            // ms it wants after reading a message
  int ListAll = -1;             // the +CMGL status that lists all messages (-1: none given)
  bool ListErrorEnds = false;   // answers an empty +CMGL with an error
  const char* SwitchOff = nullptr;  // the command that switches it off on close
  // Indications it sends in its own way.
  bool StatusReportStored = false;  // "+CDS: <mem>,<index>" tells of a stored report
  // Today's modems.
  int BodyTimeout = 0;            // ms the answer to a sent message may take (both formats)
  bool ReadStorages = false;      // storages as the modem has them (+CPMS?, +CPMS=?), the
                                  // three-memory form of +CPMS where the modem takes only it
  bool FallBackIndications = false;  // +CNMI values the modem offers but refuses are stepped down
  const char* QuietCommand = nullptr;  // tried once at open; a refusal is no failure
  bool ReportsInSR = false;       // "+CDSI: "SM",<n>" names a report stored in "SR"
};

const TGSMModel& GSMModel(TGSMEquipment Equipment);
// The names the class publishes for TGSMEquipment, in its order.
std::vector<std::string> GSMEquipmentPublishedNames();

// The model row for what a modem says of itself (+CGMI, +CGMM): one of the eleven when it is
// one of them, a family of today's modems, or eqGeneric.
TGSMEquipment EquipmentFor(const std::string& Manufacturer, const std::string& Model);

}  // namespace Halyard::GSM
