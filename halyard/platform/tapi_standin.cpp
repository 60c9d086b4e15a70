#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "halyard/framework/SysUtils.h"
#include "halyard/framework/Threads.h"
#include "halyard/platform/Tapi.h"

namespace Halyard::Platform {

namespace {

constexpr DWORD kLowestVersion = 0x00010004;
constexpr DWORD kHighestVersion = 0x00020000;

struct TApp {
  LINECALLBACK Callback = nullptr;
};
struct TLine {
  HLINEAPP App = 0;
  DWORD Device = 0;
  DWORD_PTR Instance = 0;
  DWORD Privileges = 0;
  DWORD MediaModes = 0;
};
struct TCall {
  HLINE Line = 0;
  DWORD State = 0;
};

// The stand-in's whole state. Providers are called outside the lock: they may complete a
// request or report a state from inside the call.
struct TTapi {
  std::mutex M;
  std::vector<std::shared_ptr<ITapiLineDevice>> Devices;
  std::map<HLINEAPP, TApp> Apps;
  std::map<HLINE, TLine> Lines;
  std::map<HCALL, TCall> Calls;
  std::map<DWORD, HLINE> Requests;
  uint32_t NextHandle = 1;
  DWORD NextRequest = 1;

  std::shared_ptr<ITapiLineDevice> Device(DWORD Id) {
    return Id < Devices.size() ? Devices[Id] : nullptr;
  }
  DWORD NewRequest(HLINE Line) {
    DWORD id = NextRequest++;
    if (NextRequest > 0x7FFFFFFF) NextRequest = 1;  // request identifiers stay positive
    Requests[id] = Line;
    return id;
  }
};

TTapi& Tapi() {
  static TTapi t;
  return t;
}

// Delivered later on the main thread, and only while the application is still initialized.
void Post(HLINEAPP App, DWORD hDevice, DWORD Message, DWORD_PTR Instance, DWORD P1, DWORD P2, DWORD P3) {
  Framework::Application().Queue([=] {
    LINECALLBACK cb = nullptr;
    {
      std::lock_guard lk(Tapi().M);
      auto it = Tapi().Apps.find(App);
      if (it == Tapi().Apps.end()) return;
      cb = it->second.Callback;
    }
    cb(hDevice, Message, Instance, P1, P2, P3);
  });
}

bool IsDataModemClass(const char* Class) { return Class && Framework::SameText(Class, "comm/datamodem"); }

// Puts Bytes into the variable part of a structure at Used; false when it does not fit.
bool PutBytes(void* Struct, DWORD Total, DWORD& Used, const std::string& Bytes, DWORD& Size, DWORD& Offset) {
  if (Used + Bytes.size() > Total) return false;
  std::memcpy(static_cast<char*>(Struct) + Used, Bytes.data(), Bytes.size());
  Offset = Bytes.empty() ? 0 : Used;
  Size = static_cast<DWORD>(Bytes.size());
  Used += static_cast<DWORD>(Bytes.size());
  return true;
}

using TReleased = std::vector<std::pair<std::shared_ptr<ITapiLineDevice>, HCALL>>;

void ForgetCall(TTapi& t, HCALL Call, TReleased& Released) {
  auto it = t.Calls.find(Call);
  if (it == t.Calls.end()) return;
  auto line = t.Lines.find(it->second.Line);
  if (line != t.Lines.end())
    if (auto d = t.Device(line->second.Device)) Released.emplace_back(d, Call);
  t.Calls.erase(it);
}

void CloseLineLocked(TTapi& t, HLINE Line, TReleased& Released) {
  std::vector<HCALL> calls;
  for (auto& [h, c] : t.Calls)
    if (c.Line == Line) calls.push_back(h);
  for (HCALL h : calls) ForgetCall(t, h, Released);
  for (auto it = t.Requests.begin(); it != t.Requests.end();)
    it = it->second == Line ? t.Requests.erase(it) : std::next(it);
  t.Lines.erase(Line);
}

// Runs Step under the lock, then tells the providers of the calls it forgot, outside it.
template <class F>
LONG Releasing(F Step) {
  TReleased released;
  LONG result;
  {
    std::lock_guard lk(Tapi().M);
    result = Step(Tapi(), released);
  }
  for (auto& [d, call] : released) d->Release(call);
  return result;
}

std::shared_ptr<ITapiLineDevice> DeviceOf(DWORD Id) {
  std::lock_guard lk(Tapi().M);
  return Tapi().Device(Id);
}

}  // namespace

void TapiStartup() { (void)Tapi(); }

std::string SystemMessageText(DWORD Code) {
  if (Code > 0x7FFFFFFF) return {};
  std::string text = Framework::SysErrorMessage(static_cast<int>(Code));
  return text.rfind("Unknown error", 0) == 0 ? std::string() : text;
}

bool ITapiLineDevice::Translate(const std::string& Address, std::string& Dialable, DWORD& DestCountry) const {
  Dialable.clear();
  DestCountry = 0;
  for (char c : Address)
    if (std::strchr("0123456789*#+,!WwPpTt@$?ABCDabcd", c) && c != '\0') Dialable += c;
  return !Dialable.empty();
}

LONG lineInitialize(HLINEAPP* lphLineApp, HINSTANCE, LINECALLBACK lpfnCallback, const char*, DWORD* lpdwNumDevs) {
  if (!lphLineApp || !lpfnCallback || !lpdwNumDevs) return LINEERR_INVALPOINTER;
  TTapi& t = Tapi();
  std::lock_guard lk(t.M);
  HLINEAPP h = t.NextHandle++;
  t.Apps[h].Callback = lpfnCallback;
  *lphLineApp = h;
  *lpdwNumDevs = static_cast<DWORD>(t.Devices.size());
  return 0;
}

LONG lineShutdown(HLINEAPP hLineApp) {
  return Releasing([&](TTapi& t, TReleased& released) -> LONG {
    if (!t.Apps.count(hLineApp)) return LINEERR_INVALAPPHANDLE;
    std::vector<HLINE> lines;
    for (auto& [h, l] : t.Lines)
      if (l.App == hLineApp) lines.push_back(h);
    for (HLINE h : lines) CloseLineLocked(t, h, released);
    t.Apps.erase(hLineApp);
    return 0;
  });
}

LONG lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion, DWORD dwAPIHighVersion,
                             DWORD* lpdwAPIVersion, LINEEXTENSIONID* lpExtensionID) {
  TTapi& t = Tapi();
  std::lock_guard lk(t.M);
  if (!t.Apps.count(hLineApp)) return LINEERR_INVALAPPHANDLE;
  if (!t.Device(dwDeviceID)) return LINEERR_BADDEVICEID;
  if (!lpdwAPIVersion || !lpExtensionID) return LINEERR_INVALPOINTER;
  if (dwAPILowVersion > kHighestVersion || dwAPIHighVersion < kLowestVersion || dwAPILowVersion > dwAPIHighVersion)
    return LINEERR_INCOMPATIBLEAPIVERSION;
  *lpdwAPIVersion = std::min(dwAPIHighVersion, kHighestVersion);
  *lpExtensionID = {};
  return 0;
}

LONG lineGetDevCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                    LINEDEVCAPS* lpLineDevCaps) {
  std::shared_ptr<ITapiLineDevice> d;
  {
    TTapi& t = Tapi();
    std::lock_guard lk(t.M);
    if (!t.Apps.count(hLineApp)) return LINEERR_INVALAPPHANDLE;
    d = t.Device(dwDeviceID);
  }
  if (!d) return LINEERR_BADDEVICEID;
  if (dwAPIVersion < kLowestVersion || dwAPIVersion > kHighestVersion) return LINEERR_INCOMPATIBLEAPIVERSION;
  if (dwExtVersion != 0) return LINEERR_INCOMPATIBLEEXTVERSION;
  if (!lpLineDevCaps) return LINEERR_INVALPOINTER;
  DWORD total = lpLineDevCaps->dwTotalSize;
  if (total < sizeof(LINEDEVCAPS)) return LINEERR_STRUCTURETOOSMALL;
  std::memset(reinterpret_cast<char*>(lpLineDevCaps) + sizeof(DWORD), 0, sizeof(LINEDEVCAPS) - sizeof(DWORD));
  DWORD used = sizeof(LINEDEVCAPS);
  lpLineDevCaps->dwPermanentLineID = dwDeviceID;
  lpLineDevCaps->dwStringFormat = d->StringFormat();
  std::string name = d->HasName() ? d->Name() + std::string(1, '\0') : std::string();
  lpLineDevCaps->dwNeededSize = used + static_cast<DWORD>(name.size());
  PutBytes(lpLineDevCaps, total, used, name, lpLineDevCaps->dwLineNameSize, lpLineDevCaps->dwLineNameOffset);
  lpLineDevCaps->dwUsedSize = used;
  return 0;
}

LONG lineGetDevConfig(DWORD dwDeviceID, VARSTRING* lpDeviceConfig, const char* lpszDeviceClass) {
  std::shared_ptr<ITapiLineDevice> d = DeviceOf(dwDeviceID);
  if (!d) return LINEERR_BADDEVICEID;
  if (!IsDataModemClass(lpszDeviceClass)) return LINEERR_INVALDEVICECLASS;
  if (!lpDeviceConfig) return LINEERR_INVALPOINTER;
  DWORD total = lpDeviceConfig->dwTotalSize;
  if (total < sizeof(VARSTRING)) return LINEERR_STRUCTURETOOSMALL;
  std::string config = d->DevConfig();
  DWORD used = sizeof(VARSTRING);
  lpDeviceConfig->dwNeededSize = used + static_cast<DWORD>(config.size());
  lpDeviceConfig->dwStringFormat = STRINGFORMAT_BINARY;
  lpDeviceConfig->dwStringSize = lpDeviceConfig->dwStringOffset = 0;
  PutBytes(lpDeviceConfig, total, used, config, lpDeviceConfig->dwStringSize, lpDeviceConfig->dwStringOffset);
  lpDeviceConfig->dwUsedSize = used;
  return 0;
}

LONG lineSetDevConfig(DWORD dwDeviceID, const void* lpDeviceConfig, DWORD dwSize, const char* lpszDeviceClass) {
  std::shared_ptr<ITapiLineDevice> d = DeviceOf(dwDeviceID);
  if (!d) return LINEERR_BADDEVICEID;
  if (!IsDataModemClass(lpszDeviceClass)) return LINEERR_INVALDEVICECLASS;
  if (!lpDeviceConfig && dwSize) return LINEERR_INVALPOINTER;
  d->SetDevConfig(std::string(static_cast<const char*>(lpDeviceConfig), dwSize));
  return 0;
}

LONG lineConfigDialog(DWORD dwDeviceID, HWND, const char* lpszDeviceClass) {
  std::shared_ptr<ITapiLineDevice> d = DeviceOf(dwDeviceID);
  if (!d) return LINEERR_BADDEVICEID;
  if (lpszDeviceClass && *lpszDeviceClass && !IsDataModemClass(lpszDeviceClass)) return LINEERR_INVALDEVICECLASS;
  return d->ConfigDialog();
}

LONG lineTranslateDialog(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD, HWND, const char* lpszAddressIn) {
  std::shared_ptr<ITapiLineDevice> d;
  {
    std::lock_guard lk(Tapi().M);
    if (!Tapi().Apps.count(hLineApp)) return LINEERR_INVALAPPHANDLE;
    d = Tapi().Device(dwDeviceID);
  }
  if (!d) return LINEERR_BADDEVICEID;
  return d->TranslateDialog(lpszAddressIn ? lpszAddressIn : "");
}

LONG lineOpen(HLINEAPP hLineApp, DWORD dwDeviceID, HLINE* lphLine, DWORD dwAPIVersion, DWORD dwExtVersion,
              DWORD_PTR dwCallbackInstance, DWORD dwPrivileges, DWORD dwMediaModes, const LINECALLPARAMS*) {
  TTapi& t = Tapi();
  std::lock_guard lk(t.M);
  if (!t.Apps.count(hLineApp)) return LINEERR_INVALAPPHANDLE;
  if (!t.Device(dwDeviceID)) return LINEERR_BADDEVICEID;
  if (!lphLine) return LINEERR_INVALPOINTER;
  if (dwAPIVersion < kLowestVersion || dwAPIVersion > kHighestVersion) return LINEERR_INCOMPATIBLEAPIVERSION;
  if (dwExtVersion != 0) return LINEERR_INCOMPATIBLEEXTVERSION;
  if (dwPrivileges != LINECALLPRIVILEGE_NONE && dwPrivileges != LINECALLPRIVILEGE_MONITOR &&
      dwPrivileges != LINECALLPRIVILEGE_OWNER && dwPrivileges != (LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER))
    return LINEERR_INVALCALLPRIVILEGE;
  if ((dwPrivileges & LINECALLPRIVILEGE_OWNER) && dwMediaModes == 0) return LINEERR_INVALMEDIAMODE;
  HLINE h = t.NextHandle++;
  t.Lines[h] = TLine{hLineApp, dwDeviceID, dwCallbackInstance, dwPrivileges, dwMediaModes};
  *lphLine = h;
  return 0;
}

LONG lineClose(HLINE hLine) {
  return Releasing([&](TTapi& t, TReleased& released) -> LONG {
    if (!t.Lines.count(hLine)) return LINEERR_INVALLINEHANDLE;
    CloseLineLocked(t, hLine, released);
    return 0;
  });
}

LONG lineTranslateAddress(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, const char* lpszAddressIn, DWORD,
                          DWORD, LINETRANSLATEOUTPUT* lpTranslateOutput) {
  std::shared_ptr<ITapiLineDevice> d;
  {
    std::lock_guard lk(Tapi().M);
    if (!Tapi().Apps.count(hLineApp)) return LINEERR_INVALAPPHANDLE;
    d = Tapi().Device(dwDeviceID);
  }
  if (!d) return LINEERR_BADDEVICEID;
  if (dwAPIVersion < kLowestVersion || dwAPIVersion > kHighestVersion) return LINEERR_INCOMPATIBLEAPIVERSION;
  if (!lpszAddressIn || !lpTranslateOutput) return LINEERR_INVALPOINTER;
  DWORD total = lpTranslateOutput->dwTotalSize;
  if (total < sizeof(LINETRANSLATEOUTPUT)) return LINEERR_STRUCTURETOOSMALL;
  std::string dialable;
  DWORD country = 0;
  if (!d->Translate(lpszAddressIn, dialable, country)) return LINEERR_INVALADDRESS;
  std::string text = dialable + std::string(1, '\0');
  std::memset(reinterpret_cast<char*>(lpTranslateOutput) + sizeof(DWORD), 0,
              sizeof(LINETRANSLATEOUTPUT) - sizeof(DWORD));
  DWORD used = sizeof(LINETRANSLATEOUTPUT);
  lpTranslateOutput->dwNeededSize = used + 2 * static_cast<DWORD>(text.size());
  PutBytes(lpTranslateOutput, total, used, text, lpTranslateOutput->dwDialableStringSize,
           lpTranslateOutput->dwDialableStringOffset);
  PutBytes(lpTranslateOutput, total, used, text, lpTranslateOutput->dwDisplayableStringSize,
           lpTranslateOutput->dwDisplayableStringOffset);
  lpTranslateOutput->dwDestCountry = country;
  lpTranslateOutput->dwUsedSize = used;
  return 0;
}

LONG lineMakeCall(HLINE hLine, HCALL* lphCall, const char* lpszDestAddress, DWORD,
                  const LINECALLPARAMS* lpCallParams) {
  TTapi& t = Tapi();
  std::shared_ptr<ITapiLineDevice> d;
  DWORD request = 0;
  HCALL call = 0;
  bool passThrough = false;
  {
    std::lock_guard lk(t.M);
    auto line = t.Lines.find(hLine);
    if (line == t.Lines.end()) return LINEERR_INVALLINEHANDLE;
    if (!lphCall) return LINEERR_INVALPOINTER;
    if (lpCallParams && lpCallParams->dwTotalSize < sizeof(LINECALLPARAMS)) return LINEERR_STRUCTURETOOSMALL;
    passThrough = lpCallParams && lpCallParams->dwBearerMode == LINEBEARERMODE_PASSTHROUGH;
    d = t.Device(line->second.Device);
    if (!d) return LINEERR_NODEVICE;
    call = t.NextHandle++;
    t.Calls[call] = TCall{hLine, 0};
    request = t.NewRequest(hLine);
    *lphCall = call;
  }
  d->MakeCall(request, call, lpszDestAddress ? lpszDestAddress : "", passThrough);
  return static_cast<LONG>(request);
}

namespace {
// lineAnswer and lineDrop: a request on a call the caller holds.
LONG CallRequest(HCALL hCall, bool Answer) {
  TTapi& t = Tapi();
  std::shared_ptr<ITapiLineDevice> d;
  DWORD request = 0;
  {
    std::lock_guard lk(t.M);
    auto call = t.Calls.find(hCall);
    if (call == t.Calls.end()) return LINEERR_INVALCALLHANDLE;
    if (Answer && call->second.State != LINECALLSTATE_OFFERING) return LINEERR_INVALCALLSTATE;
    auto line = t.Lines.find(call->second.Line);
    if (line == t.Lines.end()) return LINEERR_INVALCALLHANDLE;
    d = t.Device(line->second.Device);
    if (!d) return LINEERR_NODEVICE;
    request = t.NewRequest(call->second.Line);
  }
  if (Answer) d->Answer(request, hCall);
  else d->Drop(request, hCall);
  return static_cast<LONG>(request);
}
}  // namespace

LONG lineAnswer(HCALL hCall, const char*, DWORD) { return CallRequest(hCall, true); }
LONG lineDrop(HCALL hCall, const char*, DWORD) { return CallRequest(hCall, false); }

LONG lineDeallocateCall(HCALL hCall) {
  return Releasing([&](TTapi& t, TReleased& released) -> LONG {
    if (!t.Calls.count(hCall)) return LINEERR_INVALCALLHANDLE;
    ForgetCall(t, hCall, released);
    return 0;
  });
}

LONG lineGetID(HLINE hLine, DWORD, HCALL hCall, DWORD dwSelect, VARSTRING* lpDeviceID, const char* lpszDeviceClass) {
  std::shared_ptr<ITapiLineDevice> d;
  {
    TTapi& t = Tapi();
    std::lock_guard lk(t.M);
    if (dwSelect != LINECALLSELECT_CALL) return LINEERR_INVALCALLSELECT;
    auto call = t.Calls.find(hCall);
    if (call == t.Calls.end() || (hLine && call->second.Line != hLine)) return LINEERR_INVALCALLHANDLE;
    auto line = t.Lines.find(call->second.Line);
    if (line == t.Lines.end()) return LINEERR_INVALCALLHANDLE;
    d = t.Device(line->second.Device);
  }
  if (!d) return LINEERR_NODEVICE;
  if (!IsDataModemClass(lpszDeviceClass)) return LINEERR_INVALDEVICECLASS;
  if (!lpDeviceID) return LINEERR_INVALPOINTER;
  DWORD total = lpDeviceID->dwTotalSize;
  if (total < sizeof(VARSTRING)) return LINEERR_STRUCTURETOOSMALL;
  std::string port = d->PortName(hCall);
  if (port.empty()) return LINEERR_OPERATIONUNAVAIL;
  DWORD needed = static_cast<DWORD>(sizeof(VARSTRING) + sizeof(HANDLE) + port.size() + 1);
  lpDeviceID->dwNeededSize = needed;
  if (total < needed) return LINEERR_STRUCTURETOOSMALL;
  HANDLE h = CreateFileA(port, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LINEERR_OPERATIONFAILED;
  std::string bytes(sizeof(HANDLE), '\0');
  std::memcpy(bytes.data(), &h, sizeof h);
  bytes += port + std::string(1, '\0');
  DWORD used = sizeof(VARSTRING);
  lpDeviceID->dwStringFormat = STRINGFORMAT_BINARY;
  PutBytes(lpDeviceID, total, used, bytes, lpDeviceID->dwStringSize, lpDeviceID->dwStringOffset);
  lpDeviceID->dwUsedSize = used;
  return 0;
}

DWORD TapiAddDevice(std::shared_ptr<ITapiLineDevice> Device) {
  std::lock_guard lk(Tapi().M);
  Tapi().Devices.push_back(std::move(Device));
  return static_cast<DWORD>(Tapi().Devices.size() - 1);
}

void TapiRemoveAllDevices() {
  std::vector<std::shared_ptr<ITapiLineDevice>> gone;
  std::lock_guard lk(Tapi().M);
  gone.swap(Tapi().Devices);
}

void TapiCompleteRequest(DWORD RequestID, LONG Result) {
  TTapi& t = Tapi();
  std::lock_guard lk(t.M);
  auto req = t.Requests.find(RequestID);
  if (req == t.Requests.end()) return;
  auto line = t.Lines.find(req->second);
  t.Requests.erase(req);
  if (line == t.Lines.end()) return;
  Post(line->second.App, line->first, LINE_REPLY, line->second.Instance, RequestID, static_cast<DWORD>(Result), 0);
}

void TapiSetCallState(HCALL Call, DWORD State, DWORD Mode) {
  TTapi& t = Tapi();
  std::lock_guard lk(t.M);
  auto call = t.Calls.find(Call);
  if (call == t.Calls.end()) return;
  call->second.State = State;
  auto line = t.Lines.find(call->second.Line);
  if (line == t.Lines.end()) return;
  Post(line->second.App, Call, LINE_CALLSTATE, line->second.Instance, State, Mode, LINECALLPRIVILEGE_OWNER);
}

HCALL TapiOfferCall(DWORD DeviceID) {
  TTapi& t = Tapi();
  std::lock_guard lk(t.M);
  for (auto& [h, l] : t.Lines)
    if (l.Device == DeviceID && (l.Privileges & LINECALLPRIVILEGE_OWNER) && (l.MediaModes & LINEMEDIAMODE_DATAMODEM)) {
      HCALL call = t.NextHandle++;
      t.Calls[call] = TCall{h, LINECALLSTATE_OFFERING};
      Post(l.App, call, LINE_CALLSTATE, l.Instance, LINECALLSTATE_OFFERING, 0, LINECALLPRIVILEGE_OWNER);
      return call;
    }
  return 0;
}

void TapiPostLineMessage(DWORD DeviceID, DWORD Message, DWORD Param1, DWORD Param2, DWORD Param3) {
  TTapi& t = Tapi();
  std::lock_guard lk(t.M);
  for (auto& [h, l] : t.Lines)
    if (l.Device == DeviceID) Post(l.App, h, Message, l.Instance, Param1, Param2, Param3);
}

}  // namespace Halyard::Platform
