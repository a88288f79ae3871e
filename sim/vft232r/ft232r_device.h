// A virtual FT232R on the USB bus, with the passive adapter and the simulated PSoC 1 (sim/model)
// behind its bit-bang pins through the cable's inverting RS-232 transceiver. Modelled from the
// chip's datasheet, FTDI's AN232R-01 and TN_120 and the open libraries' view of the wire, not from
// the tool: what it answers is what the chip would, at the USB level (vendor control requests,
// bulk endpoints 0x02 OUT and 0x81 IN), so that a real host library (libftdi1 over libusb, or a
// D2XX stand-in) runs unchanged on top of it.
//
// Time is the caller's, in microseconds, never decreasing: the device keeps no clock of its own.
// Between calls it clocks bit-bang bytes from its transmit FIFO at the byte rate its divisor
// gives under the chosen reading, as long as its receive FIFO has room for the sample each byte
// produces (a full receive side stalls the clock, it drops nothing).
//
// Shared by the libusb preload (Linux, sim/vft232r/) and the stand-in ftd2xx.dll (MinGW): plain
// C++, no operating-system call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vft232r {

// How many bit-bang bytes a second the baud-rate divisor gives. The sources disagree:
// AN232R-01 clocks bytes at 16 times the nominal baud rate; libftdi's maintainers measured a
// quarter of the nominal rate. A model run picks one; the tool must be safe under both.
enum class Reading : int32_t { fastest = 0, slowest = 1 };

struct Options {
  Reading reading = Reading::fastest;
  bool attached = true;          // the adapter (and the target behind it) is on the cable's plug
  bool chip = true;              // a target sits behind the adapter
  bool latch_lost = false;       // entering a bit mode clears the output latch to zero
  long long silent_after_vectors = -1;  // the target stops answering after this many (-1 never)
  double unplug_at_us = -1;      // the device leaves the bus at this time (-1 never)
  uint16_t release = 0x0600;     // bcdDevice: 0x0600 is the FT232R (and FT232RNL)
  // The modem-control register as the cable's last user left it (DTR 1, RTS 2): a terminal
  // without HUPCL leaves them asserted, and the UART drives them whenever it owns the pins.
  uint8_t modem_control = 0;
  // Busy signals that rise late (sim::ChipFault::late_answer): the ROM function's number and
  // the delay after the release, for every call of that function.
  struct LateAnswer {
    int function;
    double delay_us;
  };
  static constexpr int max_late_answers = 8;
  LateAnswer late_answers[max_late_answers] = {};
  int late_answer_count = 0;
};

void reset(const Options& options);

// libusb's outcome of one operation.
enum class Usb : int32_t { ok = 0, stall = 1, no_device = 2 };

// A control transfer on endpoint 0 (FTDI's vendor requests, bmRequestType 0x40 out, 0xC0 in).
// In: up to length bytes into data, *transferred set.
Usb control(uint8_t request_type, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
            uint16_t length, int* transferred, double t_us);
// Bulk OUT: takes as many of the bytes as the transmit FIFO has room for at t (*taken), in
// whole USB packets (64 bytes, or the shorter rest): a packet it has no room for it NAKs.
Usb bulk_out(const uint8_t* data, int length, int* taken, double t_us);
// Bulk IN: the packet the chip would answer an IN token with at t: up to 64 bytes, the first two
// the modem and line status, the rest received (here: sampled) bytes. *length 0: the chip NAKs
// (nothing to send yet: fewer than 62 bytes waiting and the latency timer not run out).
Usb bulk_in(uint8_t* packet, int* length, double t_us);
// The earliest time after t at which bulk_in or bulk_out could answer differently (a byte
// clocked, the latency timer, leaving the bus); a negative value when nothing will change
// without the host.
double next_change_us(double t_us);
bool on_bus(double t_us);

// What the run left, for the tests: the same layout in a 32-bit and a 64-bit build.
struct Report {
  int32_t opened;             // control requests seen at all
  int32_t powered;            // the target has power now
  int32_t lines;              // RTS 1, DTR 2, break 4 as the pins stand now
  int32_t mode;               // bit mode now (0 the UART)
  int32_t output_mask;        // output pins of the bit mode last set
  int32_t divisor;            // baud-rate divisor last set (the register's value)
  int32_t latency_ms;
  int32_t reading;
  int64_t bytes_clocked;      // bit-bang bytes put on the pins
  int64_t rx_stalls;          // times the clock stopped for a full receive FIFO
  int64_t short_phases;       // clock (DTR) phases shorter than 2 us on the pins
  int64_t uart_bytes;         // bytes sent as serial data outside bit-bang mode (onto the target's data line)
  int64_t vectors;
  int64_t malformed_frames, rejected_calls, timing_violations, contention, calls_started;
  // Unsampled time while the chip ran a supervisory call (sim::chip::in_call): stretches in
  // synchronous mode where the clock stood (nothing to clock, or the receive FIFO full) while
  // a call waited for its release or its busy signal was not over. A busy signal that rises
  // and falls within such a stretch is never seen.
  int64_t late_answers;       // the chip's busy signals that rose late, as asked
  int64_t calls_by_function[16];  // supervisory calls started, by function number
  int64_t gaps_in_calls;
  double gap_us_in_calls;
  double longest_gap_in_call_us;
  double shortest_phase_us;   // the shortest clock phase seen (0 when none)
  double now_us;              // the device's time at the last call
  double powered_us;          // when the target was last powered (-1 never)
  uint8_t flash[8192];
  // The last time each line went off (-1 never): the order and pauses of the last power-off.
  double brk_off_us, dtr_off_us, rts_off_us;
};
static_assert(sizeof(Report) % 8 == 0, "no tail padding that differs between builds");
Report report(double t_us);

// Time the pins were not sampled while the chip behind them ran a supervisory call (from the
// busy signal's release to its end): the transmit FIFO had run dry, or the clock stood for a
// full receive FIFO. A busy signal within such a gap is seen by nobody. Counted when the clock
// goes on again, as the cable's simulated counterpart (sim/cable.cpp) counts it.
struct CallGaps {
  long long gaps;
  double us;
  long long round_trips;  // of them, as long as a USB round trip (1 ms) or longer
};
CallGaps call_gaps();

}  // namespace vft232r
