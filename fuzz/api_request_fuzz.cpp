#include "GatewayFuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  HalyardFuzz::ApiRequest(data, size);
  return 0;
}
