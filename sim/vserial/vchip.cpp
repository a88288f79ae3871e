// vchip on top of the simulated chip model (sim/model), which takes its time from its driver.
#include "sim/vserial/vchip.h"

#include "sim/model/chip.h"

namespace vchip {

void reset(const Options& options) {
  sim::ChipConfig& config = sim::chip_config();
  config = sim::ChipConfig{};
  if (options.silent_after_vectors) {
    config.faults.push_back(sim::chip_fault::silence_after_vectors(options.vectors));
  }
  if (options.busy_us >= 0) {
    for (const sim::RomFunction f :
         {sim::RomFunction::read_block, sim::RomFunction::write_block, sim::RomFunction::protect,
          sim::RomFunction::erase_all, sim::RomFunction::table_read, sim::RomFunction::checksum,
          sim::RomFunction::calibrate}) {
      sim::set_rom_busy_us(f, options.busy_us);
    }
  }
  sim::chip::reset();
}

void power(bool on, double t_us) { sim::chip::power(on, t_us); }
void clock_rise(bool host_high, bool line_high, double t_us) {
  sim::chip::clock_rise(host_high, line_high, t_us);
}
void clock_fall(double t_us) { sim::chip::clock_fall(t_us); }
void host_data(bool high, double t_us) { sim::chip::host_data(high, t_us); }
bool drives_line(double t_us) { return sim::chip::powered() && sim::chip::drives_line(t_us); }
bool drives_high(double t_us) { return sim::chip::powered() && sim::chip::drives_high(t_us); }
double timed_fall() { return sim::chip::timed_fall(); }
const uint8_t* flash() { return sim::flash().data(); }
long long vectors() {
  const sim::ChipCounters& c = sim::chip::counters();
  return c.vectors_write + c.vectors_read + c.vectors_other;
}

WireCounts wire_counts() {
  const sim::ChipCounters& c = sim::chip::counters();
  long long started = 0;
  for (const long long n : c.rom_calls) started += n;
  return {c.malformed_frames, c.rejected_calls, c.timing_violations, started};
}

}  // namespace vchip
