// The passive adapter between a serial port's modem lines and the target chip: RTS is the
// target's supply and comes back on DSR, DTR is the clock (a rising edge clocks the chip), the
// break drives the data line high, and CTS reads the data line: high while the break is on,
// else whatever the target drives, else low.
//
// One target chip sits behind the adapters: the first adapter port whose RTS rises while the
// chip is unpowered supplies it. Like the chip, the adapter keeps no clock: t is the driver's
// time in microseconds.
#pragma once

namespace sim::adapter {

struct Outputs {
  bool rts = false, dtr = false, brk = false;
};
enum class Output { rts, dtr, brk };

void reset();  // no port supplies the target
// Records an output's level only (a port with nothing attached).
void set_output(Outputs* lines, Output which, bool on);
// Switches one output of the adapter on port at time t, with what that does to the target.
void drive(int port, Outputs* lines, Output which, bool on, double t);
// The port loses its hold on the target's supply (opened afresh, unplugged).
void cut_power(int port, double t);
bool dsr(const Outputs& lines);
bool data_line_high(int port, const Outputs& lines, double t);
// This port supplies the powered target right now.
bool powers_target(int port);
// The time of the target's last timed fall of the data line (busy end, power-up end).
double last_timed_fall();

}  // namespace sim::adapter
