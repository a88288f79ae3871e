// The adapter on an FT232R USB-RS232 cable in synchronous bit-bang mode. Every switch and wait
// becomes bytes of one stream, each byte holding the output pins for one period of the
// bit-bang clock; for every byte written the chip returns the input pins as they were just
// before that byte took effect. Samples are positions in the stream whose values come back
// with the next round trip, so whole vectors, and a block's 64 reads, cost one USB transfer.
#include "serial/ft232r.h"

#include <cstddef>
#include <cstring>

#include "serial/cable.h"

#include "output/error_record.h"
#include "platform/cp1251_literal.h"
#include "platform/ftdi.h"
#include "platform/platform.h"
#include "serial/lines.h"
#include "serial/port.h"
#include "serial/timing.h"
#include "serial/wire.h"

namespace ft232r {

namespace {

// Room for one round trip's bytes; a longer stream goes out in several.
constexpr size_t stream_capacity = 32768;
constexpr int max_pending = 2048;

// Slots of flushed samples, by ticket: a ticket is read right after its flush, long before
// this many later samples could reuse its slot.
constexpr int64_t slot_count = 2 * max_pending;

struct Pending {
  size_t position;  // the byte whose read-back is the sample
  uint32_t mask;
  int64_t ticket;
};

struct Stream {
  uint8_t out[stream_capacity];
  uint8_t in[stream_capacity];
  size_t used;      // bytes written so far
  size_t settled;   // the stream position before which the next switch or sample may not come
  uint8_t pins;     // the output pins as the last byte leaves them
  uint8_t sent_pins;  // the output pins as the last round trip left them on the cable
  Pending pending[max_pending];
  int pending_count;
  uint8_t slots[slot_count];  // the levels of flushed samples, at ticket % slot_count
  int64_t next_ticket;
  bool watching;    // the CTS watch is armed
  size_t watch_from, watch_to;  // read-backs the watch looks at in this round trip
  bool watched;     // the watch covered part of this round trip
  volatile uint32_t event_word;
  uint32_t failure; // the system's number once the cable failed; every later call fails
  bool stopping;    // the emergency power-off has begun: its own round trips go through
  Counters counters;
};

Stream stream;

void record_failure(uint32_t code) {
  if (code == platform::err::device_not_connected) {
    // Said plainly: a cable pulled out mid-run is the likeliest cause in the field.
    output::set_error_code(static_cast<int32_t>(code));
    output::set_error_text(RU("Порт %s - устройство отключено ( ошибка %d )."), serial::port.port_name,
                           static_cast<int>(code));
  } else {
    output::set_port_error(code);
  }
  platform::set_last_error(code);
}

int fail(uint32_t code) {
  record_failure(code);
  return -1;
}

void emit(uint8_t pins) {
  stream.out[stream.used++] = pins;
  stream.pins = pins;
}

// Holds the current levels until the settled position.
void pad() {
  while (stream.used < stream.settled && stream.used < stream_capacity) emit(stream.pins);
}

uint32_t modem_status(uint8_t read_back) {
  uint32_t status = 0;
  for (const InputPin& p : input_pins) {
    if (asserted_level(read_back, p.pin)) status |= p.status_bit;
  }
  return status;
}

int transfer();

// The emergency power-off's steps and the pause after each: the order of the normal power-off
// (issp/power.cpp), for the same reason: a chip whose supply goes while clock and data are
// still driven is fed through its pins.
struct EmergencyStep {
  uint32_t function;
  uint32_t pause_ms;
};
constexpr EmergencyStep emergency_steps[] = {
    {platform::CLRBREAK, 2}, {platform::CLRDTR, 500}, {platform::CLRRTS, 0}};

bool set_quiet(uint32_t function);

// A signal asked for an emergency stop (platform/ftdi.h). What is queued has not reached the
// pins and never will: from the levels the last round trip left, the target goes off in order,
// the cable is closed and the process ends as the signal asked.
void emergency_stop(int signal_number) {
  reset_stream(stream.sent_pins);
  stream.stopping = true;
  for (const EmergencyStep& step : emergency_steps) {
    (void)set_quiet(step.function);
    if (step.pause_ms > 0) platform::sleep_ms(step.pause_ms);
  }
  (void)serial::close_cable();
  platform::end_after_emergency(signal_number);
  // Only the simulated world comes back here: nothing more reaches the cable.
  stream.failure = platform::err::gen_failure;
}

// Writes the stream and reads its samples back: 0, or -1 with the system's number.
int transfer() {
  if (!stream.stopping && platform::emergency_signal() != 0) emergency_stop(platform::emergency_signal());
  if (stream.failure != 0) {
    // Nothing more reaches a failed cable, and no sample waits on it.
    stream.used = 0;
    stream.settled = 0;
    stream.pending_count = 0;
    return -1;
  }
  pad();
  // A sample at the end of the stream is read back by one more byte at the same levels.
  if (stream.pending_count > 0 && stream.pending[stream.pending_count - 1].position == stream.used) {
    emit(stream.pins);
  }
  const size_t count = stream.used;
  const size_t watch_end = stream.watching ? count : stream.watch_to;
  const bool watched = stream.watched;
  const size_t watch_from = stream.watch_from;
  stream.used = 0;
  stream.settled = 0;
  stream.watch_from = 0;
  stream.watch_to = 0;
  stream.watched = stream.watching;
  if (count == 0) return 0;
  ++stream.counters.transfers;
  stream.counters.bytes += static_cast<long long>(count);
  if (!platform::ftdi_transfer(stream.out, stream.in, count)) {
    uint32_t code = platform::last_error();
    if (code == 0) code = platform::err::device_not_connected;
    stream.failure = code;
    stream.pending_count = 0;
    return -1;
  }
  stream.sent_pins = stream.out[count - 1];
  for (int i = 0; i < stream.pending_count; ++i) {
    const Pending& p = stream.pending[i];
    stream.slots[p.ticket % slot_count] = (modem_status(stream.in[p.position]) & p.mask) != 0 ? 1 : 0;
  }
  stream.pending_count = 0;
  if (watched) {
    for (size_t i = watch_from; i < watch_end; ++i) {
      if (modem_status(stream.in[i]) & platform::MS_CTS_ON) stream.event_word = platform::EV_CTS;
    }
  }
  return 0;
}

int flush_stream() {
  if (transfer() != 0) return fail(stream.failure);
  return 0;
}

// Room for n more bytes and one sample; a full stream goes out first.
int make_room(size_t n) {
  if (stream.used + n + 2 <= stream_capacity && stream.pending_count < max_pending) return 0;
  return transfer();
}

bool switch_pins(uint32_t function) {
  const OutputPin* line = output_pin(function);
  if (line == nullptr) {
    platform::set_last_error(platform::err::invalid_parameter);
    return false;
  }
  if (stream.failure != 0) {
    platform::set_last_error(stream.failure);
    return false;
  }
  if (make_room(stream.settled > stream.used ? stream.settled - stream.used : 0) != 0) {
    platform::set_last_error(stream.failure);
    return false;
  }
  pad();
  emit(pins_with(stream.pins, *line));
  // The new levels hold for this byte at least; a wait counts from the switch.
  stream.settled = stream.used - 1;
  return true;
}

int set(uint32_t function) {
  if (!switch_pins(function)) {
    record_failure(platform::last_error());
    return 0;
  }
  output::clear_error();
  return 1;
}

// Power switching goes out at once: the pause after it must find it on the lines. Tried even
// after a failed round trip: a cable that is still there must still switch the target off.
bool set_quiet(uint32_t function) {
  if (stream.failure != 0 && stream.failure != platform::err::device_not_connected) {
    const bool stopping = stream.stopping;
    reset_stream(stream.pins);
    stream.stopping = stopping;
  }
  if (!switch_pins(function)) return false;
  if (transfer() != 0) {
    platform::set_last_error(stream.failure);
    return false;
  }
  return true;
}

int delay_us(int32_t us);

int sample(uint32_t mask, wire::Sample* out) {
  if (stream.failure != 0) return fail(stream.failure);
  // The adapter's echo settles before a sample outside the ISSP engine's own timing.
  if (serial::port.sample_delay_ms > 0 && delay_us(serial::port.sample_delay_ms * 1000) != 0) {
    return -1;
  }
  if (make_room(stream.settled > stream.used ? stream.settled - stream.used : 0) != 0) {
    return fail(stream.failure);
  }
  pad();
  const int64_t ticket = stream.next_ticket++;
  stream.pending[stream.pending_count++] = Pending{stream.used, mask, ticket};
  *out = wire::Sample{0, ticket};
  stream.settled = stream.used;
  ++stream.counters.samples;
  return wire::pending;
}

int delay_us(int32_t us) {
  if (stream.failure != 0) return fail(stream.failure);
  if (us >= long_wait_us) {
    // Long waits are kept off the USB: the levels hold between transfers.
    if (flush_stream() != 0) return -1;
    return serial::delay_us(us);
  }
  stream.settled += static_cast<size_t>((us + byte_period_us - 1) / byte_period_us);
  return 0;
}

void sleep_ms(uint32_t ms) {
  (void)flush_stream();
  platform::sleep_ms(ms);
}

int arm() {
  stream.event_word = 0;
  stream.watching = true;
  stream.watched = true;
  stream.watch_from = stream.used;
  return serial::arm_ok;
}

void disarm() {
  if (!stream.watching) return;
  stream.watching = false;
  stream.watch_to = stream.used;
}

volatile uint32_t* event_word() { return &stream.event_word; }

int slot_level(int64_t ticket) { return stream.slots[ticket % slot_count]; }

}  // namespace

void reset_stream(uint8_t pins) {
  // A stream cut short leaves no pending sample behind: its target may be gone.
  stream.used = 0;
  stream.settled = 0;
  stream.pins = pins;
  stream.sent_pins = pins;
  stream.pending_count = 0;
  stream.watching = false;
  stream.watched = false;
  stream.watch_from = 0;
  stream.watch_to = 0;
  stream.event_word = 0;
  stream.failure = 0;
  stream.stopping = false;
}

const Counters& counters() { return stream.counters; }
void reset_counters() { stream.counters = Counters{}; }

void reset_ft232r() {
  std::memset(stream.out, 0, sizeof stream.out);
  std::memset(stream.in, 0, sizeof stream.in);
  std::memset(stream.pending, 0, sizeof stream.pending);
  std::memset(stream.slots, 0, sizeof stream.slots);
  stream.next_ticket = 0;
  reset_stream(idle_pins);
  stream.counters = Counters{};
}

}  // namespace ft232r

namespace wire {

const Driver ft232r = {
    ft232r::set,   ft232r::set_quiet,      ft232r::sample, ft232r::slot_level, ft232r::flush_stream, ft232r::delay_us,
    ft232r::sleep_ms, ft232r::arm, ft232r::disarm, ft232r::event_word, false,
};

}  // namespace wire
