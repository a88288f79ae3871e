// What the libusb preload (libvusb) shows the test that runs it: a file it maps and keeps
// current, so it stays readable however the tool ended. The device's own report first, then
// what the host side did with it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/vft232r/ft232r_device.h"

namespace vusb {

struct Status {
  vft232r::Report device;
  int32_t inits, exits;        // libusb contexts made and ended
  int32_t handles_open;        // device handles open now
  int32_t claimed;             // interface 0 claimed now
  int32_t kernel_driver;       // ftdi_sio bound to the interface now (it is at the start)
  int32_t detaches, reattaches;
  int32_t transfers_pending;   // submitted and not yet handed back
  int64_t control_transfers;
  int64_t submitted;           // asynchronous and synchronous bulk transfers
  int64_t timed_out;           // bulk transfers that ended at their timeout
  int64_t cancelled;
  int64_t no_device;           // calls and transfers answered "no device"
  int64_t refused_real;        // calls that would have reached a real device or bus (always 0)
  double virtual_us;           // the virtual clock
  double released_us;          // when the interface was last released (-1 never)
  double closed_us;            // when the last handle was closed (-1 never)
  double pad;
};
static_assert(sizeof(Status) % 8 == 0, "no tail padding");

}  // namespace vusb
