// Sleeping in real time, for a person watching tolvern-sim's line test.
#include <chrono>
#include <thread>

#include "sim/state.h"

namespace sim::detail {

void real_sleep_ms(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace sim::detail
