// The passive adapter between a serial port's modem lines and the target chip: RTS is the
// target's supply and comes back on DSR, DTR is the clock (a rising edge clocks the chip), the
// break drives the data line high, and CTS reads the data line: high while the break is on,
// else whatever the target drives, else low.
//
// What a real adapter adds to the wiring: DSR follows RTS only through an RC delay, and the
// target keeps its charge for a while after RTS goes off, so a short off time does not reset it.
//
// One target chip sits behind the adapters: the first adapter port whose RTS rises while the
// chip is unpowered supplies it. Like the chip, the adapter keeps no clock: t is the driver's
// time in microseconds.
#pragma once

#include <limits>

namespace sim::adapter {

// How long DSR takes to show a new RTS level; well inside the 100 ms a probe waits.
constexpr double dsr_delay_us = 40000;
// RTS off for less than this leaves the target's supply charged: it comes back unreset.
constexpr double power_reset_off_us = 500000;

struct Config {
  double dsr_delay_us = adapter::dsr_delay_us;
  double power_reset_off_us = adapter::power_reset_off_us;
  int dsr_stuck = -1;  // -1 follows RTS, 0 or 1 stuck at that level (a broken echo)
};
Config& config();  // edit before the run; reset() keeps it

struct Outputs {
  bool rts = false, dtr = false, brk = false;
  // DSR's level before the last RTS switch, and when that switch came.
  bool dsr_before = false;
  double rts_switched_at = -std::numeric_limits<double>::infinity();
};
enum class Output { rts, dtr, brk };

void reset();  // no port supplies the target, contention count zero
// Records an output's level only (a port with nothing attached).
void set_output(Outputs* lines, Output which, bool on);
// Switches one output of the adapter on port at time t, with what that does to the target.
void drive(int port, Outputs* lines, Output which, bool on, double t);
// The port loses its hold on the target's supply at once (unplugged).
void cut_power(int port, double t);
bool dsr(const Outputs& lines, double t);
bool data_line_high(int port, const Outputs& lines, double t);
// This port supplies the powered target right now.
bool powers_target(int port);
// The time of the target's last timed fall of the data line (busy end, power-up end).
double last_timed_fall();
// Times the host switched the break on while the target was driving the data line.
long long contention();

}  // namespace sim::adapter
