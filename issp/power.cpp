// Switching the target's power off with every line idle, and the record for a silent target.
#include "issp/power.h"

#include "output/error_record.h"
#include "platform/cp1251_literal.h"
#include "platform/platform.h"
#include "serial/port.h"
#include "serial/wire.h"

namespace issp {

namespace {

constexpr int32_t no_response_code = 10;

}  // namespace

int target_power_off(int keep_going) {
  // Data released first, then the clock low, then power: the target never sees a clock or a
  // driven data line while its supply collapses. The sleeps let the supply discharge.
  constexpr uint32_t steps[3] = {platform::CLRBREAK, platform::CLRDTR, platform::CLRRTS};
  constexpr uint32_t pauses_ms[3] = {2, 500, 1000};
  int failed = 0;
  for (int i = 0; i < 3; ++i) {
    if (wire::set_quiet(steps[i])) {
      // A later success must not hide an earlier failure: a result of 1 always comes with
      // the failed switch's error in the record.
      if (!failed) output::clear_error();
    } else if (!failed) {
      output::set_port_error(platform::last_error());
      if (!keep_going) return -1;
      failed = 1;
    }
    if (i == 0) serial::port.break_state = 0;
    wire::sleep_ms(pauses_ms[i]);
  }
  return failed;
}

void target_power_off_keep_error() {
  output::save_error();
  target_power_off(1);
  output::restore_error();
}

void report_no_response(int stage) {
  output::set_error_text(RU("Нет ответа от микросхемы ( стадия %d )."), stage);
  output::set_error_code(no_response_code);
  platform::set_last_error(no_response_code);
}

int power_off_after_no_response(int stage) {
  if (target_power_off(0) != 0) return -1;
  report_no_response(stage);
  return 0;
}

}  // namespace issp
