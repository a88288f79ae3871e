// Bits and 22-bit vectors on the adapter's lines.
#include "issp/vectors.h"

#include "platform/platform.h"
#include "serial/port.h"
#include "serial/wire.h"

namespace issp {

Timing timing;

int issp_send_bit(int bit) {
  const int32_t level = bit != 0 ? 1 : 0;
  // The data line is settled before the rising clock edge; switching it only on a change
  // keeps a bit at two serial calls in the common case.
  if (serial::port.break_state != level) {
    if (!wire::set(level ? platform::SETBREAK : platform::CLRBREAK)) return 0;
    serial::port.break_state = level;
  }
  if (!wire::set(platform::SETDTR)) return 0;
  if (wire::delay_us(timing.clock_half_period_us) != 0) return 0;
  if (!wire::set(platform::CLRDTR)) return 0;
  if (wire::delay_us(timing.clock_half_period_us) != 0) return 0;
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

namespace {

// A read vector whose eight data samples may still be on their way (the cable returns them
// with the next flush).
struct PendingRead {
  wire::Sample bits[8];
};

int issp_read_start(uint32_t address, PendingRead* read) {
  if (send_header(address, 1) != 0) return -1;
  for (int i = 7; i >= 0; --i) {
    if (!issp_send_bit(static_cast<int>((address >> i) & 1u))) return -1;
  }
  // Hand the data line to the target whatever the cache says: the turnaround clock must see
  // it released.
  if (!wire::set(platform::CLRBREAK)) return -1;
  serial::port.break_state = 0;
  if (wire::delay_us(timing.release_delay_us) != 0) return -1;
  if (!issp_send_bit(0)) return -1;  // turnaround
  for (int i = 0; i < 8; ++i) {
    // The target shifts its bit out on the clock; it is stable after the falling edge.
    if (!issp_send_bit(0)) return -1;
    if (wire::sample(platform::MS_CTS_ON, &read->bits[i]) < 0) return -1;
  }
  if (!issp_send_bit(0)) return -1;
  if (!issp_send_bit(1)) return -1;  // drive the line high again
  return 0;
}

int read_value(const PendingRead& read) {
  int value = 0;
  for (const wire::Sample& bit : read.bits) value = value * 2 + wire::level(bit);
  return value;
}

}  // namespace

int issp_read(uint32_t address) {
  PendingRead read{};
  if (issp_read_start(address, &read) != 0) return -1;
  if (wire::flush() != 0) return -1;
  return read_value(read);
}

int issp_read_two(uint32_t first, uint32_t second, int* first_value, int* second_value) {
  if (wire::answers_at_once()) {
    *first_value = issp_read(first);
    if (*first_value < 0) return -1;
    *second_value = issp_read(second);
    return *second_value < 0 ? -1 : 0;
  }
  PendingRead reads[2]{};
  if (issp_read_start(first, &reads[0]) != 0 || issp_read_start(second, &reads[1]) != 0) return -1;
  if (wire::flush() != 0) return -1;
  *first_value = read_value(reads[0]);
  *second_value = read_value(reads[1]);
  return 0;
}

int issp_read_compare(uint32_t first, int count, ExpectedByte expected, const void* context,
                      Difference* difference) {
  if (count > max_compared_run) count = max_compared_run;
  const auto differs = [&](int k, int got) {
    const int want = expected(k, context);
    if (got == want) return false;
    *difference = Difference{k, want, got};
    return true;
  };
  if (wire::answers_at_once()) {
    for (int k = 0; k < count; ++k) {
      const int got = issp_read(mem(first + static_cast<uint32_t>(k)));
      if (got < 0) return -1;
      if (differs(k, got)) return 1;
    }
    return 0;
  }
  PendingRead reads[max_compared_run];
  for (int k = 0; k < count; ++k) {
    if (issp_read_start(mem(first + static_cast<uint32_t>(k)), &reads[k]) != 0) return -1;
  }
  if (wire::flush() != 0) return -1;
  for (int k = 0; k < count; ++k) {
    if (differs(k, read_value(reads[k]))) return 1;
  }
  return 0;
}

void reset_vectors() { timing = Timing{0, 0}; }

}  // namespace issp
