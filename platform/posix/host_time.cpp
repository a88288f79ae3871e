// The high-resolution counter and the millisecond sleep.
#include <cerrno>
#include <ctime>

#include "platform/posix/host.h"

namespace posix_host {

bool query_counter(int64_t* ticks) {
  timespec now{};
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
    set_last_error(from_errno(errno));
    return false;
  }
  *ticks = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  return true;
}

bool query_frequency(int64_t* ticks_per_second) {
  *ticks_per_second = 1000000000;
  return true;
}

void sleep_ms(uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  // A signal must not cut a sleep short: the adapter probe relies on the full 100 ms.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace posix_host
