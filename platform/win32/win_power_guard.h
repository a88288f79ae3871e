// Powers the target off in order when the console ends the process (Ctrl+C, Ctrl+Break, the
// window closed): RTS carries the target's supply, and a serial driver need not lower it when
// the handle is closed on exit.
#pragma once

#include "platform/platform.h"

namespace platform {

// The port whose lines to drop, or no_serial.
void guard_port(SerialHandle h);
// Forgets h if it is the guarded port (before its handle is closed).
void unguard_port(SerialHandle h);
// The FT232R cable is open (true) or closed: while it is open the handler leaves the power-off
// to the cable's stream (emergency_signal in platform/ftdi.h).
void guard_cable(bool open);

}  // namespace platform
