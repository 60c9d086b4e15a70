#pragma once
// The facts of each modem model in one table, read by the engine and by the simulator.
#include "halyard/gsm/GSMUtils.h"

namespace Halyard::GSM {

// What +CMGS and +CMGW announce as the length of a PDU.
enum TCmgsLength {
  clFixed,  // a fixed number, whatever the PDU
  clTPDU,   // the octets after the service-centre field
  clPDU,    // every octet, the service-centre field included
};

struct TGSMModel {
  bool PDUMode;          // offers SMS format 0
  bool TextMode;         // offers SMS format 1
  bool SCAinPDU;         // a service-centre field leads its PDUs
  TCmgsLength LengthRule;
  int FixedLength;       // with clFixed
  bool ReadPause;        // wants 500 ms after reading a message
  const char* SwitchOff; // the command that switches it off on close, or nullptr
};

const TGSMModel& GSMModel(TGSMEquipment Equipment);

}  // namespace Halyard::GSM
