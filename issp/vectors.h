// ISSP bits and 22-bit vectors on the adapter's lines: DTR is the clock, TxD break the data
// the host drives, CTS the data line as the target sees it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace issp {

struct Timing {
  int32_t clock_half_period_us;  // 0 at start, 2 once acquisition has begun
  int32_t release_delay_us;      // 0 at start, 2 once acquisition has begun
};
extern Timing timing;

// Target addresses: bit 9 selects the register space, bits 7..0 go on the wire.
constexpr uint32_t reg(uint32_t address) { return 0x200u | (address & 0xFFu); }
constexpr uint32_t mem(uint32_t address) { return address & 0xFFu; }

int issp_send_bit(int bit);                           // 1 ok, 0 failure
int issp_send_raw(uint32_t pattern);                  // 0 ok, -1 failure
int issp_write(uint32_t data, uint32_t address);      // 0 ok, -1 failure
int issp_read(uint32_t address);                      // 0..255, -1 failure
// Two bytes, first then second: 0 with both values, -1 failure. On a stream both reads share
// one round trip.
int issp_read_two(uint32_t first, uint32_t second, int* first_value, int* second_value);

// Reads count bytes of target memory from first upwards and compares each with
// expected(position, context), stopping at the first difference. Where every sample answers at
// once (a COM port) each byte is compared as soon as it is read, so a difference stops the
// wire at once; on the cable a run's reads share one round trip and are compared afterwards.
// 0 all equal; 1 a difference, *position, *expected_byte and *got filled; -1 a line failure
// (record filled).
struct Difference {
  int position;
  int expected;
  int got;
};
using ExpectedByte = int (*)(int position, const void* context);
constexpr int max_compared_run = 64;
int issp_read_compare(uint32_t first, int count, ExpectedByte expected, const void* context,
                      Difference* difference);

// One write vector of a fixed sequence (a supervisory call's parameters).
struct WriteStep {
  uint32_t address;
  uint8_t data;
};

// The steps in order; -1 at the first failing write, else 0.
template <std::size_t N>
int send_writes(const WriteStep (&steps)[N]) {
  for (const WriteStep& step : steps) {
    if (issp_write(step.data, step.address) != 0) return -1;
  }
  return 0;
}

void reset_vectors();

}  // namespace issp
