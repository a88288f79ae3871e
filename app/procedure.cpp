// The main job: erase, write and verify all 128 blocks, protect, compare checksums.
//
// Every image byte is fetched through image::image_byte at each use; no descrambled copy of
// the firmware is ever held here.
#include "app/procedure.h"

#include <cstdint>

#include "app/endings.h"
#include "image/container.h"
#include "issp/power.h"
#include "issp/srom.h"
#include "issp/vectors.h"
#include "issp/wait_poll.h"
#include "output/error_record.h"
#include "output/keyboard.h"
#include "output/messages.h"
#include "output/progress.h"
#include "platform/cp1251_literal.h"
#include "platform/platform.h"

namespace app {
namespace {

constexpr int block_count = 128;
constexpr int block_size = 64;
constexpr uint32_t buffer_start = 0x80;      // target memory 0x80..0xBF: the block buffer
constexpr uint32_t status_address = 0xF8;    // status byte after a supervisory call
constexpr uint32_t protection_hole = 0x9F;   // the one 0x00 of the protection pattern
constexpr uint32_t success_pause_ms = 2000;
constexpr uint32_t announced_duration_s = 60;  // "takes about a minute", as the start says

// Shares of the run's time behind the progress line's estimate, per block of each pass, as
// measured on the simulated chip at 15 and 200 us per line call (0.40 / 0.078 / 0.035 s and
// 4.7 / 0.96 / 0.39 s): the first pass clocks six buffer sweeps and waits out a flash
// write, the second one sweep and a read, stage 3 two checksum calls.
constexpr uint32_t write_pass_units = 24;
constexpr uint32_t read_pass_units = 5;
constexpr uint32_t checksum_units = 2;
constexpr uint32_t procedure_units = block_count * (write_pass_units + read_pass_units + checksum_units);

// Bases of the no-response codes: a no-response code rc of wait-and-poll in a step ends the
// run with code no_response_stage(base, rc), exit code 100.
constexpr int erase_base = 20;
constexpr int write_base = 30;
constexpr int first_pass_base = 40;
constexpr int second_pass_base = 50;
constexpr int protect_base = 60;

// The record ending. A record that a failing operation left at code 0 (a system call failing
// with error 0) ends with 10 there, like every failure the system gave no number for: 101 is
// kept for a check that failed.
Ending record_ending() { return Ending::record; }

// A failed check leaves the record with the check-failure code and no text of its own, so
// the record ending prints only the blank line after the check's message.
Ending check_failure_record() {
  output::set_error_text("%s", "");
  output::set_error_code(check_failure_code);
  platform::set_last_error(static_cast<uint32_t>(check_failure_code));
  return Ending::record;
}

// The target is switched off before the message (the record survives the power-off).
Ending check_failure(const char* message) {
  issp::target_power_off_keep_error();
  output::show_message("%s", message);
  return check_failure_record();
}

// The same with the block, expected and read bytes of a verify difference.
Ending verify_failure(const char* format, int block, int expected, int got) {
  issp::target_power_off_keep_error();
  output::show_message(format, block, expected, got);
  return check_failure_record();
}

// 0 when all 64 writes of value went through, -1 at the first failing one.
int fill_buffer(uint32_t value) {
  for (int k = 0; k < block_size; ++k) {
    if (issp::issp_write(value, issp::mem(buffer_start + static_cast<uint32_t>(k))) < 0) return -1;
  }
  return 0;
}

// Outcome of reading the block buffer against what it should hold.
enum class Compare { same, differs, line_failure };

using Difference = issp::Difference;

// The buffer, memory 0x80..0xBF ascending, against expected(k); the first difference is the
// one told, and on a COM port nothing is read after it.
Compare compare_buffer(issp::ExpectedByte expected, const void* context, Difference* diff) {
  switch (issp::issp_read_compare(buffer_start, block_size, expected, context, diff)) {
    case 0: return Compare::same;
    case 1: return Compare::differs;
    default: return Compare::line_failure;
  }
}

int image_byte_of_block(int k, const void* block) {
  return image::image_byte(*static_cast<const int*>(block) * block_size + k);
}

// The block buffer against the image bytes of the block.
Compare compare_with_image(int block, Difference* diff) {
  return compare_buffer(image_byte_of_block, &block, diff);
}

int zero_byte(int, const void*) { return 0x00; }

int protection_byte(int k, const void*) {
  return buffer_start + static_cast<uint32_t>(k) == protection_hole ? 0x00 : 0xFF;
}

// The buffer against a pattern: expected(k) gives the byte position k should hold.
Compare compare_with_pattern(issp::ExpectedByte expected) {
  Difference diff{};
  return compare_buffer(expected, nullptr, &diff);
}

// A call that changes the flash: the record ending when it failed, the no-response ending
// with its code from base when the target gave no answer.
Step supervisory_call(int function, int argument, int base) {
  const int rc = issp::srom_call(function, argument);
  if (rc == issp::srom_call_failed) return stop(record_ending());
  if (issp::is_no_response(rc)) return stop(no_response_ending(issp::no_response_stage(base, rc)));
  return go_on;
}

// The status byte of a call that must have succeeded: anything but 0 is the chip's refusal.
Step status_must_be_zero() {
  const int status = issp::issp_read(issp::mem(status_address));
  if (status < 0) return stop(record_ending());
  if (status != 0) {
    return stop(check_failure(RU("\r\n\r\nНеверный ответ от микросхемы, завершаем работу.\r\n")));
  }
  return go_on;
}

Step erase_stage() {
  output::show_message("%s", RU("Стадия 1"));
  const Step call = supervisory_call(issp::srom_function::erase_all, 0, erase_base);
  if (call.done) return call;
  // Only the read has to succeed: the erase status is not judged.
  if (issp::issp_read(issp::mem(status_address)) < 0) return stop(record_ending());
  output::show_message(" - OK\r\n");
  return go_on;
}

Step write_block(int b) {
  const int32_t offset = b * block_size;
  if (fill_buffer(0x00) < 0) return stop(record_ending());
  switch (compare_with_pattern(zero_byte)) {
    case Compare::same: break;
    case Compare::line_failure: return stop(record_ending());
    case Compare::differs:
      return stop(check_failure(RU("\r\n\r\nСвязь потеряна, завершаем работу.\r\n")));
  }
  for (int k = 0; k < block_size; ++k) {
    const int byte = image::image_byte(offset + k);
    if (issp::issp_write(static_cast<uint32_t>(byte) & 0xFFu,
                         issp::mem(buffer_start + static_cast<uint32_t>(k))) < 0) {
      return stop(record_ending());
    }
  }
  Difference diff{};
  switch (compare_with_image(b, &diff)) {
    case Compare::same: break;
    case Compare::line_failure: return stop(record_ending());
    case Compare::differs:
      return stop(check_failure(RU("\r\n\r\nОшибка при обмене данными, завершаем работу.\r\n")));
  }
  const Step call = supervisory_call(issp::srom_function::write_block, b, write_base);
  if (call.done) return call;
  const Step status = status_must_be_zero();
  if (status.done) return status;
  // Cleared so that the read-back below cannot pass on the bytes just loaded.
  if (fill_buffer(0x00) < 0) return stop(record_ending());
  return go_on;
}

// Read block b back into the buffer and compare it with the image; base is first_pass_base
// or second_pass_base.
Step read_back(int b, int base, const char* difference_format) {
  const int r = issp::srom_read_block(b);
  if (r < 0) return stop(record_ending());
  // A status this high cannot be told from a no response; both end the same way.
  if (r >= issp::srom_stage_base) {
    return stop(no_response_ending(issp::no_response_stage(base, issp::read_block_wait_result(r))));
  }
  if (r != 0) {
    return stop(check_failure(RU("\r\n\r\nНеверный ответ от микросхемы, завершаем работу.\r\n")));
  }
  Difference diff{};
  switch (compare_with_image(b, &diff)) {
    case Compare::same: return go_on;
    case Compare::line_failure: return stop(record_ending());
    case Compare::differs: break;
  }
  return stop(verify_failure(difference_format, b, diff.expected, diff.got));
}

Step protect() {
  if (fill_buffer(0xFF) < 0) return stop(record_ending());
  if (issp::issp_write(0x00, issp::mem(protection_hole)) < 0) return stop(record_ending());
  switch (compare_with_pattern(protection_byte)) {
    case Compare::same: break;
    case Compare::line_failure: return stop(record_ending());
    case Compare::differs:
      return stop(check_failure(RU("\r\n\r\nОшибка при обмене, завершаем работу.\r\n")));
  }
  const Step call = supervisory_call(issp::srom_function::protect, 0, protect_base);
  if (call.done) return call;
  // Nothing after protect would notice a protection that did not take, and a run that ends 0
  // promises a protected chip: its status is judged like write block's.
  return status_must_be_zero();
}

void show_progress(const char* label, int b, uint32_t done, uint32_t all) {
  output::progress_update(label, b + 1, block_count, done, all);
}

Step write_stage() {
  output::show_message("%s", RU("Стадия 2"));
  for (int b = 0; b < block_count; ++b) {
    show_progress(RU("запись блока"), b, static_cast<uint32_t>(b) * write_pass_units, procedure_units);
    Step s = write_block(b);
    if (s.done) return s;
    s = read_back(b, first_pass_base,
                  RU("\r\n\r\nОшибка при проверке данных ( %d, 0x%02X - 0x%02X ), "
                     "завершаем работу.\r\n"));
    if (s.done) return s;
  }
  constexpr uint32_t read_pass_start = block_count * write_pass_units;
  for (int b = 0; b < block_count; ++b) {
    show_progress(RU("проверка блока"), b, read_pass_start + static_cast<uint32_t>(b) * read_pass_units,
                  procedure_units);
    const Step s = read_back(b, second_pass_base,
                             RU("\r\n\r\nОшибка при проверке результатов ( %d, 0x%02X - "
                                "0x%02X ), завершаем работу.\r\n"));
    if (s.done) return s;
  }
  const Step s = protect();
  if (s.done) return s;
  output::show_message(" - OK\r\n");
  return go_on;
}

// done_before and all: the units of the whole work before this stage and in all.
Step checksum_stage(uint32_t done_before, uint32_t all) {
  output::show_message("%s", RU("Стадия 3"));
  for (int b = 0; b < block_count; ++b) {
    show_progress(RU("проверка блока"), b, done_before + static_cast<uint32_t>(b) * checksum_units, all);
    uint16_t sum = 0;
    for (int k = 0; k < block_size; ++k) {
      sum = static_cast<uint16_t>(sum + (image::image_byte(b * block_size + k) & 0xFF));
    }
    const int t = issp::srom_block_checksum(b);
    if (t < 0) return stop(record_ending());
    if (t != sum) {
      return stop(check_failure(
          RU("\r\n\r\nОшибка при окончательной проверке результатов, завершаем работу.\r\n")));
    }
  }
  output::show_message(" - OK\r\n");
  return go_on;
}

// The target off, the success message, the pause that lets the operator read it; exit 0.
Ending succeed(const char* message) {
  if (issp::target_power_off(0) != 0) return record_ending();
  output::show_message("%s", message);
  platform::sleep_ms(success_pause_ms);
  set_exit_code(0);
  return Ending::cleanup;
}

}  // namespace

Ending run_programming_procedure() {
  output::show_message("%s", RU("\r\n\r\nНачало работы ( займет около 1 минуты ).\r\n\r\n"));
  output::flush_keyboard();
  output::progress_start(announced_duration_s);

  Step s = erase_stage();
  if (s.done) return s.ending;
  s = write_stage();
  if (s.done) return s.ending;
  s = checksum_stage(block_count * (write_pass_units + read_pass_units), procedure_units);
  if (s.done) return s.ending;
  return succeed(RU("\r\nРабота успешно завершена.\r\n"));
}

Ending run_verify_only() {
  output::show_message("%s", RU("\r\n\r\nПроверка без стирания и записи.\r\n\r\n"));
  output::flush_keyboard();
  output::progress_start(0);

  const Step s = checksum_stage(0, block_count * checksum_units);
  if (s.done) return s.ending;
  return succeed(RU("\r\nПрошивка микросхемы совпадает с образом.\r\n"));
}

}  // namespace app
