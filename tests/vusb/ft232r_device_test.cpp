// The virtual FT232R's datasheet facts, at the USB level: the divisor's byte rate under each
// reading, the stall of a full receive FIFO, 62 data bytes and 2 status bytes a packet, the
// latency timer's short packets, the latch across a mode switch, serial data outside a bit mode.
#include <gtest/gtest.h>

#include <vector>

#include "sim/vft232r/ft232r_device.h"

namespace {

using vft232r::Usb;

constexpr uint8_t out_type = 0x40, in_type = 0xC0;
constexpr uint8_t idle = 0x15;  // TXD, RTS#, DTR# high: every line off

Usb request(uint8_t request, uint16_t value, uint16_t index, double t) {
  int n = 0;
  return vft232r::control(out_type, request, value, index, nullptr, 0, &n, t);
}
void bitmode(uint8_t mode, uint8_t mask, double t) { ASSERT_EQ(request(0x0B, static_cast<uint16_t>(mode << 8 | mask), 1, t), Usb::ok); }
uint8_t pins(double t) {
  uint8_t b = 0;
  int n = 0;
  EXPECT_EQ(vft232r::control(in_type, 0x0C, 0, 1, &b, 1, &n, t), Usb::ok);
  EXPECT_EQ(n, 1);
  return b;
}
int put(const std::vector<uint8_t>& bytes, double t) {
  int taken = 0;
  EXPECT_EQ(vft232r::bulk_out(bytes.data(), static_cast<int>(bytes.size()), &taken, t), Usb::ok);
  return taken;
}
std::vector<uint8_t> packet(double t) {
  uint8_t p[64];
  int n = 0;
  EXPECT_EQ(vft232r::bulk_in(p, &n, t), Usb::ok);
  return std::vector<uint8_t>(p, p + n);
}

// Nothing on the plug: the inputs stand still (CTS#, DSR#, RXD, DCD#, RI# high).
vft232r::Options bare(vft232r::Reading reading = vft232r::Reading::fastest) {
  vft232r::Options o;
  o.reading = reading;
  o.attached = false;
  return o;
}

// Synchronous mode at divisor 96 (31 250 Bd) from t = 0, the latch idle (written in
// asynchronous mode with no pin driven), the receive FIFO emptied.
void sync_at_96(const vft232r::Options& options) {
  vft232r::reset(options);
  ASSERT_EQ(request(0x03, 96, 0, 0), Usb::ok);
  bitmode(0x01, 0x00, 0);
  ASSERT_EQ(put({idle}, 0), 1);
  bitmode(0x04, idle, 0);
  ASSERT_EQ(request(0x00, 2, 1, 0), Usb::ok);
}

// The byte rate is the divisor's under the reading: 16 x baud (AN232R-01) or baud / 4 (libftdi).
// Register values as libftdi encodes them: 14-bit integer, eighths in wValue's top bits and
// wIndex bit 0; 0 and 1 are 3 and 2 MBd.
TEST(VirtualFt232r, ByteRateFollowsTheDivisorUnderEachReading) {
  const struct { uint16_t value, index; vft232r::Reading reading; double period_us; } cases[] = {
      {96, 0, vft232r::Reading::fastest, 2.0},
      {96, 0, vft232r::Reading::slowest, 128.0},
      {6, 0, vft232r::Reading::fastest, 0.125},
      {0x4138, 0, vft232r::Reading::slowest, 416.6667},  // 312.5: 9600 Bd, the power-on rate
      {0, 0, vft232r::Reading::fastest, 1.0 / 48},
      {1, 0, vft232r::Reading::slowest, 2.0},
      {0x0060 | 0xC000, 1, vft232r::Reading::fastest, 96.875 / 48},  // 96 + 7/8
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    vft232r::reset(bare(c.reading));
    ASSERT_EQ(request(0x03, c.value, c.index, 0), Usb::ok);
    bitmode(0x04, idle, 0);
    ASSERT_EQ(put(std::vector<uint8_t>(64, idle), 0), 64);
    // Byte k is clocked at k periods: 10 bytes by 9.5 periods, not 11.
    EXPECT_EQ(vft232r::report(9.5 * c.period_us).bytes_clocked, 10);
    EXPECT_EQ(vft232r::report(10.01 * c.period_us).bytes_clocked, 11);
  }
  vft232r::reset(bare());
  EXPECT_EQ(vft232r::report(0).divisor, 0x4138) << "9600 Bd until set";
}

// A full receive FIFO (256 samples) stops the clock; reading resumes it; nothing is lost or
// reordered. Each sample is the pins just before its byte: the previous byte's outputs.
TEST(VirtualFt232r, FullReceiveFifoStallsTheClockAndDropsNothing) {
  sync_at_96(bare());
  std::vector<uint8_t> sent;
  std::vector<uint8_t> received;
  double t = 0;
  for (int i = 0; i < 400; ++i) sent.push_back(static_cast<uint8_t>(i % 2 == 0 ? idle : 0x05));
  size_t queued = 0;
  // Fill without reading: 256 bytes clocked, then the clock stands.
  while (queued < sent.size() && t < 5000) {
    queued += static_cast<size_t>(put(std::vector<uint8_t>(sent.begin() + static_cast<long>(queued),
                                                           sent.begin() + static_cast<long>(std::min(queued + 64, sent.size()))), t));
    t += 100;
  }
  vft232r::Report r = vft232r::report(t);
  EXPECT_EQ(r.bytes_clocked, 1 + 256) << "the latch byte, then a FIFO of samples";
  EXPECT_EQ(r.rx_stalls, 1);
  EXPECT_LT(vft232r::next_change_us(t), 0) << "nothing changes until the host reads";
  while (received.size() < sent.size() && t < 100000) {
    const std::vector<uint8_t> p = packet(t);
    if (!p.empty()) received.insert(received.end(), p.begin() + 2, p.end());
    if (queued < sent.size()) {
      queued += static_cast<size_t>(put(std::vector<uint8_t>(sent.begin() + static_cast<long>(queued),
                                                             sent.begin() + static_cast<long>(std::min(queued + 64, sent.size()))), t));
    }
    t += 50;
  }
  ASSERT_EQ(received.size(), sent.size());
  EXPECT_EQ(received[0], 0xEA | idle) << "the pins as the mode switch left them";
  for (size_t i = 1; i < sent.size(); ++i) ASSERT_EQ(received[i], 0xEA | sent[i - 1]) << i;
}

// IN packets: 2 status bytes, then up to 62 data bytes; a full one as soon as 62 wait, a short
// one (status only when nothing waits) when the latency timer runs out, NAK before.
TEST(VirtualFt232r, PacketsAndTheLatencyTimer) {
  const struct { int latency_ms; int bytes; double at_us; int expected_length; } cases[] = {
      {16, 100, 15000, 64},    // 62 of 100 waiting: a full packet before the timer
      {16, 10, 15000, 0},      // 10 waiting, 16 ms not yet out: NAK
      {16, 10, 16000, 12},     // the timer: 10 data bytes
      {1, 0, 1000, 2},         // nothing waiting, 1 ms timer: status bytes only
      {1, 0, 999, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.latency_ms) + " ms, " + std::to_string(c.bytes) + " bytes");
    sync_at_96(bare());
    ASSERT_EQ(request(0x09, static_cast<uint16_t>(c.latency_ms), 1, 0), Usb::ok);
    if (c.bytes > 0) {
      ASSERT_EQ(put(std::vector<uint8_t>(static_cast<size_t>(c.bytes), idle), 0), c.bytes);
    }
    const std::vector<uint8_t> p = packet(c.at_us);
    ASSERT_EQ(static_cast<int>(p.size()), c.expected_length);
    if (!p.empty()) {
      EXPECT_EQ(p[0] & 0xF0, 0) << "no modem input asserted with nothing on the plug";
      EXPECT_EQ(p[0] & 0x01, 0x01);
    }
  }
  vft232r::reset(bare());
  EXPECT_EQ(request(0x09, 0, 1, 0), Usb::stall) << "latency 0 is refused";
  EXPECT_EQ(vft232r::report(0).latency_ms, 16);
}

// The latch written in asynchronous mode with every pin an input survives the switch to
// synchronous mode; with latch_lost it comes up zero: RTS, DTR and the break asserted, the
// target powered. Outside a bit mode the UART owns the pins and written bytes are serial data.
TEST(VirtualFt232r, LatchAcrossTheModeSwitchAndTheUart) {
  for (const bool lost : {false, true}) {
    SCOPED_TRACE(lost ? "latch lost" : "latch kept");
    vft232r::Options o;
    o.latch_lost = lost;
    vft232r::reset(o);
    ASSERT_EQ(request(0x03, 96, 0, 0), Usb::ok);
    EXPECT_EQ(pins(0) & idle, idle) << "the UART idles: TXD mark, RTS# and DTR# high";
    bitmode(0x01, 0x00, 0);
    ASSERT_EQ(put({idle}, 0), 1);
    EXPECT_EQ(pins(10) & idle, idle) << "no pin driven with mask 0";
    bitmode(0x04, idle, 2000);
    EXPECT_EQ(pins(2001) & idle, lost ? 0 : idle);
    const vft232r::Report r = vft232r::report(2002);
    EXPECT_EQ(r.lines, lost ? 7 : 0);
    EXPECT_EQ(r.powered, lost ? 1 : 0);
    // Close: the UART takes the pins back, RTS and DTR off.
    bitmode(0x00, idle, 3000);
    ASSERT_EQ(request(0x01, 0x0300, 1, 3000), Usb::ok);
    EXPECT_EQ(vft232r::report(3001).lines, 0);
    EXPECT_EQ(vft232r::report(3001).mode, 0);
    ASSERT_EQ(put({0x00, 0x10}, 3001), 2);
    const vft232r::Report after = vft232r::report(4000);
    EXPECT_EQ(after.uart_bytes, 2);
    EXPECT_EQ(after.bytes_clocked, 1);
  }
}

// DTR phases under 2 us are counted on the pins; unplugging ends every call with no_device
// and takes the target's supply away.
TEST(VirtualFt232r, ShortClockPhasesAndUnplugging) {
  const struct { uint16_t divisor; long long short_phases; } cases[] = {{96, 0}, {6, 63}};
  for (const auto& c : cases) {
    vft232r::Options o = bare();
    o.unplug_at_us = 50000;
    vft232r::reset(o);
    ASSERT_EQ(request(0x03, c.divisor, 0, 0), Usb::ok);
    bitmode(0x04, idle, 0);
    std::vector<uint8_t> toggling;
    for (int i = 0; i < 64; ++i) toggling.push_back(i % 2 == 0 ? 0x05 : idle);  // DTR# low, high, ...
    ASSERT_EQ(put(toggling, 0), 64);
    const vft232r::Report r = vft232r::report(1000);
    EXPECT_EQ(r.short_phases, c.short_phases) << c.divisor;
    EXPECT_EQ(r.shortest_phase_us, c.divisor == 96 ? 2.0 : 0.125);
    EXPECT_TRUE(vft232r::on_bus(49999));
    int n = 0;
    EXPECT_EQ(vft232r::bulk_out(toggling.data(), 1, &n, 50000), Usb::no_device);
    EXPECT_EQ(request(0x0B, 0, 1, 50001), Usb::no_device);
    EXPECT_FALSE(vft232r::on_bus(50002));
  }
}

}  // namespace
