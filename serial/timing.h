// Microsecond time base on the high-resolution counter.
#pragma once

#include <cstdint>

namespace serial {

// Ticks per second, or -1 on failure (record filled). Leaves the record alone on success.
int64_t counter_frequency();
// 0 after busy-waiting at least us microseconds, -1 on failure.
int delay_us(int32_t us);
// Elapsed microseconds (>= 1) when CTS read low; 0 when still high after one second;
// -1 when a modem-status sample failed; -N when the counter failed with code N.
int32_t wait_cts_low();

}  // namespace serial
