// The adapter on an FT232R USB-RS232 cable: finding the cable, opening it in synchronous
// bit-bang mode, and giving it back.
#pragma once

#include <cstdint>

namespace serial {

// Exit codes of the cable's refusals (the message is shown already).
constexpr int32_t cable_exit_not_found = 1;    // no FT232R, several without -C, no adapter on it
constexpr int32_t cable_exit_unsupported = 50;  // the USB-serial chip found is not an FT232R
constexpr int32_t cable_exit_pins_not_idle = 114;  // the outputs did not come up idle: lines switched off

// Lists the USB-serial bridges, picks the FT232R (the one behind COM forced_port when it is
// given), opens it with every line idle, switches the lines over to it and checks that the
// adapter echoes RTS on DSR. 1 open; 0 failed with the record filled; -N refused, exit code N.
int open_cable(int32_t forced_port);
// Every line idle, bit-bang mode left, the device back with the system. 1, or 0 with the
// record filled; the lines are the COM port's again either way.
int close_cable();
// Forgets the last list of USB-serial bridges.
void reset_cable();

}  // namespace serial
