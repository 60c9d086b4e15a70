#pragma once
// Telephony results turned into values or exceptions, TAPI's variable-size structures, and the
// texts of call states and their modes.
#include <cstdint>
#include <memory>
#include <string>

#include "halyard/framework/SysUtils.h"
#include "halyard/platform/Tapi.h"

namespace Halyard::TAPI {

class ETAPIError : public Framework::Exception {
 public:
  using Exception::Exception;
};

// A result of 0 or more comes back unchanged; a negative one raises ETAPIError.
int32_t TapiCheck(int32_t Result);
[[noreturn]] void TAPIError(const std::string& Message);

// A zeroed block of Size + 1024 bytes whose first DWORD (dwTotalSize) holds its size.
struct TTapiMem {
  std::unique_ptr<uint8_t[]> Data;
  uint32_t Size = 0;
  template <class T>
  T* As() const {
    return reinterpret_cast<T*>(Data.get());
  }
};
TTapiMem GetTapiMem(int32_t Size);

// The Size bytes at Offset from the start of Struct, up to the first zero byte. Bytes beyond
// the structure's dwTotalSize are never read.
std::string GetTapiString(const void* Struct, uint32_t Offset, uint32_t Size);

std::string LineCallStateToStr(uint32_t CallState);
std::string LineCallStateInfoToStr(uint32_t CallState, uint32_t Mode);

}  // namespace Halyard::TAPI
