#pragma once
// Ticks and sleep as the units use them.
#include <chrono>
#include <cstdint>
#include <thread>

namespace Halyard::Platform {

// Milliseconds of a monotonic clock; wraps like a 32-bit tick count.
inline uint32_t GetTickCount() {
  using namespace std::chrono;
  return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

inline void Sleep(int Milliseconds) {
  if (Milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(Milliseconds));
}

}  // namespace Halyard::Platform
