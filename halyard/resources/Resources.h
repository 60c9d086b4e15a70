#pragma once
// The package's string resources, by numeric identifier and by name.
#include <string>
#include <string_view>

namespace Halyard::Resources {

// Identifiers of the named message texts; the GSM error tables use 5000 + n and 6000 + n.
enum : int {
  sActiveConnection = 64000,
  sInactiveConnection,
  sCannotOpenSocket,
  sComError = 64100,
  sNoResponse,
  sLineBusy,
  sCannotConnect,
  sNoDialTone,
  sBadEquipmentName = 64200,
  sResponseError,
  sBadATCommand,
  sBadPDUFormat,
  sNoReply,
  sErrorReturned,
  sNoComDevice,
  sPINRequired,
  sPINNotExpected,
  sWavecomInitError,
  sSMSFormatNotSupported,
  sSMSTypeNotSupported,
  sBadMEIdIndex,
  errTapi = 64300,
  errNotEnoughMemory,
  stUnknownLineCallState,
  stUndefinedLineCallStateInfo,
  errBadDeviceId,
  errCallInProcess,
  errNotConnected,
  errNotDisconnected,
  stLineUnnamed,
  stLineNameEmpty,
};
// The LINEERR texts: this base plus the low byte of the code (0x80000001 to 0x8000005C).
inline constexpr int TapiLineErrorBase = 64400;
inline constexpr int CMEErrorBase = 5000;
inline constexpr int CMSErrorBase = 6000;

// The text of a resource; an identifier without a resource gives an empty text.
std::string LoadResString(int Ident);
bool HasResString(int Ident);
// The identifier of a named resource, or -1.
int ResStringIdent(std::string_view Name);

struct TResStringRec {
  int Ident;
  const char* Name;
  const char* Text;
};

}  // namespace Halyard::Resources
