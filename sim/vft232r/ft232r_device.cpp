// The virtual FT232R (ft232r_device.h): its registers, FIFOs, bit modes and pins, with the
// passive adapter and the simulated chip behind the pins through the inverting transceiver.
//
// What is modelled, and from where:
// - Vendor requests as libftdi1 sends them (bmRequestType 0x40 out, 0xC0 in): 0x00 reset
//   (wValue 0 reset the port: both FIFOs emptied; 1 empties the transmit FIFO (data from the
//   host), 2 the receive FIFO (data towards the host): libftdi 1.5's tcoflush and tciflush),
//   0x01 modem control, 0x02 flow control, 0x03 baud-rate divisor, 0x04 line properties (bit 14
//   the break), 0x05 modem status, 0x09/0x0A latency timer, 0x0B bit mode (wValue mode << 8 |
//   mask), 0x0C pin read, 0x90 EEPROM word read. Anything else stalls.
// - The divisor as the FT232R decodes it: 14-bit integer part in wValue, the eighths coded in
//   wValue's top two bits and wIndex bit 0; 0 means 3 MBd and 1 means 2 MBd.
// - Bit-bang bytes leave the transmit FIFO (128 bytes) at the byte rate of the reading: 16 times
//   the baud rate (AN232R-01) or a quarter of it (libftdi's measurement). In synchronous mode
//   (0x04) each byte's sample is the pins just before the byte took effect, and a byte is clocked
//   only while the receive FIFO (256 bytes) has room for its sample. In asynchronous mode (0x01)
//   the bytes go to the latch at the same rate and the pins are sampled too, dropped when full.
// - Outside a bit mode the UART owns the pins: TXD at mark (the break pulls it to space), RTS#
//   and DTR# from the modem-control register; bytes written then go out as serial data.
// - OUT packets are taken whole (64 bytes, or the transfer's short last one) when the transmit
//   FIFO has room for them; IN packets carry two status bytes and at most 62 data bytes, sent
//   when 62 are waiting or when the latency timer (16 ms from reset) runs out since the last one.
#include "sim/vft232r/ft232r_device.h"

#include <cstring>

#include "sim/model/adapter.h"
#include "sim/model/chip.h"

namespace vft232r {

namespace {

// Pins in the datasheet's bit-bang order.
constexpr uint8_t d0_txd = 0x01, d1_rxd = 0x02, d2_rts = 0x04, d3_cts = 0x08, d4_dtr = 0x10,
                  d5_dsr = 0x20, d6_dcd = 0x40, d7_ri = 0x80;
constexpr uint8_t uart_outputs = d0_txd | d2_rts | d4_dtr;
constexpr int tx_capacity = 128;
constexpr int rx_capacity = 256;
constexpr int packet_size = 64;
constexpr int packet_data = packet_size - 2;
constexpr double base_clock_hz = 3000000.0;
// The adapter's supply port number: apart from the COM ports 1..99 and the unit tests' cables.
constexpr int supply_port = 300;
// Clock phases shorter than this on DTR are counted.
constexpr double min_phase_us = 2.0;
// Byte times are sums of doubles over minutes of virtual time: a phase this close to the limit
// is the limit (a picosecond, far below anything a chip could tell apart).
constexpr double rounding_us = 1e-6;
// A full-speed USB frame: the least a read-back takes to reach the host.
constexpr double round_trip_us = 1000;

constexpr uint8_t mode_reset = 0x00, mode_async = 0x01, mode_sync = 0x04;

struct Device {
  Options options;
  bool gone = false;
  // Registers.
  uint8_t mode = mode_reset;
  uint8_t mask = 0;
  uint8_t latch = 0x00;
  bool rts = false, dtr = false;  // modem control: asserted
  bool brk = false;               // line properties: break on
  uint32_t divisor_register = 0x4138;  // 9600 Bd as the chip comes up (312.5)
  int latency_ms = 16;
  // FIFOs as rings.
  uint8_t tx[tx_capacity];
  int tx_head = 0, tx_count = 0;
  uint8_t rx[rx_capacity];
  int rx_head = 0, rx_count = 0;
  double next_clock_us = 0;  // the earliest time the next byte may leave the transmit FIFO
  double clock_free_us = -1; // synchronous mode: when the last byte clocked ended its period
  long long gap_round_trips = 0;  // unsampled stretches in calls a round trip long or longer
  double last_packet_us = 0; // the latency timer runs from here
  bool stalled = false;      // the clock stands for a full receive FIFO
  // The lines behind the transceiver.
  sim::adapter::Outputs lines;
  double last_dtr_edge_us = -1;
  double now_us = 0;
  Report report{};
};

Device device;

double byte_period_us(const Device& d) {
  const uint32_t value = d.divisor_register & 0xFFFF;
  const uint32_t integer = value & 0x3FFF;
  static constexpr int eighths_of_code[8] = {0, 4, 2, 1, 3, 5, 6, 7};
  const int code = static_cast<int>(((value >> 14) & 3) | (((d.divisor_register >> 16) & 1) << 2));
  double divisor = integer + eighths_of_code[code] / 8.0;
  if (integer == 0 && code == 0) divisor = 1.0;       // 3 MBd
  else if (integer == 1 && code == 0) divisor = 1.5;  // 2 MBd
  const double baud = base_clock_hz / divisor;
  if (d.mode == mode_reset) return 1e6 * 10.0 / baud;  // start, 8 data, stop
  const double bytes_per_s = d.options.reading == Reading::fastest ? 16.0 * baud : baud / 4.0;
  return 1e6 / bytes_per_s;
}

bool chip_behind(const Device& d) { return d.options.attached && d.options.chip; }

// The pins as they stand at t.
uint8_t pins_now(const Device& d, double t) {
  uint8_t pins = d1_rxd | d6_dcd | d7_ri;  // idle RS-232 inputs read high after the transceiver
  if (d.options.attached) {
    // Without a chip the data line is the break's alone; DSR echoes RTS through the RC delay.
    const bool cts = chip_behind(d) ? sim::adapter::data_line_high(supply_port, d.lines, t) : d.lines.brk;
    const bool dsr = sim::adapter::dsr(d.lines, t);
    if (!cts) pins |= d3_cts;
    if (!dsr) pins |= d5_dsr;
  } else {
    pins |= d3_cts | d5_dsr;
  }
  if (d.mode == mode_async || d.mode == mode_sync) {
    const uint8_t driven = d.mask;
    // Pins not driven are held high by the chip's pull-ups.
    pins = static_cast<uint8_t>((pins & ~driven) | (d.latch & driven) | (uart_outputs & ~driven));
  } else {
    if (!d.brk) pins |= d0_txd;
    if (!d.rts) pins |= d2_rts;
    if (!d.dtr) pins |= d4_dtr;
  }
  return pins;
}

void drive(Device& d, sim::adapter::Output which, bool on, double t) {
  bool& was = which == sim::adapter::Output::rts ? d.lines.rts
              : which == sim::adapter::Output::dtr ? d.lines.dtr
                                                   : d.lines.brk;
  if (was == on) return;
  if (which == sim::adapter::Output::dtr) {
    if (d.last_dtr_edge_us >= 0) {
      const double phase = t - d.last_dtr_edge_us;
      if (phase < min_phase_us - rounding_us) ++d.report.short_phases;
      if (d.report.shortest_phase_us == 0 || phase < d.report.shortest_phase_us) d.report.shortest_phase_us = phase;
    }
    d.last_dtr_edge_us = t;
  }
  if (which == sim::adapter::Output::rts && on && d.options.attached) d.report.powered_us = t;
  if (!on) {
    (which == sim::adapter::Output::rts   ? d.report.rts_off_us
     : which == sim::adapter::Output::dtr ? d.report.dtr_off_us
                                          : d.report.brk_off_us) = t;
  }
  if (chip_behind(d)) {
    sim::adapter::drive(supply_port, &d.lines, which, on, t);
  } else {
    if (which == sim::adapter::Output::rts) {
      d.lines.dsr_before = sim::adapter::dsr(d.lines, t);
      d.lines.rts_switched_at = t;
    }
    sim::adapter::set_output(&d.lines, which, on);
  }
}

// The lines follow the pins, inverted. Within one byte the clock moves before the data and the
// supply last: a clock edge written together with a data change sees the old data.
void apply_pins(Device& d, double t) {
  const uint8_t pins = pins_now(d, t);
  drive(d, sim::adapter::Output::dtr, (pins & d4_dtr) == 0, t);
  drive(d, sim::adapter::Output::brk, (pins & d0_txd) == 0, t);
  drive(d, sim::adapter::Output::rts, (pins & d2_rts) == 0, t);
}

void rx_push(Device& d, uint8_t b) {
  d.rx[(d.rx_head + d.rx_count) % rx_capacity] = b;
  ++d.rx_count;
}

// The clock stood from the end of the last byte's period until `at`: the part of it during a
// supervisory call is unsampled time. The chip has seen nothing since that byte, so its state
// is still the one the stretch began with; a busy signal ends at its timed fall.
void count_gap(Device& d, double at) {
  const double from = d.clock_free_us;
  if (from < 0 || at <= from + rounding_us || !sim::chip::in_call(from)) return;
  double until = at;
  if (!sim::chip::in_call(at)) {
    const double fall = sim::chip::timed_fall();
    if (fall > from && fall < at) until = fall;
  }
  const double gap = until - from;
  ++d.report.gaps_in_calls;
  d.report.gap_us_in_calls += gap;
  if (gap > d.report.longest_gap_in_call_us) d.report.longest_gap_in_call_us = gap;
  if (gap >= round_trip_us) ++d.gap_round_trips;
}

// Clocks bytes out of the transmit FIFO up to time t.
void run_until(Device& d, double t) {
  const double period = byte_period_us(d);
  while (d.tx_count > 0 && d.next_clock_us <= t) {
    const bool sync = d.mode == mode_sync;
    if (sync && d.rx_count >= rx_capacity) {
      if (!d.stalled) ++d.report.rx_stalls;
      d.stalled = true;
      return;
    }
    d.stalled = false;
    const double at = d.next_clock_us;
    if (sync) count_gap(d, at);
    const uint8_t byte = d.tx[d.tx_head];
    d.tx_head = (d.tx_head + 1) % tx_capacity;
    --d.tx_count;
    if (d.mode == mode_sync || d.mode == mode_async) {
      const uint8_t sample = pins_now(d, at);
      d.latch = byte;
      apply_pins(d, at);
      if (sync || d.rx_count < rx_capacity) rx_push(d, sample);
      ++d.report.bytes_clocked;
    } else {
      ++d.report.uart_bytes;  // serial data on TXD: the target's data line
    }
    d.next_clock_us = at + period;
    d.clock_free_us = sync ? d.next_clock_us : -1;
  }
}

// Brings the device to time t: bytes clocked meanwhile, leaving the bus.
bool advance(Device& d, double t) {
  if (t < d.now_us) t = d.now_us;
  const double unplug = d.options.unplug_at_us;
  if (!d.gone && unplug >= 0 && t >= unplug) {
    run_until(d, unplug);
    d.gone = true;
    // The adapter takes its supply from the cable's RS-232 levels: all gone at once.
    if (chip_behind(d)) sim::adapter::cut_power(supply_port, unplug);
    d.lines.rts = d.lines.dtr = d.lines.brk = false;
  }
  d.now_us = t;
  if (d.gone) return false;
  run_until(d, t);
  // A byte arriving in an idle FIFO waits for nothing that went before.
  if (d.tx_count == 0 && d.next_clock_us < t) d.next_clock_us = t;
  return true;
}

uint8_t modem_status(const Device& d, double t) {
  const uint8_t pins = pins_now(d, t);
  uint8_t s = 0x01;
  if ((pins & d3_cts) == 0) s |= 0x10;
  if ((pins & d5_dsr) == 0) s |= 0x20;
  if ((pins & d7_ri) == 0) s |= 0x40;
  if ((pins & d6_dcd) == 0) s |= 0x80;
  return s;
}

uint8_t line_status(const Device& d) {
  return d.tx_count == 0 ? 0x60 : 0x00;  // transmitter holding register and shift register empty
}

void purge_tx(Device& d) {
  d.tx_head = d.tx_count = 0;
}
void purge_rx(Device& d) {
  d.rx_head = d.rx_count = 0;
  d.stalled = false;
  if (d.next_clock_us < d.now_us) d.next_clock_us = d.now_us;
}

Usb vendor_out(Device& d, uint8_t request, uint16_t value, uint16_t index, double t) {
  switch (request) {
    case 0x00:  // reset / purge
      if (value == 0) {
        purge_tx(d);
        purge_rx(d);
      } else if (value == 1) {
        purge_tx(d);
      } else if (value == 2) {
        purge_rx(d);
      } else {
        return Usb::stall;
      }
      return Usb::ok;
    case 0x01:  // modem control: bit 0 DTR, bit 1 RTS, bits 8 and 9 say which to set
      if ((value & 0x0100) != 0) d.dtr = (value & 0x0001) != 0;
      if ((value & 0x0200) != 0) d.rts = (value & 0x0002) != 0;
      apply_pins(d, t);
      return Usb::ok;
    case 0x02:  // flow control: nothing of it reaches the pins in use
      return Usb::ok;
    case 0x03:  // baud-rate divisor
      d.divisor_register = value | (static_cast<uint32_t>(index & 1) << 16);
      return Usb::ok;
    case 0x04:  // line properties: bit 14 the break
      d.brk = (value & 0x4000) != 0;
      apply_pins(d, t);
      return Usb::ok;
    case 0x09:  // latency timer
      if ((value & 0xFF) == 0) return Usb::stall;
      d.latency_ms = value & 0xFF;
      return Usb::ok;
    case 0x0B: {  // bit mode
      const uint8_t mode = static_cast<uint8_t>(value >> 8);
      if (mode != mode_reset && mode != mode_async && mode != mode_sync) return Usb::stall;
      d.mode = mode;
      d.mask = static_cast<uint8_t>(value & 0xFF);
      d.clock_free_us = -1;  // a new stream: the time before it was never the clock's
      if (mode != mode_reset && d.options.latch_lost) d.latch = 0x00;
      d.stalled = false;
      apply_pins(d, t);
      return Usb::ok;
    }
    default:
      return Usb::stall;
  }
}

Usb vendor_in(Device& d, uint8_t request, uint16_t index, uint8_t* data, uint16_t length, int* transferred,
              double t) {
  uint8_t answer[2] = {0, 0};
  int n = 0;
  switch (request) {
    case 0x05:
      answer[0] = modem_status(d, t);
      answer[1] = line_status(d);
      n = 2;
      break;
    case 0x0A:
      answer[0] = static_cast<uint8_t>(d.latency_ms);
      n = 1;
      break;
    case 0x0C:
      answer[0] = pins_now(d, t);
      n = 1;
      break;
    case 0x90: {  // a blank EEPROM but for the FTDI ids in words 1 and 2
      uint16_t word = 0xFFFF;
      if (index == 1) word = 0x0403;
      if (index == 2) word = 0x6001;
      answer[0] = static_cast<uint8_t>(word & 0xFF);
      answer[1] = static_cast<uint8_t>(word >> 8);
      n = 2;
      break;
    }
    default:
      return Usb::stall;
  }
  if (length < n) n = length;
  if (data != nullptr) std::memcpy(data, answer, static_cast<size_t>(n));
  *transferred = n;
  return Usb::ok;
}

}  // namespace

void reset(const Options& options) {
  device = Device{};
  device.options = options;
  device.report.reading = static_cast<int32_t>(options.reading);
  device.report.powered_us = -1;
  device.report.brk_off_us = device.report.dtr_off_us = device.report.rts_off_us = -1;
  sim::ChipConfig& config = sim::chip_config();
  config = sim::ChipConfig{};
  if (options.silent_after_vectors >= 0) {
    config.faults.push_back(sim::chip_fault::silence_after_vectors(static_cast<long>(options.silent_after_vectors)));
  }
  for (int i = 0; i < options.late_answer_count && i < Options::max_late_answers; ++i) {
    const Options::LateAnswer& late = options.late_answers[i];
    config.faults.push_back(
        sim::chip_fault::late_answer(static_cast<sim::RomFunction>(late.function), late.delay_us));
  }
  sim::chip::reset();
  sim::adapter::reset();
  device.dtr = (options.modem_control & 1) != 0;
  device.rts = (options.modem_control & 2) != 0;
  apply_pins(device, 0);
}

Usb control(uint8_t request_type, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
            uint16_t length, int* transferred, double t_us) {
  Device& d = device;
  *transferred = 0;
  if (!advance(d, t_us)) return Usb::no_device;
  ++d.report.opened;
  if (request_type == 0x40) return vendor_out(d, request, value, index, d.now_us);
  if (request_type == 0xC0) return vendor_in(d, request, index, data, length, transferred, d.now_us);
  return Usb::stall;
}

Usb bulk_out(const uint8_t* data, int length, int* taken, double t_us) {
  Device& d = device;
  *taken = 0;
  if (!advance(d, t_us)) return Usb::no_device;
  // Whole packets only: the chip NAKs one it has no room for.
  while (*taken < length) {
    const int packet = length - *taken < packet_size ? length - *taken : packet_size;
    if (tx_capacity - d.tx_count < packet) break;
    if (d.tx_count == 0 && d.next_clock_us < d.now_us) d.next_clock_us = d.now_us;
    for (int i = 0; i < packet; ++i) {
      d.tx[(d.tx_head + d.tx_count) % tx_capacity] = data[*taken + i];
      ++d.tx_count;
    }
    *taken += packet;
  }
  return Usb::ok;
}

Usb bulk_in(uint8_t* packet, int* length, double t_us) {
  Device& d = device;
  *length = 0;
  if (!advance(d, t_us)) return Usb::no_device;
  const bool timer_out = d.now_us >= d.last_packet_us + d.latency_ms * 1000.0;
  if (d.rx_count < packet_data && !timer_out) return Usb::ok;  // NAK
  const int n = d.rx_count < packet_data ? d.rx_count : packet_data;
  packet[0] = modem_status(d, d.now_us);
  packet[1] = line_status(d);
  for (int i = 0; i < n; ++i) packet[2 + i] = d.rx[(d.rx_head + i) % rx_capacity];
  d.rx_head = (d.rx_head + n) % rx_capacity;
  d.rx_count -= n;
  *length = 2 + n;
  d.last_packet_us = d.now_us;
  // Room again: a stalled clock goes on from now.
  if (d.stalled && n > 0) {
    d.stalled = false;
    if (d.next_clock_us < d.now_us) d.next_clock_us = d.now_us;
    run_until(d, d.now_us);
  }
  return Usb::ok;
}

double next_change_us(double t_us) {
  Device& d = device;
  if (!advance(d, t_us)) return -1;
  double next = -1;
  const double now = d.now_us;
  auto consider = [&next, now](double at) {
    if (at <= now) return;  // already so: nothing changes without the host
    if (next < 0 || at < next) next = at;
  };
  if (d.options.unplug_at_us >= 0) consider(d.options.unplug_at_us);
  // The latency timer sends whatever waits (status bytes at least) when it runs out.
  if (d.rx_count < packet_data) consider(d.last_packet_us + d.latency_ms * 1000.0);
  if (d.tx_count > 0 && !d.stalled) {
    // The next byte at which the FIFOs' answers change: room for a whole OUT packet, a whole IN
    // packet waiting, the transmit FIFO empty, or the clock stopping for a full receive FIFO.
    int bytes = d.tx_count;
    if (tx_capacity - d.tx_count < packet_size) bytes = d.tx_count - (tx_capacity - packet_size);
    const bool samples = d.mode == mode_sync || d.mode == mode_async;
    if (samples && d.rx_count < packet_data && packet_data - d.rx_count < bytes) bytes = packet_data - d.rx_count;
    if (d.mode == mode_sync && rx_capacity - d.rx_count < bytes) bytes = rx_capacity - d.rx_count;
    if (bytes < 1) bytes = 1;
    consider(d.next_clock_us + (bytes - 1) * byte_period_us(d));
  }
  return next;
}

CallGaps call_gaps() {
  return CallGaps{device.report.gaps_in_calls, device.report.gap_us_in_calls, device.gap_round_trips};
}

bool on_bus(double t_us) {
  advance(device, t_us);
  return !device.gone;
}

Report report(double t_us) {
  Device& d = device;
  advance(d, t_us);
  Report r = d.report;
  const bool live = !d.gone;
  r.powered = chip_behind(d) ? sim::adapter::powers_target(supply_port) : (live && d.lines.rts && d.options.attached);
  r.lines = live ? ((d.lines.rts ? 1 : 0) | (d.lines.dtr ? 2 : 0) | (d.lines.brk ? 4 : 0)) : 0;
  r.mode = d.mode;
  r.output_mask = d.mask;
  r.divisor = static_cast<int32_t>(d.divisor_register);
  r.latency_ms = d.latency_ms;
  const sim::ChipCounters& c = sim::chip::counters();
  r.vectors = c.vectors_write + c.vectors_read + c.vectors_other;
  r.malformed_frames = c.malformed_frames;
  r.rejected_calls = c.rejected_calls;
  r.timing_violations = c.timing_violations;
  r.contention = sim::adapter::contention();
  long long started = 0;
  for (const long long n : c.rom_calls) started += n;
  r.calls_started = started;
  r.late_answers = c.late_answers;
  for (int f = 0; f < sim::rom_function_slots; ++f) r.calls_by_function[f] = c.rom_calls[f];
  r.now_us = d.now_us;
  std::memcpy(r.flash, sim::flash().data(), sizeof r.flash);
  return r;
}

}  // namespace vft232r
