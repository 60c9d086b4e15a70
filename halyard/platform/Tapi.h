#pragma once
// A stand-in of the telephony line calls, shaped like the Telephony API. Line devices come
// from providers registered with TapiAddDevice; the stand-in keeps the applications, lines,
// calls and request identifiers, and delivers every message to the application's callback on
// the main thread (through the Application queue), as the window-message notification does.
#include <cstdint>
#include <memory>
#include <string>

#include "halyard/platform/Serial.h"

namespace Halyard::Platform {

using LONG = int32_t;
using HLINEAPP = uint32_t;
using HLINE = uint32_t;
using HCALL = uint32_t;
using HINSTANCE = void*;
using HWND = void*;
// Wide enough for an object's address, as on every 64-bit telephony API.
using DWORD_PTR = uintptr_t;

using LINECALLBACK = void (*)(DWORD hDevice, DWORD dwMessage, DWORD_PTR dwCallbackInstance, DWORD dwParam1,
                              DWORD dwParam2, DWORD dwParam3);

// Messages.
enum : DWORD {
  LINE_ADDRESSSTATE = 0, LINE_CALLINFO = 1, LINE_CALLSTATE = 2, LINE_CLOSE = 3, LINE_DEVSPECIFIC = 4,
  LINE_DEVSPECIFICFEATURE = 5, LINE_GATHERDIGITS = 6, LINE_GENERATE = 7, LINE_LINEDEVSTATE = 8,
  LINE_MONITORDIGITS = 9, LINE_MONITORMEDIA = 10, LINE_MONITORTONE = 11, LINE_REPLY = 12, LINE_REQUEST = 13,
  PHONE_BUTTON = 14, PHONE_CLOSE = 15, PHONE_DEVSPECIFIC = 16, PHONE_REPLY = 17, PHONE_STATE = 18,
  LINE_CREATE = 19, PHONE_CREATE = 20, LINE_AGENTSPECIFIC = 21, LINE_AGENTSTATUS = 22, LINE_APPNEWCALL = 23,
  LINE_PROXYREQUEST = 24, LINE_REMOVE = 25, PHONE_REMOVE = 26,
};

// Call states and their modes.
enum : DWORD {
  LINECALLSTATE_IDLE = 0x0001, LINECALLSTATE_OFFERING = 0x0002, LINECALLSTATE_ACCEPTED = 0x0004,
  LINECALLSTATE_DIALTONE = 0x0008, LINECALLSTATE_DIALING = 0x0010, LINECALLSTATE_RINGBACK = 0x0020,
  LINECALLSTATE_BUSY = 0x0040, LINECALLSTATE_SPECIALINFO = 0x0080, LINECALLSTATE_CONNECTED = 0x0100,
  LINECALLSTATE_PROCEEDING = 0x0200, LINECALLSTATE_ONHOLD = 0x0400, LINECALLSTATE_CONFERENCED = 0x0800,
  LINECALLSTATE_ONHOLDPENDCONF = 0x1000, LINECALLSTATE_ONHOLDPENDTRANSFER = 0x2000,
  LINECALLSTATE_DISCONNECTED = 0x4000, LINECALLSTATE_UNKNOWN = 0x8000,
};
enum : DWORD {
  LINEDISCONNECTMODE_NORMAL = 0x0001, LINEDISCONNECTMODE_BUSY = 0x0020, LINEDISCONNECTMODE_NOANSWER = 0x0040,
  LINEDISCONNECTMODE_NODIALTONE = 0x1000,
};

enum : DWORD {
  LINECALLPRIVILEGE_NONE = 1, LINECALLPRIVILEGE_MONITOR = 2, LINECALLPRIVILEGE_OWNER = 4,
  LINEMEDIAMODE_DATAMODEM = 0x10,
  LINEBEARERMODE_VOICE = 0x01, LINEBEARERMODE_PASSTHROUGH = 0x40,
  LINECALLSELECT_LINE = 1, LINECALLSELECT_ADDRESS = 2, LINECALLSELECT_CALL = 4,
  STRINGFORMAT_ASCII = 1, STRINGFORMAT_DBCS = 2, STRINGFORMAT_UNICODE = 3, STRINGFORMAT_BINARY = 4,
};

// Results.
inline constexpr LONG LINEERR_ALLOCATED = static_cast<LONG>(0x80000001);
inline constexpr LONG LINEERR_BADDEVICEID = static_cast<LONG>(0x80000002);
inline constexpr LONG LINEERR_CALLUNAVAIL = static_cast<LONG>(0x80000005);
inline constexpr LONG LINEERR_INCOMPATIBLEAPIVERSION = static_cast<LONG>(0x8000000C);
inline constexpr LONG LINEERR_INCOMPATIBLEEXTVERSION = static_cast<LONG>(0x8000000D);
inline constexpr LONG LINEERR_INUSE = static_cast<LONG>(0x8000000F);
inline constexpr LONG LINEERR_INVALADDRESS = static_cast<LONG>(0x80000010);
inline constexpr LONG LINEERR_INVALAPPHANDLE = static_cast<LONG>(0x80000014);
inline constexpr LONG LINEERR_INVALCALLHANDLE = static_cast<LONG>(0x80000018);
inline constexpr LONG LINEERR_INVALCALLPRIVILEGE = static_cast<LONG>(0x8000001A);
inline constexpr LONG LINEERR_INVALCALLSELECT = static_cast<LONG>(0x8000001B);
inline constexpr LONG LINEERR_INVALCALLSTATE = static_cast<LONG>(0x8000001C);
inline constexpr LONG LINEERR_INVALDEVICECLASS = static_cast<LONG>(0x80000023);
inline constexpr LONG LINEERR_INVALLINEHANDLE = static_cast<LONG>(0x8000002B);
inline constexpr LONG LINEERR_INVALMEDIAMODE = static_cast<LONG>(0x8000002F);
inline constexpr LONG LINEERR_INVALPARAM = static_cast<LONG>(0x80000032);
inline constexpr LONG LINEERR_INVALPOINTER = static_cast<LONG>(0x80000035);
inline constexpr LONG LINEERR_NODEVICE = static_cast<LONG>(0x80000042);
inline constexpr LONG LINEERR_OPERATIONFAILED = static_cast<LONG>(0x80000048);
inline constexpr LONG LINEERR_OPERATIONUNAVAIL = static_cast<LONG>(0x80000049);
inline constexpr LONG LINEERR_RESOURCEUNAVAIL = static_cast<LONG>(0x8000004B);
inline constexpr LONG LINEERR_STRUCTURETOOSMALL = static_cast<LONG>(0x8000004D);
inline constexpr LONG LINEERR_UNINITIALIZED = static_cast<LONG>(0x80000050);

// Variable-size structures: fixed part as the API defines it, the variable part behind it
// within dwTotalSize.
struct VARSTRING {
  DWORD dwTotalSize, dwNeededSize, dwUsedSize, dwStringFormat, dwStringSize, dwStringOffset;
};
static_assert(sizeof(VARSTRING) == 24);

struct LINEDEVCAPS {
  DWORD dwTotalSize, dwNeededSize, dwUsedSize;
  DWORD dwProviderInfoSize, dwProviderInfoOffset, dwSwitchInfoSize, dwSwitchInfoOffset;
  DWORD dwPermanentLineID, dwLineNameSize, dwLineNameOffset, dwStringFormat;
  DWORD dwRest[52];
};
static_assert(sizeof(LINEDEVCAPS) == 252);

struct LINETRANSLATEOUTPUT {
  DWORD dwTotalSize, dwNeededSize, dwUsedSize;
  DWORD dwDialableStringSize, dwDialableStringOffset, dwDisplayableStringSize, dwDisplayableStringOffset;
  DWORD dwCurrentCountry, dwDestCountry, dwTranslateResults;
};
static_assert(sizeof(LINETRANSLATEOUTPUT) == 40);

struct LINECALLPARAMS {
  DWORD dwTotalSize, dwBearerMode, dwMinRate, dwMaxRate, dwMediaMode;
  DWORD dwRest[39];
};
static_assert(sizeof(LINECALLPARAMS) == 176);

struct LINEEXTENSIONID {
  DWORD dwExtensionID0, dwExtensionID1, dwExtensionID2, dwExtensionID3;
};

LONG lineInitialize(HLINEAPP* lphLineApp, HINSTANCE hInstance, LINECALLBACK lpfnCallback, const char* lpszAppName,
                    DWORD* lpdwNumDevs);
LONG lineShutdown(HLINEAPP hLineApp);
LONG lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion, DWORD dwAPIHighVersion,
                             DWORD* lpdwAPIVersion, LINEEXTENSIONID* lpExtensionID);
LONG lineGetDevCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                    LINEDEVCAPS* lpLineDevCaps);
LONG lineGetDevConfig(DWORD dwDeviceID, VARSTRING* lpDeviceConfig, const char* lpszDeviceClass);
LONG lineSetDevConfig(DWORD dwDeviceID, const void* lpDeviceConfig, DWORD dwSize, const char* lpszDeviceClass);
LONG lineConfigDialog(DWORD dwDeviceID, HWND hwndOwner, const char* lpszDeviceClass);
LONG lineTranslateDialog(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, HWND hwndOwner,
                         const char* lpszAddressIn);
LONG lineOpen(HLINEAPP hLineApp, DWORD dwDeviceID, HLINE* lphLine, DWORD dwAPIVersion, DWORD dwExtVersion,
              DWORD_PTR dwCallbackInstance, DWORD dwPrivileges, DWORD dwMediaModes, const LINECALLPARAMS* lpCallParams);
LONG lineClose(HLINE hLine);
LONG lineTranslateAddress(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, const char* lpszAddressIn,
                          DWORD dwCard, DWORD dwTranslateOptions, LINETRANSLATEOUTPUT* lpTranslateOutput);
LONG lineMakeCall(HLINE hLine, HCALL* lphCall, const char* lpszDestAddress, DWORD dwCountryCode,
                  const LINECALLPARAMS* lpCallParams);
LONG lineAnswer(HCALL hCall, const char* lpsUserUserInfo, DWORD dwSize);
LONG lineDrop(HCALL hCall, const char* lpsUserUserInfo, DWORD dwSize);
LONG lineDeallocateCall(HCALL hCall);
// For "comm/datamodem" and a call: a newly opened handle of the call's port (which the caller
// then owns) in the first sizeof(HANDLE) bytes of the string, followed by the port's name.
LONG lineGetID(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, VARSTRING* lpDeviceID,
               const char* lpszDeviceClass);

// Makes the stand-in's state now, so that an object made after this call may still use it
// while the program ends.
void TapiStartup();

// The system's message text for an error code, or empty when it has none.
std::string SystemMessageText(DWORD Code);

// --- providers ---------------------------------------------------------------------------------

// One line device as a provider sees it. Asynchronous requests are completed with
// TapiCompleteRequest; call progress is reported with TapiSetCallState.
class ITapiLineDevice {
 public:
  virtual ~ITapiLineDevice() = default;
  // The line's name; an empty name is stored as its terminating zero alone.
  virtual std::string Name() const = 0;
  virtual bool HasName() const { return true; }
  virtual DWORD StringFormat() const { return STRINGFORMAT_ASCII; }
  virtual std::string DevConfig() const { return Config_; }
  virtual void SetDevConfig(const std::string& Config) { Config_ = Config; }
  virtual LONG ConfigDialog() { return 0; }
  virtual LONG TranslateDialog(const std::string& Address) { return 0; }
  // The dialable form of an address; false when it cannot be dialled.
  virtual bool Translate(const std::string& Address, std::string& Dialable, DWORD& DestCountry) const;
  virtual void MakeCall(DWORD RequestID, HCALL Call, const std::string& Dialable, bool PassThrough) = 0;
  virtual void Answer(DWORD RequestID, HCALL Call) = 0;
  virtual void Drop(DWORD RequestID, HCALL Call) = 0;
  // The call was deallocated or its line closed: forget it.
  virtual void Release(HCALL Call) {}
  // The path of the serial port that carries a connected call, or empty.
  virtual std::string PortName(HCALL Call) const = 0;

 private:
  std::string Config_;
};

// A Hayes modem on a serial port as a line device for outgoing data calls: the call is dialled
// with InitCommand and "ATDT" + the dialable number, and once it connects the port is the
// call's port. Dropping hangs up with "+++" and "ATH". Incoming calls are not offered.
std::shared_ptr<ITapiLineDevice> MakeHayesLineDevice(const std::string& Name, const std::string& PortName,
                                                     const std::string& InitCommand = "ATZ",
                                                     int ConnectTimeout = 60000);

// Adds a line device; returns its device identifier. Applications initialized later see it.
DWORD TapiAddDevice(std::shared_ptr<ITapiLineDevice> Device);
// Removes every device (applications keep working on their lines until they close them).
void TapiRemoveAllDevices();

// From providers (any thread): the reply to an asynchronous request, and call progress. An
// unknown request or call is ignored.
void TapiCompleteRequest(DWORD RequestID, LONG Result);
void TapiSetCallState(HCALL Call, DWORD State, DWORD Mode);
// An incoming call on the device: offered to the line that opened it with owner privilege for
// data-modem calls. Returns the call handle, or 0 when no line takes it.
HCALL TapiOfferCall(DWORD DeviceID);
// Delivers a message as the stand-in would, to every application with a line on the device
// (hDevice = the line, the instance that line gave); for tests of unusual messages.
void TapiPostLineMessage(DWORD DeviceID, DWORD Message, DWORD Param1, DWORD Param2, DWORD Param3);

}  // namespace Halyard::Platform
