// Reset of the whole world, the per-thread last error, counters and trace.
#include "sim/model/adapter.h"
#include "sim/state.h"

namespace sim::detail {

Counters counter_values{};
bool trace_on = false;
std::vector<TraceEntry> trace_entries;

namespace {
thread_local uint32_t last_error_value = 0;
}

void set_error(uint32_t code) { last_error_value = code; }

}  // namespace sim::detail

namespace sim {

using namespace detail;

void reset() {
  clock_reset();
  faults_reset();
  console_reset();
  devmap_reset();
  files_reset();
  chip_config() = ChipConfig{};
  adapter::config() = adapter::Config{};
  chip::reset();
  ports_reset();
  cables_reset();
  counter_values = Counters{};
  trace_on = false;
  trace_entries.clear();
  set_error(0);
}

const Counters& counters() {
  const ChipCounters& chip = chip::counters();
  counter_values.vectors_write = chip.vectors_write;
  counter_values.vectors_read = chip.vectors_read;
  counter_values.vectors_other = chip.vectors_other;
  counter_values.srom_calls = chip.rom_calls;
  counter_values.power_ons = chip.power_ons;
  counter_values.malformed_frames = chip.malformed_frames;
  counter_values.rejected_calls = chip.rejected_calls;
  counter_values.timing_violations = chip.timing_violations;
  counter_values.refused_protected = chip.refused_protected;
  counter_values.contention = adapter::contention();
  return counter_values;
}

bool clean_wire() {
  const Counters& c = counters();
  return c.malformed_frames == 0 && c.rejected_calls == 0 && c.timing_violations == 0 &&
         c.contention == 0;
}

long long rom_calls(RomFunction function) {
  return chip::counters().rom_calls[static_cast<std::size_t>(function) % rom_function_slots];
}

void set_trace(bool on) { trace_on = on; }
const std::vector<TraceEntry>& trace() { return trace_entries; }
void clear_trace() { trace_entries.clear(); }

}  // namespace sim

namespace platform {

uint32_t last_error() { return sim::detail::last_error_value; }
void set_last_error(uint32_t code) { sim::detail::last_error_value = code; }

}  // namespace platform
