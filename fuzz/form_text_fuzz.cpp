#include "FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  HalyardFuzz::FormText(data, size);
  return 0;
}
