// Reset of the whole world, the per-thread last error, counters and trace.
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
  chip_reset();
  ports_reset();
  counter_values = Counters{};
  trace_on = false;
  trace_entries.clear();
  set_error(0);
}

const Counters& counters() { return counter_values; }

void set_trace(bool on) { trace_on = on; }
const std::vector<TraceEntry>& trace() { return trace_entries; }
void clear_trace() { trace_entries.clear(); }

}  // namespace sim

namespace platform {

uint32_t last_error() { return sim::detail::last_error_value; }
void set_last_error(uint32_t code) { sim::detail::last_error_value = code; }

}  // namespace platform
