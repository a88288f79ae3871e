// One run of the fault sweep: the scenario's world, the injected failure, the call observer,
// and the invariants judged afterwards.
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "output/codepage.h"
#include "output/keyboard.h"
#include "platform/cp1251_literal.h"
#include "platform/posix/host.h"
#include "sim/names.h"
#include "sim/tool_run.h"
#include "sweep/fault_sweep.h"

namespace fault_sweep {

std::string work_dir;

const std::vector<Scenario>& scenarios() {
  using K = sim::PortKind;
  static const std::vector<Scenario> list = {
      {"confirm -C1 -L", {"-C1", "-L"}, {}, output::key_enter, {}, {}},
      {"confirm, discovery", {}, {}, output::key_enter, {}, {}},
      {"cancel -C1 -L", {"-C1", "-L"}, {}, output::key_esc, {}, {}},
      {"end of input -C1 -L", {"-C1", "-L"}, {}, 0, {}, {}},
      {"other keys then ENTER", {"-C1", "-L"}, {}, output::key_enter,
       {{'x'}, {' '}, {0xE0, 0x48}, {0, 0x3B}, {'\n'}, {0x1B + 1}}, {}},
      {"other keys then ESC", {"-C1"}, {}, output::key_esc, {{'a'}, {0, 0x3B}, {0xE0, 0x50}}, {}},
      {"keys before the prompt", {"-C1"}, {}, output::key_enter, {}, {output::key_esc, 'q', 0}},
      {"end of input after keys", {"-C1"}, {}, 0, {{'y'}, {0xE0, 0x4B}}, {}},
      {"plain COM1, adapter COM3", {"-L"}, {{1, K::plain}, {3, K::adapter}}, output::key_enter, {}, {}},
      {"busy COM1, adapter COM2", {}, {{1, K::busy}, {2, K::adapter}}, output::key_enter, {}, {}},
      {"no adapter", {"-L"}, {{1, K::plain}, {2, K::busy}}, output::key_enter, {}, {}},
      {"two adapters", {}, {{1, K::adapter}, {4, K::adapter}}, output::key_enter, {}, {}},
      {"no ports", {}, {{1, K::absent}}, output::key_enter, {}, {}},
      {"forced plain port", {"-C3"}, {{3, K::plain}}, output::key_enter, {}, {}},
      {"forced busy port", {"-C3"}, {{3, K::busy}}, output::key_enter, {}, {}},
      {"forced absent port", {"-C7"}, {}, output::key_enter, {}, {}},
      // The adapter on an FT232R cable.
      {"cable -F -L", {"-F", "-L"}, {}, output::key_enter, {}, {}, {sim::UsbDevice{}}},
      {"cable cancel -F", {"-F"}, {}, output::key_esc, {}, {}, {sim::UsbDevice{}}},
      {"two cables -F -C6", {"-F", "-C6"}, {}, output::key_enter, {}, {},
       {{"FT232R", "B5", 5}, {"FT232R", "B6", 6}}},
      {"two cables -F", {"-F"}, {}, output::key_enter, {}, {}, {{"FT232R", "B5", 5}, {"FT232R", "B6", 6}}},
      {"a CH340 -F", {"-F"}, {}, output::key_enter, {}, {}, {{"CH340", "", 3}}},
      {"no cable -F", {"-F"}, {}, output::key_enter, {}, {}, {}},
  };
  return list;
}

namespace {

bool uses_log(const Scenario& s) {
  return std::find(s.args.begin(), s.args.end(), "-L") != s.args.end();
}

}  // namespace

// ---- watching the calls ----------------------------------------------------------------------

std::string cp866(const char* cp1251) {
  std::string s(cp1251);
  output::to_console_codepage(s.data());
  return s;
}

namespace {

struct Marker {
  std::string text;
  Stage stage;
};
const std::vector<Marker>& markers() {
  static const std::vector<Marker> list = {
      {cp866(RU("Найдено COM-портов")), Stage::discovery},
      {cp866(RU("Открываем порт")), Stage::open},
      {cp866(RU("Найдено USB-адаптеров")), Stage::discovery},
      {cp866(RU("Открываем кабель")), Stage::open},
      {cp866(RU("\r\nНачало работы.\r\n")), Stage::acquisition},
      {cp866(RU("Последний шанс")), Stage::prompt},
      {cp866(RU("Стадия 1")), Stage::erase},
      {cp866(RU("Стадия 2")), Stage::write},
      {cp866(RU("Стадия 3")), Stage::checksum},
      {cp866(RU("Работа прервана")), Stage::power_off},
      {cp866(RU("Работа успешно завершена")), Stage::ending},
      {cp866(RU("авершаем работу")), Stage::ending}};
  return list;
}


Watch watch;  // of the run in progress

int function_index(uint32_t f) {
  int i = 0;
  for (const auto& n : sim::names::line_functions) {
    if (n.value == f) return i + 1;
    ++i;
  }
  return 0;
}

Stage stage_now() {
  const std::string& out = sim::console_output();
  if (out.size() != watch.seen_console) {
    const std::size_t from = watch.seen_console > 64 ? watch.seen_console - 64 : 0;
    std::size_t best = std::string::npos;
    for (const Marker& m : markers()) {
      const std::size_t at = out.rfind(m.text);
      if (at != std::string::npos && at + m.text.size() > from && (best == std::string::npos || at > best)) {
        best = at;
        watch.text_stage = static_cast<int>(m.stage);
      }
    }
    watch.seen_console = out.size();
  }
  Stage s = static_cast<Stage>(watch.text_stage);
  if (s == Stage::write && sim::rom_calls(sim::RomFunction::protect) > 0) s = Stage::protect;
  else if (s == Stage::write && sim::rom_calls(sim::RomFunction::read_block) > 128) s = Stage::second_pass;
  if (s == Stage::checksum && sim::rom_calls(sim::RomFunction::checksum) >= 2 * 128 - 1 &&
      out.size() > 4 && out.compare(out.size() - 4, 4, "OK\r\n") == 0)
    s = Stage::power_off;
  return s;
}

void observe(sim::Call kind, bool serial, uint32_t function, bool failed) {
  const int key = kind == sim::Call::escape ? 100 + function_index(function) : static_cast<int>(kind);
  ++watch.by_kind[key];
  if (serial) ++watch.serial_calls;
  if (kind == sim::Call::close) watch.close_failed = failed;
  if (kind == sim::Call::usb_transfer) watch.transfer_failed = failed;
  if (kind == sim::Call::escape) {
    LineTouch t{function, failed};
    if (function == platform::SETRTS || function == platform::CLRRTS) watch.rts = t;
    if (function == platform::SETDTR || function == platform::CLRDTR) watch.dtr = t;
    if (function == platform::SETBREAK || function == platform::CLRBREAK) watch.brk = t;
  }
  if (failed && watch.failures++ == 0) {
    watch.struck = std::string(sim::names::name_of(sim::names::call_kinds, kind));
    if (kind == sim::Call::escape)
      watch.struck += std::string(" ") + sim::names::name_of(sim::names::line_functions, function);
    watch.struck += std::string(" in stage ") + stage_names[static_cast<int>(stage_now())];
  }
  if (watch.record && serial) {
    watch.serial_stage.push_back(static_cast<uint8_t>(stage_now()));
    watch.serial_site.push_back(static_cast<uint16_t>(static_cast<int>(kind) * 16 + function_index(function)));
  }
}

// ---- one run ---------------------------------------------------------------------------------



int scenario_port(const Scenario& s) {
  for (const std::string& a : s.args)
    if (a.size() >= 3 && (a[1] == 'C' || a[1] == 'c')) return std::atoi(a.c_str() + 2);
  for (const auto& p : s.ports)
    if (p.second == sim::PortKind::adapter) return p.first;
  return 1;
}

}  // namespace

Outcome run_case(const Case& c, bool record, Watch* seen) {
  const Scenario& s = scenarios()[static_cast<std::size_t>(c.scenario)];
  sim::reset();
  if (!s.ports.empty()) {
    sim::clear_ports();
    for (const auto& p : s.ports) sim::set_port(p.first, p.second);
    sim::devmap_from_ports();
  }
  sim::set_usb_devices(s.usb);
  sim::adapter::config() = c.adapter;
  for (const auto& f : c.chip_faults) sim::chip_config().faults.push_back(f);
  for (const auto& f : c.call_faults) sim::add_call_fault(f);
  watch = Watch{};
  watch.record = record;
  sim::set_call_observer(observe);
  if (!s.keys_before.empty()) sim::push_keys(s.keys_before);
  const std::string prompt = cp866(RU("Последний шанс"));
  std::vector<std::vector<int>> typed = s.typed_first;
  if (s.answer != 0) typed.push_back({s.answer});
  if (!typed.empty()) sim::type_keys_after(prompt, typed, 50000);

  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  // A write past the limit must fail with EFBIG rather than end the process.
  void (*saved_handler)(int) = signal(SIGXFSZ, SIG_IGN);
  if (c.file_limit >= 0) {
    rlimit lower = saved;
    lower.rlim_cur = static_cast<rlim_t>(c.file_limit);
    setrlimit(RLIMIT_FSIZE, &lower);
  }
  const std::string log_path = work_dir + "/Tolvern.log";
  const auto t0 = std::chrono::steady_clock::now();
  Outcome o{};
  o.exit_code = sim::run_tool(work_dir + "/tolvern", s.args);
  o.real_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, saved_handler);
  o.simulated_s = sim::now_us() / 1e6;
  o.flash_ok = sim::flash_equals_image();
  o.protected_ok = sim::protection_set();
  o.port = scenario_port(s);
  o.lines = sim::line_state(o.port);
  o.open_ports = sim::open_port_count();
  // The cables' lines count as the port's: any cable left driving a line, or left open.
  for (int i = 0; i < static_cast<int>(s.usb.size()); ++i) {
    const sim::CableState cable = sim::cable_state(i);
    o.lines.rts |= cable.rts;
    o.lines.dtr |= cable.dtr;
    o.lines.brk |= cable.brk;
    o.lines.target_powered |= cable.target_powered;
    o.open_ports += cable.open ? 1 : 0;
  }
  const sim::Counters& wire = sim::counters();
  o.contention = wire.contention;
  o.timing_violations = wire.timing_violations;
  o.malformed_frames = wire.malformed_frames;
  o.gaps_in_calls = sim::cable_counters().gaps_in_calls;
  o.gap_us_in_calls = sim::cable_counters().gap_us_in_calls;
  o.console = sim::console_output();
  std::ifstream in(log_path, std::ios::binary);
  o.log_present = in.good();
  if (o.log_present) o.log.assign(std::istreambuf_iterator<char>(in), {});
  std::remove(log_path.c_str());
  *seen = watch;
  return o;
}

// ---- the ending the transcript shows -----------------------------------------------------------

namespace {

struct EndingText {
  std::string text;
  int32_t code;       // the exit code it stands for; any_nonzero when the text does not tell
  bool number_after;  // the code is the number printed right after the text (0 = any non-zero)
};

const std::vector<EndingText>& ending_texts() {
  static const std::vector<EndingText> list = {
      {cp866(RU("Работа успешно завершена.")), 0, false},
      {cp866(RU("Работа прервана.")), 1, false},
      {cp866(RU("Адаптер не обнаружен. Завершаем работу.")), 1, false},
      {cp866(RU("Обнаружено более одного адаптера. Завершаем работу.")), 1, false},
      {cp866(RU("COM-портов не обнаружено. Завершаем работу.")), 1, false},
      {cp866(RU("Кабель FT232R не обнаружен. Завершаем работу.")), 1, false},
      {cp866(RU("Обнаружено более одного кабеля FT232R")), 1, false},
      {cp866(RU("нет USB-адаптера. Завершаем работу.")), 1, false},
      {cp866(RU(" не поддерживается: по USB работает только кабель на FT232R")), 50, false},
      {cp866(RU("Библиотека ftd2xx.dll не найдена ( ошибка ")), 0, true},
      {cp866(RU("устройство отключено ( ошибка ")), 0, true},
      {cp866(RU("при работе с файлом:\r\n")), 1, false},
      {cp866(RU("Нет ответа от микросхемы ( код ")), 100, false},
      {cp866(RU("Нет ответа от микросхемы ( стадия ")), 10, false},
      {cp866(RU("Неверный ответ от микросхемы, завершаем работу.")), 101, false},
      {cp866(RU("Связь потеряна, завершаем работу.")), 101, false},
      {cp866(RU("Ошибка при обмене данными, завершаем работу.")), 101, false},
      {cp866(RU("Ошибка при обмене, завершаем работу.")), 101, false},
      {cp866(RU("Ошибка при проверке данных (")), 101, false},
      {cp866(RU("Ошибка при проверке результатов (")), 101, false},
      {cp866(RU("Ошибка при окончательной проверке результатов")), 101, false},
      {cp866(RU("Получено неверное значение контрольной суммы блока")), 126, false},
      {cp866(RU("Неверный номер функции микросхемы")), 87, false},
      {cp866(RU("Неверный номер COM-порта")), 13, false},
      {cp866(RU("\r\n\r\nНепонятная ошибка ( код ")), 0, true},
      {cp866(RU("\r\nНепонятная ошибка ( код ")), 0, true},
      {cp866(RU("Проблемы при работе с High-Resolution Performance Counter ( ")), 0, true},
      {cp866(RU("\r\n\r\nОшибка ")), 0, true},  // "Ошибка %d при ..." (registry, counter)
      {cp866(RU(" - ошибка ")), 0, true},       // "Порт %s - ошибка %d при ..."
      {cp866(RU(" уже используется другим процессом")), 5, false},
      {cp866(RU(" не открыт.")), 6, false},
      {cp866(RU(" не найден.")), 2, false},
      {cp866(RU("- работа была приостановлена")), 21, false},
      {cp866(RU("- неверные параметры для открытия")), 87, false},
      {cp866(RU(" невозможно открыть.")), 110, false},
      {cp866(RU(" непонятная ошибка.")), -127, false},
      {cp866(RU("Успешное окончание")), 10, false},
  };
  return list;
}

}  // namespace

bool shown_code(const std::string& console, int32_t* code, std::string* which) {
  std::size_t best = std::string::npos;
  for (const EndingText& e : ending_texts()) {
    const std::size_t at = console.rfind(e.text);
    if (at == std::string::npos || (best != std::string::npos && at <= best)) continue;
    // "Ошибка %d при работе с файлом журнала" is the log's failure, not an ending.
    const std::size_t after = at + e.text.size();
    if (e.number_after) {
      char* end = nullptr;
      const long long n = std::strtoll(console.c_str() + after, &end, 10);
      if (end == console.c_str() + after) continue;
      if (std::string(end).rfind(cp866(RU(" при работе с файлом журнала")), 0) == 0) continue;
      *code = n == 0 ? any_nonzero : static_cast<int32_t>(static_cast<uint32_t>(n));
    } else {
      *code = e.code;
    }
    best = at;
    *which = e.text;
  }
  return best != std::string::npos;
}

namespace {

// ---- the invariants ----------------------------------------------------------------------------



void check(Verdict* v, bool ok, const std::string& what) {
  ++v->checked;
  if (ok) {
    ++v->held;
  } else if (v->first_violation.empty()) {
    v->first_violation = what;
  }
}

}  // namespace

std::string utf8(const std::string& cp866_text) {
  std::string out(cp866_text.size() * 3 + 1, '\0');
  const std::size_t n = posix_host::cp866_to_utf8(cp866_text.data(), cp866_text.size(), out.data(),
                                                  out.size(), nullptr);
  out.resize(n);
  return out;
}

// The log's bytes as the console shows them, compared with the console's messages.
namespace {

void check_log(Verdict* v, const Outcome& o) {
  if (!o.log_present) {
    // Only a run that never reached the log's creation (bad parameters) may lack it.
    check(v, false, "the log file is missing");
    return;
  }
  std::string log = o.log;
  output::to_console_codepage(log.data());
  // The console: "\r\n", the log notice, then every message; the log failure's notice and the
  // failure shutdown's bell go to the console only.
  const std::string notice = cp866(RU("Используется файл журнала.\r\n\r\n"));
  std::string console = o.console;
  const std::size_t start = console.find(notice);
  if (start == std::string::npos) {
    check(v, false, "the console lacks the log notice");
    return;
  }
  console.erase(0, start + notice.size());
  const std::string failure = cp866(RU("\r\n\r\nОшибка "));
  const std::string failure_tail = cp866(RU(" при работе с файлом журнала.\r\n\r\n"));
  std::size_t cut = std::string::npos;
  const std::size_t tail = console.find(failure_tail);
  if (tail != std::string::npos) {
    cut = console.rfind(failure, tail);
    const std::size_t end = tail + failure_tail.size();
    console.erase(cut, end - cut);
  }
  // The failure shutdown's bell, just before the final cleanup's line end, is not logged.
  if (log != console && console.size() >= 3 &&
      console.compare(console.size() - 3, 3, "\a\r\n") == 0)
    console.erase(console.size() - 3, 1);
  if (cut == std::string::npos) {
    check(v, log == console,
          "the log differs from the console's messages (log " + std::to_string(log.size()) +
              " bytes, messages " + std::to_string(console.size()) + ")");
  } else {
    // Up to the failed write: the log is a prefix of what was shown before and with the message
    // whose write failed (at most one message long).
    check(v, log.size() <= std::min(console.size(), cut + 4096) &&
                 console.compare(0, log.size(), log) == 0,
          "after a failed write the log is not a prefix of the console's messages");
  }
}

}  // namespace

Verdict judge(const Case& c, const Outcome& o, const Watch& watch) {
  const Scenario& s = scenarios()[static_cast<std::size_t>(c.scenario)];
  Verdict v;
  check(&v, o.simulated_s <= simulated_limit_s,
        "ran " + std::to_string(o.simulated_s) + " s of simulated time");
  int32_t shown = 0;
  std::string which;
  const bool has_ending = shown_code(o.console, &shown, &which);
  check(&v, has_ending, "the transcript shows no ending");
  if (has_ending) {
    const bool fits = shown == any_nonzero ? o.exit_code != 0 : o.exit_code == shown;
    check(&v, fits, "exit code " + std::to_string(o.exit_code) + " but the transcript ends with \"" +
                        utf8(which) + "\" (" +
                        (shown == any_nonzero ? std::string("non-zero") : std::to_string(shown)) + ")");
  }
  if (o.exit_code == 0) {
    check(&v, o.flash_ok, "exit 0 with the flash unlike the image");
    check(&v, o.protected_ok, "exit 0 without the protection set");
  }
  // A line left on by its own failed switch; on the cable, by a failed last round trip.
  const bool rts_excused = (watch.rts.failed && watch.rts.function == platform::CLRRTS) || watch.transfer_failed;
  const bool dtr_excused = (watch.dtr.failed && watch.dtr.function == platform::CLRDTR) || watch.transfer_failed;
  const bool brk_excused = (watch.brk.failed && watch.brk.function == platform::CLRBREAK) || watch.transfer_failed;
  check(&v, !o.lines.rts || rts_excused, "RTS left on (the target powered)");
  check(&v, !o.lines.target_powered || rts_excused, "the target left powered");
  check(&v, !o.lines.dtr || dtr_excused, "DTR (the clock) left high");
  check(&v, !o.lines.brk || brk_excused, "break (the data line) left on");
  // A handle whose CloseHandle failed stays with the process until it exits.
  check(&v, (o.open_ports == 0 && !o.lines.open) || watch.close_failed, "a port left open");
  if (uses_log(s)) check_log(&v, o);
  // Whatever failed, the tool never drives the data line against the chip, never cuts a clock
  // phase or a release short and never sends a frame with wrong fixed bits.
  check(&v, o.contention == 0, std::to_string(o.contention) + " times break switched on against the chip");
  check(&v, o.timing_violations == 0, std::to_string(o.timing_violations) + " timing violations");
  check(&v, o.malformed_frames == 0, std::to_string(o.malformed_frames) + " malformed frames");
  // A run that ends well saw every call through: on the cable, every byte of every wait sampled.
  check(&v, o.exit_code != 0 || o.gaps_in_calls == 0,
        "exit 0 with " + std::to_string(o.gaps_in_calls) + " unsampled stretches during calls");
  return v;
}

std::string describe(const Case& c) {
  return std::string(scenarios()[static_cast<std::size_t>(c.scenario)].name) + ": " + c.label;
}

}  // namespace fault_sweep
