// Microsecond time base: busy waits on the high-resolution counter, far below the sleep grain,
// and the timed wait for the target's data line to fall.
#include "serial/timing.h"

#include <cstdint>
#include <limits>

#include "output/error_record.h"
#include "platform/cp1251_literal.h"
#include "platform/platform.h"
#include "serial/lines.h"
#include "serial/port.h"
#include "serial/wire.h"

namespace serial {

namespace {

constexpr int64_t us_per_second = 1000000;

// The system's error number, or ERROR_BAD_ENVIRONMENT when it gives none: a failure must
// never reach the record (and the exit code) as 0.
uint32_t counter_error_code() {
  const uint32_t code = platform::last_error();
  return code != 0 ? code : platform::err::bad_environment;
}

int counter_problem(uint32_t code) {
  output::set_error_code(static_cast<int32_t>(code));
  output::set_error_text(RU("Проблемы при работе с High-Resolution Performance Counter ( %d )."),
                         static_cast<int>(code));
  platform::set_last_error(code);
  return -1;
}

// us * f / 1e6 truncated toward zero, without the 64-bit overflow of the direct product.
int64_t ticks_for(int32_t us, int64_t f) {
  const int64_t whole = us / us_per_second;
  const int64_t part = us % us_per_second;
  return whole * f + part * f / us_per_second;
}

}  // namespace

int64_t counter_frequency() {
  platform::set_last_error(0);
  int64_t f = 0;
  // A frequency that is not positive cannot time anything, and a negative one would pass for
  // this function's own failure value without a record behind it.
  if (platform::query_frequency(&f) && f > 0) return f;
  counter_problem(counter_error_code());
  return -1;
}

int delay_us(int32_t us) {
  platform::set_last_error(0);
  int64_t start = 0;
  if (!platform::query_counter(&start)) return counter_problem(counter_error_code());
  // A negative reading is a broken counter; the record says so, so that a caller giving up
  // here cannot end the run with exit code 0.
  if (start < 0) return counter_problem(platform::err::bad_environment);
  const int64_t f = counter_frequency();
  if (f < 0) return -1;
  const int64_t ticks = ticks_for(us, f);
  const int64_t target = ticks > std::numeric_limits<int64_t>::max() - start
                             ? std::numeric_limits<int64_t>::max()
                             : start + ticks;
  for (;;) {
    platform::set_last_error(0);
    int64_t now = 0;
    if (!platform::query_counter(&now)) return counter_problem(counter_error_code());
    if (now < 0) return counter_problem(platform::err::bad_environment);
    if (now >= target) return 0;
  }
}

namespace {

int32_t wait_counter_failure(uint32_t code) {
  output::set_error_text(RU("Ошибка %d при работе с High-Resolution Performance Counter."),
                         static_cast<int>(code));
  output::set_error_code(static_cast<int32_t>(code));
  platform::set_last_error(code);
  const auto signed_code = static_cast<int32_t>(code);
  // An error number beyond 2^31 must still come back negative, never as an elapsed time.
  return signed_code > 0 ? -signed_code : (signed_code < 0 ? signed_code : -1);
}

}  // namespace

int32_t wait_cts_low() {
  platform::set_last_error(0);
  int64_t start = 0;
  int64_t f = 0;
  if (!platform::query_counter(&start)) return wait_counter_failure(counter_error_code());
  if (!platform::query_frequency(&f)) return wait_counter_failure(counter_error_code());
  if (f <= 0) return wait_counter_failure(platform::err::bad_environment);

  int32_t result = 1;
  for (;;) {
    const int cts = wire::read(platform::MS_CTS_ON);
    if (cts < 0) return -1;
    if (cts == 0) return result;

    int64_t now = 0;
    if (!platform::query_counter(&now)) return wait_counter_failure(counter_error_code());
    int64_t elapsed = now - start;
    if (elapsed < 0) elapsed = 0;
    // elapsed >= f is a full second or more; below that the product cannot overflow.
    if (elapsed >= f) return 0;
    const int64_t microseconds = elapsed * us_per_second / f;
    result = microseconds <= 0 ? 1 : static_cast<int32_t>(microseconds);
  }
}

}  // namespace serial
