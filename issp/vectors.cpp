// Bits and 22-bit vectors on the adapter's lines.
#include "issp/vectors.h"

#include "issp/direct_escape.h"
#include "serial/lines.h"
#include "serial/port.h"
#include "serial/timing.h"

namespace issp {

Timing timing;

namespace {

// A wait of 0 or less is skipped rather than asked of the counter.
inline int wait_us(int32_t us) { return us > 0 ? serial::delay_us(us) : 0; }

}  // namespace

int issp_send_bit(int bit) {
  const int32_t level = bit != 0 ? 1 : 0;
  // The data line is settled before the rising clock edge; switching it only on a change
  // keeps a bit at two serial calls in the common case.
  if (serial::port.break_state != level) {
    if (!serial::switch_line(level ? platform::SETBREAK : platform::CLRBREAK)) return 0;
    serial::port.break_state = level;
  }
  if (!escape_direct(platform::SETDTR)) return 0;
  if (wait_us(timing.clock_half_period_us) != 0) return 0;
  if (!serial::switch_line(platform::CLRDTR)) return 0;
  if (wait_us(timing.clock_half_period_us) != 0) return 0;
  return 1;
}

int issp_send_raw(uint32_t pattern) {
  for (int i = 0; i < 22; ++i) {
    if (!issp_send_bit(static_cast<int>((pattern >> 21) & 1u))) return -1;
    pattern <<= 1;
  }
  return 0;
}

namespace {

// The three bits that open every write and read vector: start, space, direction.
int send_header(uint32_t address, int read) {
  if (!issp_send_bit(1)) return -1;
  if (!issp_send_bit(static_cast<int>((address >> 9) & 1u))) return -1;
  if (!issp_send_bit(read)) return -1;
  return 0;
}

}  // namespace

int issp_write(uint32_t data, uint32_t address) {
  if (send_header(address, 0) != 0) return -1;
  uint32_t word = ((address & 0xFFu) << 8) | (data & 0xFFu);
  for (int i = 0; i < 16; ++i) {
    if (!issp_send_bit(static_cast<int>((word >> 15) & 1u))) return -1;
    word <<= 1;
  }
  for (int i = 0; i < 3; ++i) {
    if (!issp_send_bit(1)) return -1;
  }
  return 0;
}

int issp_read(uint32_t address) {
  if (send_header(address, 1) != 0) return -1;
  for (int i = 7; i >= 0; --i) {
    if (!issp_send_bit(static_cast<int>((address >> i) & 1u))) return -1;
  }
  // Hand the data line to the target whatever the cache says: the turnaround clock must see
  // it released.
  if (!escape_direct(platform::CLRBREAK)) return -1;
  serial::port.break_state = 0;
  if (wait_us(timing.release_delay_us) != 0) return -1;
  if (!issp_send_bit(0)) return -1;  // turnaround
  int value = 0;
  for (int i = 0; i < 8; ++i) {
    // The target shifts its bit out on the clock; it is stable after the falling edge.
    if (!issp_send_bit(0)) return -1;
    const int sample = serial::read_modem_line(platform::MS_CTS_ON);
    if (sample < 0) return -1;
    value = value * 2 + sample;
  }
  if (!issp_send_bit(0)) return -1;
  if (!issp_send_bit(1)) return -1;  // drive the line high again
  return value;
}

void reset_vectors() { timing = Timing{0, 0}; }

}  // namespace issp
