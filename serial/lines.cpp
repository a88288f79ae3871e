// The adapter's modem lines: one output switched per call, inputs sampled on demand, and the
// CTS change notification.
#include "serial/lines.h"

#include "output/error_record.h"
#include "platform/cp1251_literal.h"
#include "platform/platform.h"
#include "serial/port.h"

namespace serial {

int switch_line(uint32_t function) {
  if (!platform::serial_escape(port.port_handle, function)) {
    output::set_port_error(platform::last_error());
    return 0;
  }
  output::clear_error();
  return 1;
}

int read_modem_line(uint32_t mask) {
  // The adapter's echo needs a moment to settle outside the ISSP engine's fast sampling.
  if (port.sample_delay_ms > 0) platform::sleep_ms(static_cast<uint32_t>(port.sample_delay_ms));
  uint32_t status = 0;
  if (!platform::serial_modem_status(port.port_handle, &status)) {
    output::set_port_error(platform::last_error());
    return -1;
  }
  port.modem_status = status;
  output::clear_error();
  return (status & mask) != 0 ? 1 : 0;
}

namespace {

int arm_failure(int result, uint32_t code, const char* format) {
  output::set_error_code(static_cast<int32_t>(code));
  output::set_error_text(format, port.port_name, static_cast<int>(code));
  platform::set_last_error(code);
  return result;
}

}  // namespace

int arm_cts_event() {
  if (!platform::serial_set_mask(port.port_handle, platform::EV_CTS)) {
    return arm_failure(arm_set_mask_failed, platform::last_error(),
                       RU("Порт %s - ошибка %d при вызове SetCommMask."));
  }
  if (!platform::cts_event_create()) {
    return arm_failure(arm_event_failed, platform::last_error(),
                       RU("Порт %s - ошибка %d при создании обработчика события."));
  }
  volatile uint32_t* word = platform::cts_event_word();
  *word = 0;
  const int started = platform::cts_wait_start(port.port_handle);
  if (started == 1) {
    *word = platform::EV_CTS;
    return arm_ok;
  }
  if (started == 0) return arm_ok;
  // The wait's own error number, taken before the disarm's calls can overwrite it.
  const uint32_t code = platform::last_error();
  disarm_cts_event();
  return arm_failure(arm_wait_failed, code, RU("Порт %s - ошибка %d при вызове WaitCommEvent."));
}

void disarm_cts_event() {
  // Clearing the mask ends a pending wait; neither step can be helped if it fails.
  (void)platform::serial_set_mask(port.port_handle, 0);
  platform::cts_event_close();
}

volatile uint32_t* cts_event_mask_word() { return platform::cts_event_word(); }

}  // namespace serial
