// The FT232R's bit-bang pins as the adapter's lines, and the byte stream that drives them
// (serial/wire_ft232r.cpp, reached as wire::ft232r).
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace ft232r {

// Pins D0..D7 are the chip's own side of the cable's RS-232 transceiver, which inverts every
// line: an asserted RS-232 line (RTS on, DTR on, TxD in the break's space state, CTS or DSR
// on) is a low pin.
constexpr uint8_t pin_txd = 0x01;  // D0
constexpr uint8_t pin_rts = 0x04;  // D2, RTS#
constexpr uint8_t pin_cts = 0x08;  // D3, CTS#
constexpr uint8_t pin_dtr = 0x10;  // D4, DTR#
constexpr uint8_t pin_dsr = 0x20;  // D5, DSR#
constexpr uint8_t output_pins = pin_txd | pin_rts | pin_dtr;
// Target unpowered, clock low, data released: every output deasserted, its pin high.
constexpr uint8_t idle_pins = output_pins;

struct OutputPin {
  uint32_t function;  // the line function of the COM port's driver
  uint8_t pin;
  bool asserted;
};
constexpr OutputPin output_table[] = {
    {platform::SETRTS, pin_rts, true},    {platform::CLRRTS, pin_rts, false},
    {platform::SETDTR, pin_dtr, true},    {platform::CLRDTR, pin_dtr, false},
    {platform::SETBREAK, pin_txd, true},  {platform::CLRBREAK, pin_txd, false},
};
struct InputPin {
  uint8_t pin;
  uint32_t status_bit;  // its bit in the modem status
};
constexpr InputPin input_pins[] = {{pin_cts, platform::MS_CTS_ON}, {pin_dsr, platform::MS_DSR_ON}};

constexpr bool asserted_level(uint8_t pins, uint8_t pin) { return (pins & pin) == 0; }
constexpr uint8_t pins_with(uint8_t pins, const OutputPin& line) {
  return line.asserted ? static_cast<uint8_t>(pins & ~line.pin) : static_cast<uint8_t>(pins | line.pin);
}
constexpr const OutputPin* output_pin(uint32_t function) {
  for (const OutputPin& line : output_table) {
    if (line.function == function) return &line;
  }
  return nullptr;
}

// The bit-bang clock runs from the baud-rate divisor, and the sources disagree on how fast:
//   FTDI's AN232R-01 (bit-bang modes of the FT232R): bytes at 16 times the baud rate;
//   OpenOCD's ft232r driver: one byte per baud period;
//   libftdi1 (ftdi.c, ftdi_set_baudrate): "bitbang baudrates are automatically multiplied by
//   4", its maintainers having measured a quarter of the baud rate in asynchronous mode (and
//   less, varying, in synchronous mode).
// So one divisor for both back ends, and the stream safe at both ends. Every wait is counted in
// bytes at the fastest reading: 1 000 000 bytes/s, a byte at least 1 us, so the ISSP clock's
// 2 us half period is two bytes and no phase or wait is ever shorter than prescribed. Every
// deadline allows for the slowest reading, 15 625 bytes/s: a sample every 64 us, which still
// lands inside the shortest busy signal the simulated chip gives (a one-block checksum, 112 us;
// a real chip's is for a scope to confirm); divisor 96 would sample every 128 us and miss it. Between the readings lies
// a factor of 64 in the run's time; a scope on a real cable settles which holds (README, The
// USB-RS232 cable).
constexpr uint32_t divisor_base_hz = 3000000;
constexpr uint32_t baud = 62500;
constexpr uint32_t divisor = divisor_base_hz / baud;
static_assert(divisor_base_hz % baud == 0, "a whole divisor: no fraction for the chip to dither");
constexpr uint32_t fastest_byte_rate = 16 * baud;  // AN232R-01
constexpr uint32_t slowest_byte_rate = baud / 4;   // libftdi1's measurement
constexpr uint32_t byte_rate = fastest_byte_rate;  // what the stream counts its waits in
constexpr int32_t byte_period_us = static_cast<int32_t>(1000000 / byte_rate);
static_assert(1000000 % byte_rate == 0, "a byte lasts whole microseconds");
// The busy signal of a one-block checksum as sim/model times it (100 us and 12 us a block): at
// least one sample must fall inside it at the slowest reading.
constexpr int32_t shortest_busy_us = 112;
static_assert(1000000 / slowest_byte_rate < shortest_busy_us, "the slowest reading samples every busy signal");
// Waits this long or longer are timed on the counter after the stream went out: the pins hold
// their levels between transfers, and the USB carries no idle bytes.
constexpr int32_t long_wait_us = 1000;

// How far a watch writes ahead of the last read-back: at least the round trip from a sample
// to the host, so that the chip still has bytes to clock (and samples on) when the host sees
// it. The simulated cable's round trip is 1 ms (USB full speed's frame, the latency timer at
// 1 ms); a real cable's is for a measurement to confirm (README, The USB-RS232 cable). Every
// decision in a watch costs about this much.
constexpr int64_t read_ahead_bytes = 1152;

struct Counters {
  long long transfers;     // USB transfers
  long long bytes;         // bytes written, as many read back
  long long samples;       // samples asked for outside the watches
  long long decisions;     // switches made after waiting for read-backs: round trips on the pins
  long long watches;       // of them, after a wait-and-poll's watch
};
const Counters& counters();
void reset_counters();

// An empty stream whose pins stand at `pins`, no failure, no watch.
void reset_stream(uint8_t pins);
// The whole stream as at program start: empty, idle pins, no failure, counters at 0.
void reset_ft232r();

}  // namespace ft232r
