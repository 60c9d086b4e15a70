#include "halyard/tapi/TAPI.h"

#include <cstring>
#include <new>

#include "halyard/resources/Resources.h"

namespace Halyard::TAPI {

namespace R = Halyard::Resources;

void TAPIError(const std::string& Message) { throw ETAPIError(Message); }

int32_t TapiCheck(int32_t Result) {
  if (Result >= 0) return Result;
  uint32_t v = static_cast<uint32_t>(Result);
  uint32_t code;
  if (v > 0xFFFF0000u) code = v & 0xFFFF;
  else if (v & 0x10000000u) code = v - 0x90000000u + 0xF000;
  else code = v - 0x80000000u + 0xE000;
  std::string text = Platform::SystemMessageText(code);
  if (text.empty() && v >= 0x80000001u && v <= 0x8000005Cu)
    text = R::LoadResString(R::TapiLineErrorBase + static_cast<int>(v & 0xFF));
  if (text.empty()) {
    // This text shows the code in upper-case digits, where the loggers' hex is lower-case.
    std::string fmt = R::LoadResString(R::errTapi);
    if (auto at = fmt.find("%x"); at != std::string::npos) fmt[at + 1] = 'X';
    text = Framework::Format(fmt, static_cast<int>(code));
  }
  TAPIError(text);
}

TTapiMem GetTapiMem(int32_t Size) {
  TTapiMem m;
  int64_t total = static_cast<int64_t>(Size) + 1024;
  if (total < static_cast<int64_t>(sizeof(uint32_t)) || total > 0x7FFFFFFF)
    TAPIError(R::LoadResString(R::errNotEnoughMemory));
  m.Data.reset(new (std::nothrow) uint8_t[static_cast<size_t>(total)]());
  if (!m.Data) TAPIError(R::LoadResString(R::errNotEnoughMemory));
  m.Size = static_cast<uint32_t>(total);
  std::memcpy(m.Data.get(), &m.Size, sizeof m.Size);
  return m;
}

std::string GetTapiString(const void* Struct, uint32_t Offset, uint32_t Size) {
  if (!Struct || Size == 0) return {};
  uint32_t total;
  std::memcpy(&total, Struct, sizeof total);
  if (Offset > total || Size > total - Offset) return {};
  const char* p = static_cast<const char*>(Struct) + Offset;
  return std::string(p, strnlen(p, Size));
}

std::string LineCallStateToStr(uint32_t CallState) {
  static const char* const names[] = {"IDLE",      "OFFERING",   "ACCEPTED",       "DIALTONE",
                                      "DIALING",   "RINGBACK",   "BUSY",           "SPECIALINFO",
                                      "CONNECTED", "PROCEEDING", "ONHOLD",         "CONFERENCED",
                                      "ONHOLDPENDCONF", "ONHOLDPENDTRANSFER", "DISCONNECTED", "UNKNOWN"};
  for (int i = 0; i < 16; ++i)
    if (CallState == (1u << i)) return names[i];
  return Framework::Format(R::LoadResString(R::stUnknownLineCallState), static_cast<int>(CallState));
}

namespace {
std::string ModeName(uint32_t Mode, std::initializer_list<const char*> Names) {
  int bit = 0;
  for (const char* n : Names) {
    if (Mode == (1u << bit)) return n;
    ++bit;
  }
  return {};
}
}  // namespace

std::string LineCallStateInfoToStr(uint32_t CallState, uint32_t Mode) {
  std::string result;
  if (Mode == 0) result = "SUCCESS";
  else if (CallState == Platform::LINECALLSTATE_DIALTONE)
    result = ModeName(Mode, {"NORMAL", "SPECIAL", "INTERNAL", "EXTERNAL", "UNKNOWN", "UNAVAIL"});
  else if (CallState == Platform::LINECALLSTATE_BUSY)
    result = ModeName(Mode, {"STATION", "TRUNK", "UNKNOWN", "UNAVAIL"});
  else if (CallState == Platform::LINECALLSTATE_DISCONNECTED)
    result = ModeName(Mode, {"NORMAL", "UNKNOWN", "REJECT", "PICKUP", "FORWARDED", "BUSY", "NOANSWER", "BADADDRESS",
                             "UNREACHABLE", "CONGESTION", "INCOMPATIBLE", "UNAVAIL", "NODIALTONE"});
  if (result.empty())
    result = Framework::Format(R::LoadResString(R::stUndefinedLineCallStateInfo), static_cast<int>(Mode));
  return result;
}

}  // namespace Halyard::TAPI
