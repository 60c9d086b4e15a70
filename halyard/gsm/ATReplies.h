#pragma once
// Parsers of modem replies: a line's text in, its fields out. No engine state, so captured
// replies test them as strings.
#include <cstdint>
#include <string>
#include <vector>

#include "halyard/framework/SysUtils.h"
#include "halyard/gsm/SMS.h"

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
  // Gives the message what the header tells.
  void ApplyTo(TSMSDeliver& D) const;
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

// The first storage of the answer "+CPMS: <mem1>,<used>,<total>,..." (its parameters), quoted
// as the modem gives it.
std::string ParseStorageAnswer(const std::string& Params);

// Every storage of the answer "+CPMS: <mem1>,<used>,<total>,<mem2>,..." (its parameters), quoted
// as the modem gives them: one to three.
std::vector<std::string> ParseStorages(const std::string& Params);
// The storages the first group of "+CPMS: (<mem1>...),(<mem2>...),(<mem3>...)" offers, quoted.
std::vector<std::string> ParseStorageOffer(const std::string& Params);

// The message service of the answer "+CSMS: <service>,<mt>,<mo>,<bm>" (its parameters); raises
// EGSMError when it is not a number.
int ParseServiceAnswer(const std::string& Params);

// The index and status of a +CMGL entry's header (without its prefix): "<index>,<stat>,..." with
// a numeric status in PDU mode and a quoted name ("REC UNREAD", ...) in text mode. A name that is
// none of the five gives -1.
struct TListEntry {
  int Index = 0;
  int Status = -1;
};
TListEntry ParseListEntry(const std::string& Params, bool TextMode);

// The status name of a +CMGR header in text mode, as its 0..4 code, or -1.
int TextStatus(const std::string& Name);

// The text-mode +CMGR header of a stored message sent from here (STO ...), from <da> on:
//   <da>,[<alpha>][,<toda>,<fo>,<pid>,<dcs>,[<vp>],<sca>,<tosca>,<length>]
struct TSubmitTextHeader {
  std::string DA;
  bool Detailed = false;
  uint8_t FO = 0, PID = 0, DCS = 0;
  bool HasVP = false;
  Framework::TDateTime VP = 0;  // relative (as a span) or absolute
  int8_t TimeZone = 0;
  int Length = 0;
};
TSubmitTextHeader ParseSubmitTextHeader(const std::string& Params, int& Pos);

// The text-mode header of a status report, "+CDS: " behind:
//   <fo>,<mr>,[<ra>],[<tora>],<scts>,<dt>,<st>
struct TStatusReportTextHeader {
  uint8_t FO = 0, MR = 0, ST = 0;
  std::string RA;
  Framework::TDateTime SCTS = 0, DT = 0;
  int8_t TimeZone = 0, DTTimeZone = 0;
};
TStatusReportTextHeader ParseStatusReportTextHeader(const std::string& Params);

// The text-mode header of a cell broadcast page, "+CBM: " behind: <sn>,<mid>,<dcs>,<page>,<pages>
struct TBroadcastTextHeader {
  uint16_t SerialNumber = 0, MessageIdentifier = 0;
  uint8_t DCS = 0, Page = 0, Pages = 0;
};
TBroadcastTextHeader ParseBroadcastTextHeader(const std::string& Params);

// Whether a line inside an answer is a modem's own report rather than the answer's data: a line
// named with a sigil ("+X:", "^X:", "#X:", "*X:", "$X:", "%X:") that is not the command's own
// (CommandName as "+CMGR"), or one of the bare lines modems print when they start or change
// state ("RDY", "Call Ready", "SMS Ready", ...).
bool IsUnsolicitedLine(const std::string& Line, const std::string& CommandName);

// Whether a line outside a transaction says the modem has just started again (and so lost what
// it was set to): "RDY", "^SYSSTART", "SMS Ready", "+QIND: SMS DONE", ...
bool IsRestartLine(const std::string& Line);

// The SIM's ICCID from an answer line: "+CCID: 8949...F" and its makers' spellings (+ICCID,
// ^ICCID, +QCCID, #CCID, bare digits), or the EF_ICCID read by "AT+CRSM=176,12258,0,0,10"
// ("+CRSM: 144,0,\"98...\"", its digits swapped in pairs). The padding F is dropped; "" for
// none (an error status word, too few digits).
std::string ParseIccid(const std::string& Line);

}  // namespace Halyard::GSM
