// Line test mode: each output is switched on and off in turn, and where the adapter feeds the
// line back (RTS on DSR, TxD break on CTS) the echo is checked against the level just set.
#include "app/line_test.h"

#include <cstdint>

#include "output/keyboard.h"
#include "output/messages.h"
#include "platform/cp1251_literal.h"
#include "platform/platform.h"
#include "serial/wire.h"

namespace app {

namespace {

struct Phase {
  uint32_t function;
  int level;
  uint32_t feedback_mask;  // 0: the line has no echo
  const char* name;
};

constexpr Phase phases[6] = {
    {platform::SETRTS, 1, platform::MS_DSR_ON, "RTS"},
    {platform::CLRRTS, 0, platform::MS_DSR_ON, "RTS"},
    {platform::SETBREAK, 1, platform::MS_CTS_ON, "TxD"},
    {platform::CLRBREAK, 0, platform::MS_CTS_ON, "TxD"},
    {platform::SETDTR, 1, 0, "DTR"},
    {platform::CLRDTR, 0, 0, "DTR"},
};

Ending key_end() {
  set_exit_code(1);
  return Ending::cleanup;
}

}  // namespace

Ending run_line_test() {
  output::show_message("%s", RU("\r\nТестовый режим. Для завершения - нажмите любую клавишу.\r\n\r\n"));
  // A key pressed before the test began must not end it at once.
  output::flush_keyboard();
  if (output::key_waiting()) return key_end();
  for (int phase = 0;; phase = (phase + 1) % 6) {
    const Phase& p = phases[phase];
    wire::sleep_ms(900);
    if (!wire::set(p.function)) return Ending::record;
    wire::sleep_ms(100);  // the adapter's echo settles
    int feedback = 0;
    if (p.feedback_mask != 0) {
      feedback = wire::read(p.feedback_mask);
      if (feedback < 0) return Ending::record;
    }
    output::show_message("%s = %d", p.name, p.level);
    if (p.feedback_mask != 0) {
      output::show_message("%s", RU("; ответный сигнал - "));
      if (feedback != p.level) output::show_message("%s", RU("не"));
      output::show_message("%s", RU("верный."));
    }
    output::show_message("\r\n");
    if (output::key_waiting()) return key_end();
  }
}

}  // namespace app
