#include "app/endings.h"

#include "issp/power.h"
#include "output/error_record.h"
#include "output/keyboard.h"
#include "output/messages.h"
#include "output/progress.h"
#include "platform/cp1251_literal.h"
#include "platform/platform.h"
#include "serial/port.h"

namespace app {

RunState run_state = {0, nullptr};

namespace {

int32_t final_cleanup() {
  output::show_message("\r\n");
  serial::close_port();  // a failure here only fills the record
  output::log_close();
  if (run_state.data_file != nullptr) {
    std::fclose(run_state.data_file);
    run_state.data_file = nullptr;
  }
  output::flush_keyboard();
  return run_state.exit_code;
}

int32_t failure_shutdown() {
  issp::target_power_off_keep_error();
  output::progress_erase();
  platform::console_write("\a", 1);
  platform::sleep_ms(2000);
  return final_cleanup();
}

}  // namespace

int32_t finish(Ending how) {
  switch (how) {
    case Ending::record:
      if (output::error_code() != 0) {
        run_state.exit_code = output::error_code();
        output::show_message("\r\n\r\n%s", output::error_text());
      } else {
        // A failure that left no code must not leave as success.
        run_state.exit_code = static_cast<int32_t>(platform::err::bad_environment);
        if (output::error_text()[0] != '\0') {
          output::show_message("\r\n\r\n%s", output::error_text());
        } else {
          output::show_message(RU("\r\nНепонятная ошибка ( код %lu ).\r\n"),
                               static_cast<unsigned long>(run_state.exit_code));
        }
      }
      return failure_shutdown();
    case Ending::shutdown:
      return failure_shutdown();
    case Ending::cleanup:
      break;
  }
  return final_cleanup();
}

Ending no_response_ending(int code) {
  set_exit_code(100);
  output::show_message(RU("\r\n\r\nНет ответа от микросхемы ( код %d ).\r\n"), code);
  return Ending::shutdown;
}

void reset_run_state() {
  if (run_state.data_file != nullptr) std::fclose(run_state.data_file);
  run_state = RunState{0, nullptr};
}

}  // namespace app
