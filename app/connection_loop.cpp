// Acquiring the target with start delays shrinking from 17000 us, then its identity.
#include "app/connection_loop.h"

#include <cstdint>

#include "issp/acquire.h"
#include "issp/power.h"
#include "output/messages.h"
#include "platform/cp1251_literal.h"
#include "serial/port.h"
#include "serial/wire.h"

namespace app {

namespace {

constexpr int32_t first_start_delay_us = 17000;
constexpr int32_t last_start_delay_us = 4000;
constexpr int32_t start_delay_step_us = 500;

int print_identity() {
  output::show_message("%s", RU(" - ответ получен.\r\n"));
  // Acquisition leaves the data line driven high; hand it back before anything else.
  if (!wire::set(platform::CLRBREAK)) return 0;
  serial::port.break_state = 0;
  output::show_message("%s", RU("\r\nДанные идентификации микросхемы:\r\n"));
  output::show_message(RU("  SiliconID:  0x%04X\r\n"),
                       static_cast<unsigned>(issp::chip_identity.SiliconID));
  output::show_message(RU("  RevisionID: 0x%04X\r\n"),
                       static_cast<unsigned>(issp::chip_identity.RevisionID));
  // One blank line: the firmware line follows it, then a blank line and the prompt, as the
  // other messages are spaced (a wrong chip's message brings its own line end).
  output::show_message("\r\n");
  return 1;
}

}  // namespace

int run_connection_loop() {
  output::show_message("%s", RU("\r\nНачало работы.\r\n"));
  int32_t start_delay = first_start_delay_us;
  for (;;) {
    output::show_message(RU("\r\nНачальная задержка %d мкс"), static_cast<int>(start_delay));
    const int r = issp::issp_acquire(start_delay);
    if (r >= 0) return print_identity();
    if (issp::gave_up(r)) return 0;
    output::show_message(RU(" - нет ответа от микросхемы ( код %d )."), -r);
    // Only a missed power-on window is worth another try, with a shorter start delay; every
    // other answer is final.
    if (r == issp::acquire_window_missed) {
      start_delay -= start_delay_step_us;
      if (start_delay >= last_start_delay_us) continue;
      issp::target_power_off_keep_error();
      output::show_message("%s", RU("\r\n\r\nСвязь не установлена, завершаем работу.\r\n"));
      return 0;
    }
    issp::target_power_off_keep_error();
    return 0;
  }
}

}  // namespace app
