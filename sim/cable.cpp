// The simulated USB-serial bridges: their listing, and the FT232R in synchronous bit-bang mode
// behind the library calls of platform/ftdi.h, wired through an inverting RS-232 transceiver to
// the passive adapter. Written from the chip's behaviour, not from the tool: its pin map is its
// own, the output latch powers up at zero, bytes written outside bit-bang mode go out as serial
// data, and every byte's read-back is the pins just before that byte took effect.
#include <csetjmp>
#include <deque>
#include <cstring>

#include "platform/ftdi.h"
#include "sim/model/adapter.h"
#include "sim/model/chip.h"
#include "sim/state.h"

namespace sim::detail {

std::jmp_buf* emergency_exit = nullptr;

namespace {

// FT232R bit-bang pins (datasheet order) and what the transceiver makes of them.
constexpr uint8_t d0_txd = 0x01, d1_rxd = 0x02, d2_rts = 0x04, d3_cts = 0x08, d4_dtr = 0x10,
                  d5_dsr = 0x20, d6_dcd = 0x40, d7_ri = 0x80;
// Each adapter needs a supply port number of its own, apart from the COM ports 1..99.
constexpr int first_cable_port = 200;

struct Cable {
  UsbDevice device;
  bool gone = false;
  bool open = false;
  uint8_t mode = platform::bitmode_reset;
  uint8_t mask = 0;
  uint8_t latch = 0x00;  // the output latch as the chip powers up
  adapter::Outputs lines;
};

std::vector<Cable> cables;
int open_cable = -1;
int pending_signal = 0;
double signal_at_us = 0;
double signal_seen_us = -1;
int ended_signal = 0;
double round_trip_us = 1000;
CableCounters cable_count{};
// Transfers in flight: when each one's read-back reaches the host.
std::deque<double> in_flight;
// When the chip has clocked out every byte submitted (-1: nothing submitted since the open).
double clock_free_us = -1;

int supply_port(int index) { return first_cable_port + index; }

// The pins as they stand: outputs from the latch where bit-bang mode drives them, the UART's
// idle levels otherwise (TXD mark, RTS# and DTR# off: high), inputs from the adapter.
uint8_t pins_now(int index, double t) {
  const Cable& c = cables[static_cast<size_t>(index)];
  uint8_t pins = d1_rxd | d6_dcd | d7_ri;  // idle RS-232 inputs read high
  if (!adapter::data_line_high(supply_port(index), c.lines, t)) pins |= d3_cts;
  if (!adapter::dsr(c.lines, t)) pins |= d5_dsr;
  const uint8_t outputs = d0_txd | d2_rts | d4_dtr;
  const uint8_t driven = c.mode == platform::bitmode_reset ? 0 : c.mask & outputs;
  pins |= static_cast<uint8_t>(outputs & ~driven);
  pins |= static_cast<uint8_t>(c.latch & driven);
  return pins;
}

// The RS-232 lines follow the pins, inverted. Within one byte the clock moves before the data
// and the supply last: a clock edge written together with a data change sees the old data.
void drive(int index, adapter::Output which, bool on, double t) {
  Cable& c = cables[static_cast<size_t>(index)];
  const bool was = which == adapter::Output::rts ? c.lines.rts
                   : which == adapter::Output::dtr ? c.lines.dtr
                                                   : c.lines.brk;
  if (was == on) return;
  if (which == adapter::Output::dtr && on) ++counter_values.clock_pulses;
  if (trace_on) {
    // Traced as the COM port's line functions, so that one reading of a trace serves both.
    const uint32_t function = which == adapter::Output::rts   ? (on ? platform::SETRTS : platform::CLRRTS)
                              : which == adapter::Output::dtr ? (on ? platform::SETDTR : platform::CLRDTR)
                                                              : (on ? platform::SETBREAK : platform::CLRBREAK);
    trace_entries.push_back({sim::TraceEntry::escape, function, t});
  }
  adapter::drive(supply_port(index), &c.lines, which, on, t);
}

void apply_pins(int index, double t) {
  const uint8_t pins = pins_now(index, t);
  drive(index, adapter::Output::dtr, (pins & d4_dtr) == 0, t);
  drive(index, adapter::Output::brk, (pins & d0_txd) == 0, t);
  drive(index, adapter::Output::rts, (pins & d2_rts) == 0, t);
}

// Common start of every library call: the injected failure, a device that is gone.
bool begin(sim::Call kind, int index) {
  uint32_t error = 0;
  if (call_fault(kind, false, 0, &error)) {
    if (error == platform::err::device_not_connected && index >= 0) unplug_usb_device(index);
    set_error(error);
    return false;
  }
  if (index >= 0 && cables[static_cast<size_t>(index)].gone) {
    set_error(platform::err::device_not_connected);
    return false;
  }
  return true;
}

// The open cable for a setup call or a round trip, or nullptr with the error set.
Cable* begin_open(sim::Call kind) {
  if (open_cable < 0) {
    set_error(platform::err::invalid_handle);
    return nullptr;
  }
  if (!begin(kind, open_cable)) return nullptr;
  return &cables[static_cast<size_t>(open_cable)];
}

void copy_text(char* out, size_t capacity, const std::string& text) {
  const size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

}  // namespace

void cables_reset() {
  cables.clear();
  open_cable = -1;
  round_trip_us = 1000;
  in_flight.clear();
  clock_free_us = -1;
  cable_count = CableCounters{};
  cable_count.reset_mask = -1;
  pending_signal = 0;
  signal_at_us = 0;
  signal_seen_us = -1;
  ended_signal = 0;
  emergency_exit = nullptr;
}

}  // namespace sim::detail

namespace sim {

using namespace detail;

void set_usb_devices(const std::vector<UsbDevice>& devices) {
  cables.clear();
  for (const UsbDevice& d : devices) cables.push_back(Cable{d, false, false, platform::bitmode_reset, 0, 0, {}});
  open_cable = -1;
}

void set_usb_round_trip_us(double us) { round_trip_us = us; }

void unplug_usb_device(int index) {
  if (index < 0 || index >= static_cast<int>(cables.size())) return;
  cables[static_cast<size_t>(index)].gone = true;
  // The adapter takes its supply from the cable's RS-232 levels.
  adapter::cut_power(supply_port(index), time_us());
}

CableState cable_state(int index) {
  if (index < 0 || index >= static_cast<int>(cables.size())) return CableState{};
  const Cable& c = cables[static_cast<size_t>(index)];
  // A cable pulled out drives nothing.
  const bool live = !c.gone;
  return CableState{c.open, c.mode == platform::bitmode_synchronous, live && c.lines.rts,
                    live && c.lines.dtr, live && c.lines.brk, adapter::powers_target(supply_port(index))};
}

const CableCounters& cable_counters() { return cable_count; }

void raise_signal_at_us(int signal_number, double at_us) {
  pending_signal = signal_number;
  signal_at_us = at_us;
}
double signal_seen_at_us() { return signal_seen_us; }
int ended_for_signal() { return ended_signal; }

}  // namespace sim

namespace platform {

using namespace sim::detail;

int usb_serial_list(UsbSerialDevice* devices, int capacity) {
  if (!begin(sim::Call::usb_list, -1)) return -1;
  int count = 0;
  for (const Cable& c : cables) {
    if (c.gone) continue;
    if (count < capacity) {
      UsbSerialDevice& d = devices[count];
      copy_text(d.chip, sizeof d.chip, c.device.chip);
      copy_text(d.serial, sizeof d.serial, c.device.serial);
      d.ft232r = c.device.chip == "FT232R";
      d.com_port = c.device.com_port;
    }
    ++count;
  }
  return count;
}

bool ftdi_open(int index) {
  // The index counts the devices still present, as the last list did.
  int found = -1;
  for (int i = 0, listed = 0; i < static_cast<int>(cables.size()); ++i) {
    if (cables[static_cast<size_t>(i)].gone) continue;
    if (listed++ == index) found = i;
  }
  if (!begin(sim::Call::usb_open, found)) return false;
  if (found < 0 || open_cable >= 0) {
    set_error(found < 0 ? err::device_not_connected : err::open_failed);
    return false;
  }
  Cable& c = cables[static_cast<size_t>(found)];
  if (c.device.busy || c.device.chip != "FT232R") {
    set_error(err::open_failed);
    return false;
  }
  c.open = true;
  open_cable = found;
  in_flight.clear();
  clock_free_us = -1;
  return true;
}

bool ftdi_set_latch(uint8_t pins) {
  Cable* c = begin_open(sim::Call::usb_setup);
  if (c == nullptr) return false;
  ++cable_count.setup_calls;
  c->latch = pins;
  apply_pins(open_cable, time_us());
  return true;
}

bool ftdi_set_bitmode(uint8_t output_mask, uint8_t mode) {
  Cable* c = begin_open(sim::Call::usb_setup);
  if (c == nullptr) return false;
  ++cable_count.setup_calls;
  if (mode != bitmode_reset && mode != bitmode_synchronous) {
    set_error(err::invalid_parameter);
    return false;
  }
  // A chip whose latch does not survive the switch drives its power-on zeros: every line on.
  if (c->device.latch_lost && mode != bitmode_reset && c->mode != mode) c->latch = 0x00;
  c->mode = mode;
  c->mask = output_mask;
  if (mode == bitmode_reset) cable_count.reset_mask = output_mask;
  apply_pins(open_cable, time_us());
  return true;
}

bool ftdi_set_baud(uint32_t baud, uint32_t slowest_byte_rate) {
  Cable* c = begin_open(sim::Call::usb_setup);
  if (c == nullptr) return false;
  ++cable_count.setup_calls;
  if (baud == 0 || baud > 3000000 || slowest_byte_rate == 0) {
    set_error(err::invalid_parameter);
    return false;
  }
  cable_count.baud = baud;
  cable_count.slowest_byte_rate = slowest_byte_rate;
  return true;
}

bool ftdi_read_pins(uint8_t* pins) {
  Cable* c = begin_open(sim::Call::usb_setup);
  if (c == nullptr) return false;
  ++cable_count.setup_calls;
  ++cable_count.pin_reads;
  *pins = pins_now(open_cable, time_us());
  return true;
}

bool ftdi_set_latency_ms(uint8_t ms) {
  Cable* c = begin_open(sim::Call::usb_setup);
  if (c == nullptr) return false;
  ++cable_count.setup_calls;
  if (ms == 0) {
    set_error(err::invalid_parameter);
    return false;
  }
  cable_count.latency_ms = ms;
  return true;
}

// Transfers reach the pins one behind the other: a transfer starts when it is submitted or
// when the one before it has been clocked out, whichever is later; in between the chip has
// nothing to clock and samples nothing. Each read-back reaches the host one round trip after
// its last byte was sampled (a partly filled packet also waits for the latency timer).
bool ftdi_submit(const uint8_t* out, uint8_t* in, size_t count) {
  Cable* c = begin_open(sim::Call::usb_transfer);
  if (c == nullptr) {
    in_flight.clear();
    return false;
  }
  if (in_flight.size() >= static_cast<size_t>(ftdi_max_in_flight) || out == nullptr || in == nullptr) {
    in_flight.clear();
    set_error(err::invalid_parameter);
    return false;
  }
  ++cable_count.transfers;
  if (c->mode != bitmode_synchronous) {
    // Outside bit-bang mode the bytes leave as serial data on TxD: the target's data line.
    cable_count.uart_writes += static_cast<long long>(count);
    in_flight.clear();
    set_error(err::gen_failure);
    return false;
  }
  // Bytes at the fastest reading of the divisor, 16 times its baud rate (FTDI's AN232R-01): the
  // shortest clock phases any reading gives. A tool that never sets the rate gets the 9600 Bd
  // the chip opens with.
  const double period_us = 1e6 / (16.0 * (cable_count.baud != 0 ? cable_count.baud : 9600));
  const double now = time_us();
  double start = now;
  if (clock_free_us > now) {
    start = clock_free_us;
  } else if (clock_free_us >= 0 && now > clock_free_us && sim::chip::in_call(clock_free_us)) {
    // The chip ran a supervisory call while nothing was sampled.
    ++cable_count.gaps_in_calls;
    cable_count.gap_us_in_calls += now - clock_free_us;
  }
  for (size_t i = 0; i < count; ++i) {
    const double t = start + static_cast<double>(i) * period_us;
    in[i] = pins_now(open_cable, t);
    c->latch = out[i];
    apply_pins(open_cable, t);
  }
  clock_free_us = start + static_cast<double>(count) * period_us;
  cable_count.bytes += static_cast<long long>(count);
  const int latency_ms = cable_count.latency_ms != 0 ? cable_count.latency_ms : 16;
  in_flight.push_back(clock_free_us + round_trip_us + (latency_ms - 1) * 1000.0);
  return true;
}

bool ftdi_done() {
  if (open_cable < 0 || in_flight.empty()) {
    in_flight.clear();
    set_error(open_cable < 0 ? err::invalid_handle : err::invalid_parameter);
    return false;
  }
  const double ready = in_flight.front();
  in_flight.pop_front();
  if (ready > time_us()) advance_us(ready - time_us());
  if (cables[static_cast<size_t>(open_cable)].gone) {
    in_flight.clear();
    set_error(err::device_not_connected);
    return false;
  }
  return true;
}

// The real handler notes a signal only while a cable is open (before, it ends the process
// itself); so does this one.
int emergency_signal() {
  if (signal_seen_us < 0) {
    if (pending_signal == 0 || open_cable < 0 || time_us() < signal_at_us) return 0;
    signal_seen_us = time_us();
  }
  return pending_signal;
}

void end_after_emergency(int signal_number) {
  ended_signal = signal_number;
  if (emergency_exit != nullptr) std::longjmp(*emergency_exit, 128 + signal_number);
}

// Letting go of the device leaves its pins as they are; only leaving bit-bang mode hands them
// back to the UART.
void ftdi_close() {
  if (open_cable < 0) return;
  cables[static_cast<size_t>(open_cable)].open = false;
  open_cable = -1;
  in_flight.clear();
}

}  // namespace platform
