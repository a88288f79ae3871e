// The passive adapter's wiring, its RC-delayed DSR echo and the target supply's charge.
#include "sim/model/adapter.h"

#include "sim/model/chip.h"

namespace sim::adapter {

namespace {
Config settings;
int supplying_port = 0;  // 0 = none
// RTS of the supplying port is off and the supply is draining since off_since.
bool draining = false;
double off_since = 0;
long long contention_count = 0;

// The supply has been off long enough by t: the target is reset.
void settle(double t) {
  if (!draining || t - off_since < settings.power_reset_off_us) return;
  chip::power(false, off_since + settings.power_reset_off_us);
  draining = false;
  supplying_port = 0;
}
}  // namespace

Config& config() { return settings; }

void reset() {
  supplying_port = 0;
  draining = false;
  off_since = 0;
  contention_count = 0;
}

void set_output(Outputs* lines, Output which, bool on) {
  (which == Output::rts ? lines->rts : which == Output::dtr ? lines->dtr : lines->brk) = on;
}

void cut_power(int port, double t) {
  if (supplying_port != port) return;
  chip::power(false, t);
  supplying_port = 0;
  draining = false;
}

void drive(int port, Outputs* lines, Output which, bool on, double t) {
  settle(t);
  const bool supplied = supplying_port == port && !draining;
  if (which == Output::dtr && supplied) {
    if (on && !lines->dtr) chip::clock_rise(lines->brk, data_line_high(port, *lines, t), t);
    if (!on && lines->dtr) chip::clock_fall(t);
  }
  if (which == Output::brk && supplied && on != lines->brk) {
    if (on && chip::drives_line(t)) ++contention_count;
    chip::host_data(on, t);
  }
  if (which == Output::rts && on != lines->rts) {
    lines->dsr_before = dsr(*lines, t);
    lines->rts_switched_at = t;
  }
  set_output(lines, which, on);
  if (which != Output::rts) return;
  if (!on) {
    if (supplying_port == port && !draining) {
      draining = true;
      off_since = t;
    }
  } else if (supplying_port == port && draining) {
    draining = false;  // back before the supply ran down: nothing was reset
  } else if (supplying_port == 0 || !chip::powered()) {
    supplying_port = port;
    chip::power(true, t);
  }
}

bool dsr(const Outputs& lines, double t) {
  if (settings.dsr_stuck >= 0) return settings.dsr_stuck != 0;
  return t - lines.rts_switched_at >= settings.dsr_delay_us ? lines.rts : lines.dsr_before;
}

bool data_line_high(int port, const Outputs& lines, double t) {
  if (lines.brk) return true;
  settle(t);
  return supplying_port == port && !draining && chip::drives_high(t);
}

bool powers_target(int port) { return supplying_port == port && !draining && chip::powered(); }

double last_timed_fall() { return chip::timed_fall(); }

long long contention() { return contention_count; }

}  // namespace sim::adapter
