// The passive adapter's wiring.
#include "sim/model/adapter.h"

#include "sim/model/chip.h"

namespace sim::adapter {

namespace {
int supplying_port = 0;  // 0 = none
}

void reset() { supplying_port = 0; }

void set_output(Outputs* lines, Output which, bool on) {
  (which == Output::rts ? lines->rts : which == Output::dtr ? lines->dtr : lines->brk) = on;
}

void cut_power(int port, double t) {
  if (supplying_port != port) return;
  chip::power(false, t);
  supplying_port = 0;
}

void drive(int port, Outputs* lines, Output which, bool on, double t) {
  if (which == Output::dtr && on && !lines->dtr && supplying_port == port)
    chip::clock_rise(lines->brk, data_line_high(port, *lines, t), t);
  set_output(lines, which, on);
  if (which != Output::rts) return;
  if (!on) {
    cut_power(port, t);
  } else if (supplying_port == 0 || !chip::powered()) {
    supplying_port = port;
    chip::power(true, t);
  }
}

bool dsr(const Outputs& lines) { return lines.rts; }

bool data_line_high(int port, const Outputs& lines, double t) {
  if (lines.brk) return true;
  return supplying_port == port && chip::drives_high(t);
}

bool powers_target(int port) { return supplying_port == port && chip::powered(); }

double last_timed_fall() { return chip::timed_fall(); }

}  // namespace sim::adapter
