// The fault sweep's judge: the transcript's ending read as its exit code, and every invariant
// failing when the outcome of a real run is made wrong in the one way it guards against.
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/cp1251_literal.h"
#include "platform/platform.h"
#include "sweep/fault_sweep.h"
#include "tests/harness.h"

namespace {

using fault_sweep::any_nonzero;
using harness::cp866;

TEST(FaultSweep, TheTranscriptsEndingGivesTheExitCode) {
  const std::string success = cp866(RU("\r\nРабота успешно завершена.\r\n"));
  const std::string log_failed = cp866(RU("\r\n\r\nОшибка 27 при работе с файлом журнала.\r\n\r\n"));
  struct Row { std::string transcript; bool shown; int32_t code; } rows[] = {
      {success + "\r\n", true, 0},
      {cp866(RU("\r\n\r\nРабота прервана.\r\n")) + "\r\n", true, 1},
      // A failed power-off after ESC: the record ending that follows is the one shown.
      {cp866(RU("\r\n\r\nРабота прервана.\r\n\r\n\r\nНепонятная ошибка ( код 31 ).")), true, 31},
      {cp866(RU("\r\n\r\nНепонятная ошибка ( код 4294967295 ).")), true, -1},
      {cp866(RU("\r\n\r\nНет ответа от микросхемы ( код 42 ).\r\n")), true, 100},
      {cp866(RU("\r\n\r\nНет ответа от микросхемы ( стадия 3 ).")), true, 10},
      {cp866(RU("\r\n\r\nПорт COM1 уже используется другим процессом, либо доступ к нему запрещен.")),
       true, 5},
      {cp866(RU("\r\n\r\nОшибка 2 при обращении к системному реестру.")), true, 2},
      {cp866(RU("\r\n\r\nПорт COM1 - ошибка 1167 при вызове SetCommMask.")), true, 1167},
      {cp866(RU("\r\n\r\nПроблемы при работе с High-Resolution Performance Counter ( 0 ).")), true,
       any_nonzero},
      {cp866(RU("\r\n\r\nНеверный ответ от микросхемы, завершаем работу.\r\n\r\n\r\n")), true, 101},
      {cp866(RU("\r\nАдаптер не обнаружен. Завершаем работу.\r\n")), true, 1},
      // The log's failure is a notice, not an ending, before or after the ending.
      {log_failed + success, true, 0},
      {success + "\r\n" + log_failed, true, 0},
      {log_failed, false, 0},
      {cp866(RU("\r\nНачало работы.\r\n")), false, 0},
  };
  for (const Row& row : rows) {
    int32_t code = -12345;
    std::string which;
    const bool shown = fault_sweep::shown_code(row.transcript, &code, &which);
    EXPECT_EQ(shown, row.shown) << fault_sweep::utf8(row.transcript);
    if (row.shown && shown) {
      EXPECT_EQ(code, row.code) << fault_sweep::utf8(row.transcript);
    }
  }
}

// A real, faultless run with the log holds every invariant; each change below breaks one.
TEST(FaultSweep, EveryInvariantCatchesItsFault) {
  harness::TempDir dir;
  fault_sweep::work_dir = dir.path();
  fault_sweep::Case c;  // the first scenario: -C1 -L, ENTER at the prompt
  fault_sweep::Watch watch;
  const fault_sweep::Outcome good = fault_sweep::run_case(c, false, &watch);
  ASSERT_EQ(good.exit_code, 0);
  const fault_sweep::Verdict clean = fault_sweep::judge(c, good, watch);
  EXPECT_EQ(clean.checked, 15);
  EXPECT_EQ(clean.held, clean.checked) << clean.first_violation;

  using Change = std::function<void(fault_sweep::Outcome*, fault_sweep::Watch*)>;
  struct Row { const char* what; Change change; bool caught; } rows[] = {
      {"exit code 1 after the success message", [](auto* o, auto*) { o->exit_code = 1; }, true},
      {"flash unlike the image", [](auto* o, auto*) { o->flash_ok = false; }, true},
      {"protection not set", [](auto* o, auto*) { o->protected_ok = false; }, true},
      {"RTS left on", [](auto* o, auto*) { o->lines.rts = true; }, true},
      {"RTS left on by its own failed CLRRTS",
       [](auto* o, auto* w) { o->lines.rts = o->lines.target_powered = true; w->rts = {platform::CLRRTS, true}; }, false},
      {"RTS left on after a failed SETRTS", [](auto* o, auto* w) { o->lines.rts = true; w->rts = {platform::SETRTS, true}; },
       true},
      {"target powered", [](auto* o, auto*) { o->lines.target_powered = true; }, true},
      {"RTS left on by the cable's failed round trip",
       [](auto* o, auto* w) { o->lines.rts = o->lines.target_powered = true; w->transfer_failed = true; }, false},
      {"clock high", [](auto* o, auto*) { o->lines.dtr = true; }, true},
      {"clock high by its own failed CLRDTR", [](auto* o, auto* w) { o->lines.dtr = true; w->dtr = {platform::CLRDTR, true}; },
       false},
      {"break on", [](auto* o, auto*) { o->lines.brk = true; }, true},
      {"port open", [](auto* o, auto*) { o->open_ports = 1; }, true},
      {"port open after its failed close", [](auto* o, auto* w) { o->open_ports = 1; w->close_failed = true; }, false},
      {"too long in simulated time", [](auto* o, auto*) { o->simulated_s = fault_sweep::simulated_limit_s + 1; }, true},
      {"log cut without a notice", [](auto* o, auto*) { o->log.resize(o->log.size() / 2); }, true},
      {"log byte changed", [](auto* o, auto*) { o->log[10] ^= 1; }, true},
      {"log missing", [](auto* o, auto*) { o->log_present = false; }, true},
      {"no ending shown", [](auto* o, auto*) { o->console.resize(o->console.size() / 2); }, true},
      {"break against the chip", [](auto* o, auto*) { o->contention = 1; }, true},
      {"a clock phase too short", [](auto* o, auto*) { o->timing_violations = 1; }, true},
      {"a malformed frame", [](auto* o, auto*) { o->malformed_frames = 1; }, true},
      {"a call left unsampled, exit 0", [](auto* o, auto*) { o->gaps_in_calls = 1; }, true},
  };
  for (const Row& row : rows) {
    fault_sweep::Outcome o = good;
    fault_sweep::Watch w = watch;
    row.change(&o, &w);
    const fault_sweep::Verdict v = fault_sweep::judge(c, o, w);
    EXPECT_EQ(v.held < v.checked, row.caught) << row.what << ": " << v.first_violation;
  }
}

// A log cut by a full disk: the notice on the console, the log a prefix of the messages.
TEST(FaultSweep, ALogCutByItsSizeLimitHoldsOnlyWhatWentBefore) {
  harness::TempDir dir;
  fault_sweep::work_dir = dir.path();
  fault_sweep::Case c;
  c.file_limit = 100;
  fault_sweep::Watch watch;
  const fault_sweep::Outcome o = fault_sweep::run_case(c, false, &watch);
  EXPECT_EQ(o.log.size(), 100u);
  EXPECT_NE(o.console.find(cp866(RU("при работе с файлом журнала."))), std::string::npos);
  const fault_sweep::Verdict v = fault_sweep::judge(c, o, watch);
  EXPECT_EQ(v.held, v.checked) << v.first_violation;
  fault_sweep::Outcome wrong = o;
  wrong.log[50] ^= 1;
  const fault_sweep::Verdict w = fault_sweep::judge(c, wrong, watch);
  EXPECT_LT(w.held, w.checked);
}

}  // namespace
