#pragma once
// Parsers of modem replies: a line's text in, its fields out. No engine state, so captured
// replies test them as strings.
#include <cstdint>
#include <string>

#include "halyard/framework/SysUtils.h"

namespace Halyard::GSM {

// The text-mode header of a received message, from <oa> on, as +CMGR (REC ...) and +CMT give it:
//   <oa>,[<alpha>],<scts>[,<tooa>,<fo>,<pid>,<dcs>,<sca>,<tosca>,<length>]
// The bracketed tail comes with +CSDH=1. Pos (from 1) is where <oa> starts and is left after
// the header. A field that is not a number raises EConvertError.
struct TDeliverTextHeader {
  std::string OA;
  Framework::TDateTime SCTS = 0;
  int8_t TimeZone = 0;
  bool Detailed = false;  // the +CSDH=1 fields are there
  uint8_t FO = 0, PID = 0, DCS = 0;
  int Length = 0;
};
TDeliverTextHeader ParseDeliverTextHeader(const std::string& Params, int& Pos);

// The registration status of "+CREG: <stat>", of the answer "+CREG: <n>,<stat>[,...]" and of
// the located indication "+CREG: <stat>,"<lac>","<ci>"". A status that is not a number raises
// EConvertError.
int ParseRegistration(const std::string& Line);

// The signal of "+CSQ: <rssi>[,<ber>]"; 99 means not known.
int ParseSignalQuality(const std::string& Line);

// The storage (as the modem quotes it) and index of "+CMTI: <mem>,<index>", and of +CDSI,
// +CBMI or the T260's "+CDS:" when PrefixLength says where the parameters start.
struct TStoredIndication {
  std::string Storage;
  int Index = 0;
};
TStoredIndication ParseStoredIndication(const std::string& Line, int PrefixLength);

}  // namespace Halyard::GSM
