// The COM port's modem lines: every switch and sample is one system call, made at once.
#include "output/error_record.h"
#include "platform/platform.h"
#include "serial/lines.h"
#include "serial/port.h"
#include "serial/timing.h"
#include "serial/wire.h"

namespace wire {

namespace {

bool escape_quiet(uint32_t function) { return platform::serial_escape(serial::port.port_handle, function); }

int modem_sample(uint32_t mask, wire::Sample* out) {
  const int r = serial::read_modem_line(mask);
  if (r >= 0) *out = wire::Sample{r, -1};
  return r;
}

// Never asked: every sample answers at once.
int no_slot(int64_t) { return 0; }

// Every call has already reached the lines.
int nothing_pending() { return 0; }

}  // namespace

const Driver com_port = {
    serial::switch_line, escape_quiet,     modem_sample,  no_slot,
    nothing_pending,     serial::delay_us, platform::sleep_ms,
    serial::arm_cts_event, serial::disarm_cts_event, serial::cts_event_mask_word,
    true,                  nullptr,          nullptr,       nullptr,
};

}  // namespace wire
