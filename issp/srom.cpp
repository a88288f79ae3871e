// Supervisory calls into the target's ROM: parameters into fixed addresses, the start write,
// the wait, and the read-side calls built on them.
#include "issp/srom.h"

#include <cstddef>

#include "issp/power.h"
#include "issp/vectors.h"
#include "issp/wait_poll.h"
#include "output/error_record.h"
#include "platform/cp1251_literal.h"
#include "platform/platform.h"

namespace issp {

namespace {

// Written before every call; register 0xF0 (the function) and the start follow.
constexpr WriteStep common_writes[] = {
    {reg(0xF7), 0x00}, {reg(0xF6), 0x00}, {mem(0xF8), 0x3A}, {mem(0xF9), 0x03},
    {reg(0xF5), 0x00}, {reg(0xF4), 0x03}, {mem(0xFB), 0x80}, {reg(0xF9), 0x30},
    {reg(0xFA), 0x40},
};

// The two keys the chip wants before it lets a call change the flash.
constexpr WriteStep flash_key_writes[] = {{mem(0xFC), 0x15}, {mem(0xFE), 0x56}};
constexpr WriteStep table_select_writes[] = {{reg(0xF7), 0x10}, {reg(0xE0), 0x02}};

constexpr int block_field_mask = 0x7F;  // read block and checksum keep 7 bits
constexpr int largest_block_sum = 64 * 255;
constexpr int32_t wrong_block_sum_code = 126;

// 0 when every write went through, -1 at the first failing one.
int prefix_writes(int function, int argument) {
  switch (function) {
    case srom_function::read_block:
    case srom_function::checksum:
      return issp_write(static_cast<uint32_t>(argument & block_field_mask), mem(0xFA));
    case srom_function::write_block:
      if (issp_write(static_cast<uint32_t>(argument), mem(0xFA)) != 0) return -1;
      return send_writes(flash_key_writes);
    case srom_function::protect:
    case srom_function::erase_all:
      return send_writes(flash_key_writes);
    case srom_function::table_read:
      return send_writes(table_select_writes);
    case srom_function::calibrate:
      return 0;
    default:
      // Only the functions above are ever issued; anything else would be a caller's slip and
      // must not reach the chip.
      output::set_error_text(RU("Неверный номер функции микросхемы ( %d )."), function);
      output::set_error_code(static_cast<int32_t>(platform::err::invalid_parameter));
      platform::set_last_error(platform::err::invalid_parameter);
      return -1;
  }
}

// A target that gave no answer: off, then the no-response record; the stage, or
// srom_other_failure when the power-off failed.
int no_response_exit(int rc) {
  const int stage = no_response_stage(srom_stage_base, rc);
  if (power_off_after_no_response(stage) != 0) return srom_other_failure;
  return stage;
}

}  // namespace

int srom_call(int function, int argument) {
  if (prefix_writes(function, argument) != 0) return srom_call_failed;
  if (send_writes(common_writes) != 0) return srom_call_failed;
  if (function == srom_function::table_read &&
      issp_write(static_cast<uint32_t>(argument), mem(0xFA)) != 0) {
    return srom_call_failed;
  }
  if (issp_write(static_cast<uint32_t>(function), reg(0xF0)) != 0) return srom_call_failed;
  if (issp_write(0x00, reg(0xF8)) != 0) return srom_call_failed;
  if (issp_write(0x12, reg(0xFF)) != 0) return srom_call_failed;
  return issp_wait_and_poll();
}

int srom_read_block(int block) {
  const int rc = srom_call(srom_function::read_block, block & block_field_mask);
  if (rc == wait_done) {
    const int status = issp_read(mem(0xF8));
    if (status >= 0) return status;
  } else if (is_no_response(rc)) {
    return no_response_exit(rc);
  }
  target_power_off_keep_error();
  return srom_other_failure;
}

int srom_checksum(int count) {
  const int rc = srom_call(srom_function::checksum, count & block_field_mask);
  if (rc == wait_done) {
    int low = 0, high = 0;
    if (issp_read_two(mem(0xF8), mem(0xF9), &low, &high) == 0) return low + 256 * high;
  } else if (is_no_response(rc)) {
    // Negated, so that no checksum can be taken for a stage.
    const int stage = no_response_exit(rc);
    return stage == srom_other_failure ? stage : -stage;
  }
  target_power_off_keep_error();
  return srom_other_failure;
}

int srom_block_checksum(int block) {
  const int b = block & block_field_mask;
  // Count b + 1 = 128 goes out as 0, which the chip answers with the whole flash's sum.
  const int upper = srom_checksum(b + 1);
  if (upper < 0) return upper;
  int lower = 0;
  if (b > 0) {
    lower = srom_checksum(b);
    if (lower < 0) return lower;
  }
  const int difference = (upper - lower) & 0xFFFF;
  if (difference <= largest_block_sum) return difference;
  output::set_error_text(RU("Получено неверное значение контрольной суммы блока ( 0x%04X )."),
                         static_cast<unsigned>(difference));
  output::set_error_code(wrong_block_sum_code);
  platform::set_last_error(wrong_block_sum_code);
  return srom_wrong_block_sum;
}

}  // namespace issp
