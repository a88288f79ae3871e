// vchip on top of the simulator's chip (sim/chip.cpp).
#include "tests/vserial/vchip.h"

#include "sim/state.h"

namespace sim::detail {
Counters counter_values;  // the chip counts into it; the library has no other use for it
}

namespace vchip {

void reset(const Options& options) {
  sim::ChipConfig& config = sim::chip_config();
  config = sim::ChipConfig{};
  if (options.silent_after_vectors) {
    sim::ChipFaultSpec fault;
    fault.kind = sim::ChipFault::silence_after_vectors;
    fault.vectors = options.vectors;
    config.faults.push_back(fault);
  }
  if (options.busy_us >= 0) {
    config.erase_all_us = config.write_block_us = config.read_block_us = config.protect_us =
        config.checksum_us = config.table_read_us = config.calibrate_us = options.busy_us;
  }
  sim::detail::counter_values = sim::Counters{};
  sim::detail::chip_reset();
}

void power(bool on, double t_us) { sim::detail::chip_power(on, t_us); }
void clock_rise(bool host_high, bool line_high, double t_us) {
  sim::detail::chip_clock_rise(host_high, line_high, t_us);
}
bool drives_high(double t_us) { return sim::detail::chip_powered() && sim::detail::chip_drives_high(t_us); }
const uint8_t* flash() { return sim::flash().data(); }
long long vectors() {
  const sim::Counters& c = sim::detail::counter_values;
  return c.vectors_write + c.vectors_read + c.vectors_other;
}

}  // namespace vchip
