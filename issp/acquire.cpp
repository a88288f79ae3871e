// Power cycle, ISSP initialisation, calibrate and table read, then the chip's identity.
#include "issp/acquire.h"

#include <cstddef>

#include "issp/power.h"
#include "issp/vectors.h"
#include "issp/wait_poll.h"
#include "serial/port.h"
#include "serial/timing.h"
#include "serial/wire.h"

namespace issp {

ChipIdentity chip_identity;

namespace {

// The two supervisory calls of acquisition, in their exact wire order. Register 0xFF = 0x12,
// always last, starts the call.
constexpr WriteStep calibrate_writes[] = {
    {reg(0xF7), 0x00}, {reg(0xF6), 0x00}, {mem(0xF8), 0x3A}, {mem(0xF9), 0x03},
    {reg(0xF5), 0x00}, {reg(0xF4), 0x03}, {mem(0xFB), 0x80}, {reg(0xF9), 0x30},
    {reg(0xFA), 0x40}, {reg(0xF0), 0x09}, {reg(0xF8), 0x00}, {reg(0xFF), 0x12},
};
constexpr WriteStep table_read_writes[] = {
    {reg(0xF7), 0x10}, {reg(0xE0), 0x02}, {reg(0xF7), 0x00}, {reg(0xF6), 0x00},
    {mem(0xF8), 0x3A}, {mem(0xF9), 0x03}, {reg(0xF5), 0x00}, {reg(0xF4), 0x03},
    {mem(0xFB), 0x80}, {reg(0xF9), 0x30}, {reg(0xFA), 0x40}, {mem(0xFA), 0x00},
    {reg(0xF0), 0x06}, {reg(0xF8), 0x00}, {reg(0xFF), 0x12},
};

constexpr uint32_t init_vector = 0x328000;
constexpr int32_t default_start_delay_us = 8000;

int give_up() {
  target_power_off_keep_error();
  return acquire_gave_up;
}

// The target is powered off before the no-response record is filled, so the record survives.
int stage_exit(int stage) {
  if (power_off_after_no_response(stage) != 0) return acquire_gave_up;
  return -stage;
}

// 0 when the call finished, wait_failed to give up, else the stage number of a no-response.
template <std::size_t N>
int supervisory_call(const WriteStep (&steps)[N], int stage_base) {
  if (send_writes(steps) != 0) return wait_failed;
  const int r = issp_wait_and_poll();
  if (!is_no_response(r)) return r;
  return no_response_stage(stage_base, r);
}

// A 16-bit value from two read vectors, low byte first; -1 when either read failed.
int read_pair(uint32_t low_address, uint32_t high_address) {
  const int low = issp_read(low_address);
  if (low < 0) return -1;
  const int high = issp_read(high_address);
  if (high < 0) return -1;
  return low + 256 * high;
}

}  // namespace

int issp_acquire(int32_t start_delay_us) {
  serial::port.sample_delay_ms = 0;
  timing.clock_half_period_us = 2;
  timing.release_delay_us = 2;
  chip_identity.SiliconID = 0;
  chip_identity.RevisionID = 0;

  if (target_power_off(0) != 0) return acquire_gave_up;
  if (!wire::set(platform::SETRTS)) return give_up();

  // The chip accepts the initialisation vectors only within a window after power-on; the
  // start delay places the attempt inside it. Busy-waited, so no Sleep until the identity.
  const int32_t delay = start_delay_us < 0 ? default_start_delay_us : start_delay_us;
  if (wire::delay_us(delay) != 0) return give_up();

  const int32_t low = serial::wait_cts_low();
  if (low < 0) return give_up();
  if (low == 0) return stage_exit(stage_not_low_after_power_on);

  if (wire::delay_us(timing.release_delay_us) != 0) return give_up();
  if (!issp_send_bit(0)) return give_up();
  if (issp_send_raw(init_vector) != 0) return give_up();
  for (int i = 0; i < 5; ++i) {
    if (issp_send_raw(0) != 0) return give_up();
  }

  int r = supervisory_call(calibrate_writes, calibrate_stage_base);
  if (r < 0) return give_up();
  if (r > 0) return stage_exit(r);
  r = supervisory_call(table_read_writes, table_read_stage_base);
  if (r < 0) return give_up();
  if (r > 0) return stage_exit(r);

  const int silicon = read_pair(mem(0xF8), mem(0xF9));
  if (silicon < 0) return give_up();
  chip_identity.SiliconID = silicon;
  const int revision = read_pair(reg(0xF0), reg(0xF3));
  if (revision < 0) return give_up();
  chip_identity.RevisionID = revision;
  return chip_identity.SiliconID;
}

void reset_acquire() { chip_identity = ChipIdentity{0, 0}; }

}  // namespace issp
