// High-resolution counter and millisecond sleep.
#include "platform/win32/win_api.h"

namespace platform {

bool query_counter(int64_t* ticks) {
  LARGE_INTEGER value;
  if (!QueryPerformanceCounter(&value)) return false;
  *ticks = value.QuadPart;
  return true;
}

bool query_frequency(int64_t* ticks_per_second) {
  LARGE_INTEGER value;
  if (!QueryPerformanceFrequency(&value)) return false;
  *ticks_per_second = value.QuadPart;
  return true;
}

void sleep_ms(uint32_t ms) { Sleep(ms); }

}  // namespace platform
