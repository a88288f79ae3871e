// What the virtual serial port shows the test that runs it: a file the library maps and keeps
// current at every call, so it stays readable whatever way the tool ended. The 32-bit library
// (the Windows program under wine) writes what a 64-bit test reads: every 64-bit field sits at
// a multiple of 8 on both.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vserial {

struct Status {
  int32_t open_fds;      // descriptors of the device open in the tool right now
  int32_t opens;         // descriptors ever seen
  int32_t rts, dtr, brk;
  int32_t powered;       // the target has power
  int32_t lines_at_close;  // RTS 1, DTR 2, break 4 as the tool left them when it closed the port
  int32_t cts_changes;   // every change of the data line seen by the adapter
  int32_t cts_counted;   // the changes the UART counted (TIOCGICOUNT)
  int32_t miwait_calls;  // TIOCMIWAIT entered
  int64_t calls;         // modem-line calls answered
  int64_t vectors;       // vectors the chip decoded
  int64_t wait_polls;    // sleeps of wine's comm-event wait thread cut short (sim/vserial/wine_wait.cpp)
  int64_t latched_changes;  // times wine's wait thread was shown a CTS change the level no longer showed
  // The chip's own view of the wire: all zero after a sound run.
  int64_t malformed_frames;   // frames whose fixed bits were wrong
  int64_t rejected_calls;     // supervisory calls refused for wrong parameters
  int64_t timing_violations;  // clock phases or releases shorter than the chip's minimum
  int64_t contention;         // break switched on while the chip drove the data line
  int64_t calls_started;      // supervisory calls the chip started (refused ones included)
  double virtual_us;     // the shared virtual clock
  double longest_rise_us;  // real time from open() until DTR and RTS were dropped, at worst
  uint8_t flash[8192];
  // Virtual time of the last call that released the break, dropped DTR, dropped RTS: the order
  // and pauses of the tool's last power-off.
  double brk_off_us, dtr_off_us, rts_off_us;
};

static_assert(offsetof(Status, calls) == 40 && offsetof(Status, flash) == 128 &&
                  offsetof(Status, brk_off_us) == 128 + 8192 && sizeof(Status) == 128 + 8192 + 24,
              "one layout for the 32-bit and the 64-bit library");

}  // namespace vserial
