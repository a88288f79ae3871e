// The adapter on an FT232R USB-RS232 cable in synchronous bit-bang mode. Every switch and wait
// becomes bytes of one stream, each byte holding the output pins for one period of the
// bit-bang clock; for every byte written the chip returns the input pins as they were just
// before that byte took effect. Samples are positions in the stream whose values come back
// with the next round trip, so whole vectors, and a block's 64 reads, cost one round trip.
// Transfers are submitted ahead, several in flight one behind the other; a wait's watch keeps
// bytes written ahead of what has come back, so the chip samples every byte of the wait.
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

// The stream's last bytes, written, in flight and read back, by position modulo its size. A
// position older than this is never looked at again: samples are read right after their flush,
// a watch looks back at most one round trip's bytes.
constexpr int64_t ring_size = int64_t{1} << 17;
// Bytes per transfer outside a watch: the fewer transfers, the less work for the host.
constexpr int64_t max_transfer = 4096;
// Bytes per transfer while a watch holds the lines: a decision waits for the transfer holding
// its sample to come back whole, so small ones decide sooner.
constexpr int64_t hold_transfer = 128;
constexpr int max_pending = 2048;

// Slots of flushed samples, by ticket: a ticket is read right after its flush, long before
// this many later samples could reuse its slot.
constexpr int64_t slot_count = 2 * max_pending;

struct Pending {
  int64_t position;  // the byte whose read-back is the sample
  uint32_t mask;
  int64_t ticket;
};

// What the stream last waited for before the next switch: that switch's round trip.
enum class Waited { none, flush, watch };

struct Stream {
  uint8_t out[ring_size];
  uint8_t in[ring_size];
  int64_t written;    // bytes written so far
  int64_t submitted;  // bytes handed to the cable
  int64_t completed;  // bytes read back
  int64_t settled;    // the position before which the next switch or sample may not come
  int64_t flight_end[platform::ftdi_max_in_flight];  // where each transfer in flight ends, oldest first
  int flight_oldest;
  int flight_count;
  uint8_t pins;       // the output pins as the last byte leaves them
  uint8_t sent_pins;  // the output pins as the last byte handed to the cable leaves them
  Pending pending[max_pending];
  int pending_first;
  int pending_count;
  uint8_t slots[slot_count];  // the levels of flushed samples, at ticket % slot_count
  int64_t next_ticket;
  uint32_t failure;   // the system's number once the cable failed; every later call fails
  bool stopping;      // the emergency power-off has begun: its own round trips go through
  Waited waited;
  Counters counters;
};

Stream stream;

uint8_t& out_at(int64_t position) { return stream.out[position % ring_size]; }
uint8_t in_at(int64_t position) { return stream.in[position % ring_size]; }

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

uint32_t modem_status(uint8_t read_back) {
  uint32_t status = 0;
  for (const InputPin& p : input_pins) {
    if (asserted_level(read_back, p.pin)) status |= p.status_bit;
  }
  return status;
}

int cts_level(int64_t position) { return (modem_status(in_at(position)) & platform::MS_CTS_ON) != 0 ? 1 : 0; }

// The cable failed: nothing more reaches it, and nothing in flight comes back (the back end
// has taken it back).
int broken(uint32_t code) {
  if (code == 0) code = platform::err::device_not_connected;
  stream.failure = code;
  stream.flight_count = 0;
  stream.pending_first = 0;
  stream.pending_count = 0;
  return -1;
}

// The oldest transfer's read-back: its samples go to their slots.
int complete_oldest() {
  if (!platform::ftdi_done()) return broken(platform::last_error());
  stream.completed = stream.flight_end[stream.flight_oldest];
  stream.flight_oldest = (stream.flight_oldest + 1) % platform::ftdi_max_in_flight;
  --stream.flight_count;
  while (stream.pending_count > 0) {
    const Pending& p = stream.pending[stream.pending_first];
    if (p.position >= stream.completed) break;
    stream.slots[p.ticket % slot_count] = (modem_status(in_at(p.position)) & p.mask) != 0 ? 1 : 0;
    stream.pending_first = (stream.pending_first + 1) % max_pending;
    --stream.pending_count;
  }
  return 0;
}

void emergency_stop(int signal_number);

// Hands the written bytes to the cable, in transfers of at most `piece` bytes, keeping no more
// than the cable takes in flight.
int submit_written(int64_t piece) {
  if (!stream.stopping && platform::emergency_signal() != 0) emergency_stop(platform::emergency_signal());
  if (stream.failure != 0) return -1;
  while (stream.submitted < stream.written) {
    if (stream.flight_count == platform::ftdi_max_in_flight && complete_oldest() != 0) return -1;
    const int64_t at = stream.submitted % ring_size;
    int64_t count = stream.written - stream.submitted;
    if (count > piece) count = piece;
    if (count > ring_size - at) count = ring_size - at;
    if (!platform::ftdi_submit(&stream.out[at], &stream.in[at], static_cast<size_t>(count))) {
      return broken(platform::last_error());
    }
    stream.submitted += count;
    stream.sent_pins = out_at(stream.submitted - 1);
    stream.flight_end[(stream.flight_oldest + stream.flight_count) % platform::ftdi_max_in_flight] = stream.submitted;
    ++stream.flight_count;
    ++stream.counters.transfers;
    stream.counters.bytes += count;
  }
  return 0;
}

// Room for n more bytes: the ring's oldest bytes are read back before they are written over.
int make_room(int64_t n) {
  while (stream.written + n - stream.completed > ring_size) {
    if (stream.flight_count == 0 && submit_written(max_transfer) != 0) return -1;
    if (complete_oldest() != 0) return -1;
  }
  return 0;
}

void emit(uint8_t pins) {
  out_at(stream.written++) = pins;
  stream.pins = pins;
}

// Holds the current levels until the settled position.
int pad() {
  if (stream.settled > stream.written && make_room(stream.settled - stream.written) != 0) return -1;
  while (stream.written < stream.settled) emit(stream.pins);
  return 0;
}

// Every byte written goes out and comes back: one round trip.
int transfer() {
  if (stream.failure != 0) return -1;
  if (pad() != 0) return -1;
  // A sample at the end of the stream is read back by one more byte at the same levels.
  if (stream.pending_count > 0 &&
      stream.pending[(stream.pending_first + stream.pending_count - 1) % max_pending].position == stream.written) {
    if (make_room(1) != 0) return -1;
    emit(stream.pins);
  }
  if (stream.written == stream.completed) return 0;
  if (stream.waited == Waited::none) stream.waited = Waited::flush;
  if (submit_written(max_transfer) != 0) return -1;
  while (stream.flight_count > 0) {
    if (complete_oldest() != 0) return -1;
  }
  return 0;
}

bool set_quiet(uint32_t function);

// The emergency power-off's steps and the pause after each: the order of the normal power-off
// (issp/power.cpp), for the same reason: a chip whose supply goes while clock and data are
// still driven is fed through its pins.
struct EmergencyStep {
  uint32_t function;
  uint32_t pause_ms;
};
constexpr EmergencyStep emergency_steps[] = {
    {platform::CLRBREAK, 2}, {platform::CLRDTR, 500}, {platform::CLRRTS, 0}};

// A signal asked for an emergency stop (platform/ftdi.h). What is in flight reaches the pins
// whatever we do; what is not yet handed over never will: from the levels the last byte in
// flight leaves, the target goes off in order, the cable is closed and the process ends as the
// signal asked.
void emergency_stop(int signal_number) {
  stream.stopping = true;
  while (stream.failure == 0 && stream.flight_count > 0) (void)complete_oldest();
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

int flush_stream() {
  if (transfer() != 0) return fail(stream.failure);
  return 0;
}

bool switch_pins(uint32_t function) {
  const OutputPin* line = output_pin(function);
  if (line == nullptr) {
    platform::set_last_error(platform::err::invalid_parameter);
    return false;
  }
  if (stream.failure != 0 || pad() != 0 || make_room(1) != 0) {
    platform::set_last_error(stream.failure);
    return false;
  }
  if (stream.waited != Waited::none) {
    // A switch decided on samples: it reaches the pins behind what was in flight.
    ++stream.counters.decisions;
    if (stream.waited == Waited::watch) ++stream.counters.watches;
    stream.waited = Waited::none;
  }
  emit(pins_with(stream.pins, *line));
  // The new levels hold for this byte at least; a wait counts from the switch.
  stream.settled = stream.written - 1;
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
  if (pad() != 0) return fail(stream.failure);
  if (stream.pending_count == max_pending && transfer() != 0) return fail(stream.failure);
  const int64_t ticket = stream.next_ticket++;
  stream.pending[(stream.pending_first + stream.pending_count) % max_pending] = Pending{stream.written, mask, ticket};
  ++stream.pending_count;
  *out = wire::Sample{0, ticket};
  stream.settled = stream.written;
  ++stream.counters.samples;
  return wire::pending;
}

int64_t bytes_for_us(int64_t us) { return (us + byte_period_us - 1) / byte_period_us; }

int delay_us(int32_t us) {
  if (stream.failure != 0) return fail(stream.failure);
  if (us >= long_wait_us) {
    // Long waits are kept off the USB: the levels hold between transfers.
    if (flush_stream() != 0) return -1;
    return serial::delay_us(us);
  }
  stream.settled += bytes_for_us(us);
  return 0;
}

void sleep_ms(uint32_t ms) {
  (void)flush_stream();
  platform::sleep_ms(ms);
}

int64_t position() { return stream.written > stream.settled ? stream.written : stream.settled; }

// The first read-back from `from` through `through` with CTS at `until`, among those back.
int64_t find_level(int until, int64_t from, int64_t through, int64_t* looked) {
  const int64_t end = stream.completed <= through ? stream.completed : through + 1;
  for (int64_t p = *looked > from ? *looked : from; p < end; ++p) {
    if (cts_level(p) == until) return p;
  }
  *looked = end;
  return wire::not_seen;
}

// The watch of a wait: every byte is a sample. While it waits for the read-backs it needs, it
// keeps read_ahead_bytes written beyond the last one back, so that the chip never runs out of
// bytes to clock (and so never stops sampling) before the host has seen what it sampled.
int64_t watch(int until, int64_t from, int64_t through) {
  if (stream.failure != 0) return fail(stream.failure);
  if (pad() != 0) return fail(stream.failure);
  int64_t looked = from;
  for (;;) {
    const int64_t found = find_level(until, from, through, &looked);
    if (found >= 0) return found;
    if (stream.completed > through) return wire::not_seen;
    while (stream.written - stream.completed < read_ahead_bytes) {
      if (make_room(hold_transfer) != 0) return fail(stream.failure);
      for (int64_t i = 0; i < hold_transfer; ++i) emit(stream.pins);
    }
    stream.waited = Waited::watch;
    if (submit_written(hold_transfer) != 0 || complete_oldest() != 0) return fail(stream.failure);
  }
}

int slot_level(int64_t ticket) { return stream.slots[ticket % slot_count]; }

}  // namespace

void reset_stream(uint8_t pins) {
  // A stream cut short leaves no pending sample behind: its target may be gone. Whatever the
  // cable had in flight has come back or been taken back.
  stream.written = 0;
  stream.submitted = 0;
  stream.completed = 0;
  stream.settled = 0;
  stream.flight_oldest = 0;
  stream.flight_count = 0;
  stream.pins = pins;
  stream.sent_pins = pins;
  stream.pending_first = 0;
  stream.pending_count = 0;
  stream.failure = 0;
  stream.stopping = false;
  stream.waited = Waited::none;
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
    ft232r::set,      ft232r::set_quiet, ft232r::sample,   ft232r::slot_level, ft232r::flush_stream,
    ft232r::delay_us, ft232r::sleep_ms,  nullptr,          nullptr,            nullptr,
    false,            ft232r::position,  ft232r::bytes_for_us, ft232r::watch,
};

}  // namespace wire
