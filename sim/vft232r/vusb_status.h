// What the libusb preload (libvusb) shows the test that runs it: a file it maps and keeps
// current, so it stays readable however the tool ended. The device's own report first, then
// what the host side did with it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/vft232r/ft232r_device.h"

namespace vusb {

// One control transfer or bulk OUT submission, as the host made it.
struct Event {
  double t_us;
  int32_t kind;      // event_control_out, event_control_in, event_bulk_out
  int32_t request;   // bRequest (control)
  int32_t value, index;
  int32_t length;
  int32_t first;     // the first data byte (-1 none)
};
constexpr int32_t event_control_out = 1, event_control_in = 2, event_bulk_out = 3;
constexpr int first_events = 64, last_events = 16;

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
  // The first events of the run and the last ones (a ring: event_count % last_events is the
  // next slot).
  int64_t event_count;
  Event first[first_events];
  Event last[last_events];
};
static_assert(sizeof(Status) % 8 == 0, "no tail padding");

}  // namespace vusb
