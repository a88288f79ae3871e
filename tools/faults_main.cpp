// tolvern-faults: the fault sweep. Thousands of whole programming runs in the simulated world,
// each with one injected failure (a serial call failing at call N or at the Nth call of one
// kind, a chip fault, the counter failing, the log's file hitting its size limit, the
// operator's keys, the end of input, ports without or with two adapters), and after each run
// the promises every ending must keep:
//   - it returns within bounded simulated and real time;
//   - it ends 0 only with the flash equal to the image, the protection set and the target off;
//   - any other ending is non-zero and its code is the one the transcript's ending shows;
//   - the target is unpowered (RTS off, clock low, break off), unless the failed call was the
//     last switch of that very line;
//   - no port is left open, unless its last CloseHandle was the failed call;
//   - with -L the log holds exactly the console's messages, up to a failed write.
// It prints the number of runs and of invariants held, and the first violation in full.
//
// The tool's state is module-level, so runs are spread over forked workers, one process each.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "output/codepage.h"
#include "output/cp1251_literal.h"
#include "output/keyboard.h"
#include "platform/posix/host.h"
#include "sim/names.h"
#include "sim/tool_run.h"
#include "sim/world.h"

namespace {

// ---- what a run is --------------------------------------------------------------------------

// The world and the operator around a run, without the injected failure.
struct Scenario {
  const char* name;
  std::vector<std::string> args;
  std::vector<std::pair<int, sim::PortKind>> ports;  // empty: the default (adapter on COM1)
  int answer;                                         // key pressed at the prompt, 0 = none
  std::vector<std::vector<int>> typed_first;          // keys typed at the prompt before it
  std::vector<int> keys_before;                       // keys waiting before the run starts
};

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
  };
  return list;
}

bool uses_log(const Scenario& s) {
  return std::find(s.args.begin(), s.args.end(), "-L") != s.args.end();
}

struct Case {
  int scenario = 0;
  std::string label;
  std::vector<sim::CallFault> call_faults;
  std::vector<sim::ChipFaultSpec> chip_faults;
  long long file_limit = -1;  // RLIMIT_FSIZE for the run (the log), -1 = none
  bool always = false;        // part of every sample
};

// ---- watching the calls ----------------------------------------------------------------------

enum class Stage {
  start, discovery, open, acquisition, prompt, erase, write, second_pass, protect, checksum,
  power_off, ending, count
};
constexpr const char* stage_names[] = {"start",   "discovery", "open",        "acquisition",
                                       "prompt",  "erase",     "write",       "second pass",
                                       "protect", "checksum",  "power-off",   "ending"};

std::string cp866(const char* cp1251) {
  std::string s(cp1251);
  output::to_console_codepage(s.data());
  return s;
}

struct Marker {
  std::string text;
  Stage stage;
};
const std::vector<Marker>& markers() {
  static const std::vector<Marker> list = {
      {cp866(RU("Найдено COM-портов")), Stage::discovery},
      {cp866(RU("Открываем порт")), Stage::open},
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

struct LineTouch {
  uint32_t function = 0;
  bool failed = false;
};

// What the observer saw during one run.
struct Watch {
  long long serial_calls = 0;
  long long counter_reads = 0;
  std::map<int, long long> by_kind;       // calls per kind (escapes per line function + 100)
  LineTouch rts, dtr, brk;                // last switch of each line
  bool close_failed = false;              // the last CloseHandle failed
  int failures = 0;
  std::string struck;                     // the first call that failed, and its stage
  // Text stage as read from the console.
  std::size_t seen_console = 0;
  Stage text_stage = Stage::start;
  bool record = false;                    // a reference run: keep the call map below
  std::vector<uint8_t> serial_stage;      // per serial call (reference runs)
  std::vector<uint16_t> serial_site;      // per serial call: kind * 16 + line function index
};
Watch watch;

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
        watch.text_stage = m.stage;
      }
    }
    watch.seen_console = out.size();
  }
  Stage s = watch.text_stage;
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

std::string work_dir;  // the runs' program directory (a real one: the log is a real file)

struct Outcome {
  int32_t exit_code;
  double simulated_s;
  double real_s;
  bool flash_ok, protected_ok;
  sim::LineState lines;
  int open_ports;
  int port;
  std::string console;
  std::string log;
  bool log_present;
};

int scenario_port(const Scenario& s) {
  for (const std::string& a : s.args)
    if (a.size() >= 3 && (a[1] == 'C' || a[1] == 'c')) return std::atoi(a.c_str() + 2);
  for (const auto& p : s.ports)
    if (p.second == sim::PortKind::adapter) return p.first;
  return 1;
}

Outcome run_case(const Case& c, bool record) {
  const Scenario& s = scenarios()[static_cast<std::size_t>(c.scenario)];
  sim::reset();
  if (!s.ports.empty()) {
    sim::clear_ports();
    for (const auto& p : s.ports) sim::set_port(p.first, p.second);
    sim::devmap_from_ports();
  }
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
  o.simulated_s = sim::now_us() / 1e6;
  o.flash_ok = sim::flash_equals_image();
  o.protected_ok = sim::protection_set();
  o.port = scenario_port(s);
  o.lines = sim::line_state(o.port);
  o.open_ports = sim::open_port_count();
  o.console = sim::console_output();
  std::ifstream in(log_path, std::ios::binary);
  o.log_present = in.good();
  if (o.log_present) o.log.assign(std::istreambuf_iterator<char>(in), {});
  std::remove(log_path.c_str());
  return o;
}

// ---- the ending the transcript shows -----------------------------------------------------------

constexpr int32_t any_nonzero = 0x7FFFFFF0;

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
      {cp866(RU("Успешное окончание")), any_nonzero, false},
  };
  return list;
}

// The exit code the transcript's last ending stands for; false when it shows none.
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

// ---- the invariants ----------------------------------------------------------------------------

constexpr double simulated_limit_s = 200;
constexpr unsigned real_limit_s = 60;

struct Verdict {
  int checked = 0;
  int held = 0;
  std::string first_violation;
};

void check(Verdict* v, bool ok, const std::string& what) {
  ++v->checked;
  if (ok) {
    ++v->held;
  } else if (v->first_violation.empty()) {
    v->first_violation = what;
  }
}

std::string utf8(const std::string& cp866_text) {
  std::string out(cp866_text.size() * 3 + 1, '\0');
  const std::size_t n = posix_host::cp866_to_utf8(cp866_text.data(), cp866_text.size(), out.data(),
                                                  out.size(), nullptr);
  out.resize(n);
  return out;
}

// The log's bytes as the console shows them, compared with the console's messages.
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

Verdict judge(const Case& c, const Outcome& o) {
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
  const bool rts_excused = watch.rts.failed && watch.rts.function == platform::CLRRTS;
  const bool dtr_excused = watch.dtr.failed && watch.dtr.function == platform::CLRDTR;
  const bool brk_excused = watch.brk.failed && watch.brk.function == platform::CLRBREAK;
  check(&v, !o.lines.rts || rts_excused, "RTS left on (the target powered)");
  check(&v, !o.lines.target_powered || rts_excused, "the target left powered");
  check(&v, !o.lines.dtr || dtr_excused, "DTR (the clock) left high");
  check(&v, !o.lines.brk || brk_excused, "break (the data line) left on");
  // A handle whose CloseHandle failed stays with the process until it exits.
  check(&v, (o.open_ports == 0 && !o.lines.open) || watch.close_failed, "a port left open");
  if (uses_log(s)) check_log(&v, o);
  return v;
}

std::string describe(const Case& c) {
  return std::string(scenarios()[static_cast<std::size_t>(c.scenario)].name) + ": " + c.label;
}

// ---- the cases ---------------------------------------------------------------------------------

constexpr uint32_t error_numbers[] = {5, 6, 31, 1167, 0, static_cast<uint32_t>(-1)};
constexpr int error_count = sizeof error_numbers / sizeof error_numbers[0];

std::string error_label(uint32_t e) { return std::to_string(static_cast<int32_t>(e)); }

sim::CallFault call_fault(sim::Call kind, int nth, uint32_t error, bool sticky = false,
                          uint32_t function = 0) {
  sim::CallFault f;
  f.call = kind;
  f.nth = nth;
  f.error = error;
  f.sticky = sticky;
  f.escape_function = function;
  return f;
}

struct Reference {
  Outcome outcome;
  Watch watch;
};

Reference reference(int scenario) {
  Case c;
  c.scenario = scenario;
  Reference r;
  r.outcome = run_case(c, true);
  r.watch = watch;
  r.watch.counter_reads = sim::counters().counter_reads;
  return r;
}

// Serial-call failures at call N: every N in the stages listed, the first and last call of
// every call site (kind, line function, stage), and an even spread.
void serial_call_cases(int scenario, const Reference& r, const std::vector<Stage>& every,
                       int spread, std::vector<Case>* out) {
  const auto& st = r.watch.serial_stage;
  const auto& site = r.watch.serial_site;
  const long long total = static_cast<long long>(st.size());
  auto add = [&](long long n, uint32_t e, const char* why, bool sticky = false) {
    Case c;
    c.scenario = scenario;
    c.call_faults.push_back(call_fault(sim::Call::any_serial, static_cast<int>(n), e, sticky));
    const long long i = std::min(n, total) - 1;
    const int k = site[static_cast<std::size_t>(i)] / 16, f = site[static_cast<std::size_t>(i)] % 16;
    c.label = std::string(why) + " serial call " + std::to_string(n) + (sticky ? " on" : "") + " (" +
              sim::names::name_of(sim::names::call_kinds, static_cast<sim::Call>(k)) +
              (f != 0 ? std::string(" ") + sim::names::line_functions[f - 1].name : "") + ", " +
              stage_names[st[static_cast<std::size_t>(i)]] + "), error " + error_label(e);
    out->push_back(c);
  };
  for (long long n = 1; n <= total; ++n) {
    const Stage s = static_cast<Stage>(st[static_cast<std::size_t>(n - 1)]);
    if (std::find(every.begin(), every.end(), s) != every.end())
      add(n, error_numbers[n % error_count], "every");
  }
  std::map<int, std::pair<long long, long long>> sites;  // (stage, site) -> first, last
  for (long long n = 1; n <= total; ++n) {
    const int key = st[static_cast<std::size_t>(n - 1)] * 65536 + site[static_cast<std::size_t>(n - 1)];
    auto it = sites.find(key);
    if (it == sites.end()) sites[key] = {n, n};
    else it->second.second = n;
  }
  for (const auto& [key, range] : sites) {
    for (uint32_t e : error_numbers) {
      add(range.first, e, "first of site");
      if (range.second != range.first) add(range.second, e, "last of site");
    }
  }
  for (int i = 0; i < spread; ++i) {
    const long long n = 1 + (total - 1) * i / std::max(1, spread - 1);
    add(n, error_numbers[i % error_count], "spread");
    if (i % 8 == 0) add(n, error_numbers[(i / 8) % error_count], "spread sticky", true);
  }
}

// The Nth call of each kind: every N of the rare kinds, the first, last and a few beyond the
// last of each line function (the failure shutdown's power-off), and sticky failures.
void call_kind_cases(int scenario, const Reference& r, std::vector<Case>* out) {
  int j = 0;
  for (const auto& [key, count] : r.watch.by_kind) {
    const bool escape = key >= 100;
    const sim::Call kind = escape ? sim::Call::escape : static_cast<sim::Call>(key);
    if (kind == sim::Call::counter) continue;
    const uint32_t function = escape ? sim::names::line_functions[key - 101].value : 0;
    const std::string name = escape ? sim::names::line_functions[key - 101].name
                                    : sim::names::name_of(sim::names::call_kinds, kind);
    std::vector<long long> nths;
    if (count <= 64) {
      for (long long n = 1; n <= count + 3; ++n) nths.push_back(n);
    } else {
      for (long long n : {1LL, 2LL, 3LL, count / 3, count / 2, count - 2, count - 1, count,
                          count + 1, count + 2, count + 3})
        nths.push_back(n);
    }
    for (long long n : nths) {
      const uint32_t e = error_numbers[j++ % error_count];
      Case c;
      c.scenario = scenario;
      c.call_faults.push_back(call_fault(kind, static_cast<int>(n), e, false, function));
      c.label = name + " call " + std::to_string(n) + " of " + std::to_string(count) + ", error " +
                error_label(e);
      out->push_back(c);
    }
    for (long long n : {1LL, count, count + 1}) {
      const uint32_t e = error_numbers[j++ % error_count];
      Case c;
      c.scenario = scenario;
      c.call_faults.push_back(call_fault(kind, static_cast<int>(n), e, true, function));
      c.label = name + " calls from " + std::to_string(n) + " on, error " + error_label(e);
      out->push_back(c);
    }
  }
}

// The counter failing at read N (once, or from then on) and its frequency query failing.
void counter_cases(int scenario, const Reference& r, std::vector<Case>* out) {
  const long long total = r.watch.counter_reads;
  std::vector<long long> nths = {1, 2, 3, 4, 5, 6, 8, 10};
  for (long long n = 16; n < total; n = n * 3 / 2) nths.push_back(n);
  nths.push_back(total);
  int j = 0;
  for (long long n : nths) {
    for (bool sticky : {false, true}) {
      const uint32_t e = error_numbers[j++ % error_count];
      Case c;
      c.scenario = scenario;
      c.call_faults.push_back(call_fault(sim::Call::counter, static_cast<int>(n), e, sticky));
      c.label = "counter read " + std::to_string(n) + (sticky ? " on" : "") + " of " +
                std::to_string(total) + ", error " + error_label(e);
      out->push_back(c);
    }
  }
  for (int n = 1; n <= 2; ++n) {
    for (uint32_t e : error_numbers) {
      Case c;
      c.scenario = scenario;
      c.call_faults.push_back(call_fault(sim::Call::frequency, n, e));
      c.label = "frequency query " + std::to_string(n) + ", error " + error_label(e);
      out->push_back(c);
    }
  }
}

// Every chip fault of the simulated world at every supervisory function the run calls, at its
// first, second, middle and last call; the data faults at the blocks and bytes at the edges.
void chip_cases(int scenario, const Reference& r, std::vector<Case>* out) {
  using sim::ChipFault;
  namespace cf = sim::chip_fault;
  auto add = [&](const sim::ChipFaultSpec& f, const std::string& label) {
    Case c;
    c.scenario = scenario;
    c.chip_faults.push_back(f);
    c.label = label;
    out->push_back(c);
  };
  for (const auto& fn : sim::names::rom_functions) {
    const long long count = r.watch.by_kind.count(-1 - static_cast<int>(fn.value))
                                ? r.watch.by_kind.at(-1 - static_cast<int>(fn.value))
                                : 0;
    if (count == 0) continue;
    std::vector<long long> nths = {1, 2, (count + 1) / 2, count, 0};
    std::sort(nths.begin(), nths.end());
    nths.erase(std::unique(nths.begin(), nths.end()), nths.end());
    for (long long n : nths) {
      const std::string at = std::string(fn.name) + " call " + (n == 0 ? "every" : std::to_string(n));
      for (ChipFault k : {ChipFault::no_busy, ChipFault::busy_never_ends,
                          ChipFault::stuck_high_after_release, ChipFault::stuck_low_after_release})
        add(cf::at_call(k, fn.value, static_cast<int>(n)),
            std::string(sim::names::name_of(sim::names::chip_faults, k)) + " at " + at);
      for (int status : {1, 3, 0xFF})
        add(cf::wrong_status(fn.value, status, static_cast<int>(n)),
            "wrong-status " + std::to_string(status) + " at " + at);
    }
  }
  for (int block : {0, 1, 63, 64, 127})
    for (int position : {0, 31, 63})
      for (int mask : {1, 0x80})
        add(cf::corrupt_written_block(block, position, mask),
            "corrupt-written-block " + std::to_string(block) + "/" + std::to_string(position) +
                " ^" + std::to_string(mask));
  for (int block : {-1, 0, 127})
    for (int position : {0, 63})
      for (int nth : {0, 1, 2, 129, 256})
        add(cf::corrupt_read_block(block, position, 0x10, nth),
            "corrupt-read-block " + std::to_string(block) + "/" + std::to_string(position) +
                " call " + std::to_string(nth));
  for (int count : {-1, 0, 1})
    for (int offset : {1, -1, 0x100})
      for (int nth : {0, 1, 2, 128, 255})
        add(cf::checksum_off(count, offset, nth),
            "checksum-off count " + std::to_string(count) + " +" + std::to_string(offset) +
                " call " + std::to_string(nth));
  for (int position : {0, 31, 63})
    for (int value : {0, 0xFF, 0x5A})
      add(cf::buffer_byte_stuck(position, value),
          "buffer-byte-stuck " + std::to_string(position) + "=" + std::to_string(value));
  const long long vectors = r.watch.by_kind.count(-100) ? r.watch.by_kind.at(-100) : 0;
  for (int i = 0; i <= 120; ++i) {
    const long v = static_cast<long>(i < 20 ? i : vectors * (i - 20) / 100);
    add(cf::silence_after_vectors(v), "silence-after-vectors " + std::to_string(v));
  }
  for (int nth : {0, 1, 2, 3, 10, 26, 27})
    add(cf::no_answer_after_power_on(nth), "no-answer-after-power-on " + std::to_string(nth));
}

// The log's file reaching its size limit at a spread of sizes up to the whole log.
void log_cases(int scenario, const Reference& r, std::vector<Case>* out) {
  const long long size = static_cast<long long>(r.outcome.log.size());
  std::vector<long long> limits = {0, 1, 2, 3, 50, 100, 4095, 4096, 4097};
  for (int i = 1; i <= 40; ++i) limits.push_back(size * i / 40);
  for (long long d = -3; d <= 3; ++d) limits.push_back(size + d);
  std::sort(limits.begin(), limits.end());
  limits.erase(std::unique(limits.begin(), limits.end()), limits.end());
  for (long long limit : limits) {
    if (limit < 0) continue;
    Case c;
    c.scenario = scenario;
    c.file_limit = limit;
    c.always = limit < 4 || limit == size - 1;
    c.label = "log limited to " + std::to_string(limit) + " of " + std::to_string(size) + " bytes";
    out->push_back(c);
  }
}

std::vector<Case> build_cases() {
  std::vector<Case> cases;
  for (std::size_t i = 0; i < scenarios().size(); ++i) {
    Case c;
    c.scenario = static_cast<int>(i);
    c.label = "no fault";
    c.always = true;
    cases.push_back(c);
  }
  const Reference main = reference(0);
  // The chip's call counts of the reference, kept beside the observer's.
  Reference with_counts = main;
  for (const auto& fn : sim::names::rom_functions)
    with_counts.watch.by_kind[-1 - static_cast<int>(fn.value)] = sim::rom_calls(fn.value);
  const sim::Counters& k = sim::counters();
  with_counts.watch.by_kind[-100] = k.vectors_write + k.vectors_read + k.vectors_other;

  serial_call_cases(0, main, {Stage::acquisition}, 3600, &cases);
  call_kind_cases(0, main, &cases);
  counter_cases(0, main, &cases);
  chip_cases(0, with_counts, &cases);
  log_cases(0, main, &cases);
  // Discovery, the cancel and the end of input: every call of discovery and of the power-off
  // after ESC, and the call sites of each.
  const Reference discovery = reference(1);
  serial_call_cases(1, discovery, {Stage::start, Stage::discovery, Stage::open}, 60, &cases);
  call_kind_cases(1, discovery, &cases);
  for (int s : {2, 3}) {
    const Reference r = reference(s);
    serial_call_cases(s, r, {Stage::power_off}, 60, &cases);
    log_cases(s, r, &cases);
  }
  for (int s : {8, 10}) {
    const Reference r = reference(s);
    serial_call_cases(s, r, {Stage::start, Stage::discovery}, 20, &cases);
    log_cases(s, r, &cases);
  }
  // The device map failing.
  for (sim::Call kind : {sim::Call::devmap_open, sim::Call::devmap_read, sim::Call::devmap_close})
    for (int n = 1; n <= 3; ++n)
      for (uint32_t e : error_numbers) {
        Case c;
        c.scenario = 1;
        c.call_faults.push_back(call_fault(kind, n, e));
        c.label = std::string(sim::names::name_of(sim::names::call_kinds, kind)) + " call " +
                  std::to_string(n) + ", error " + error_label(e);
        cases.push_back(c);
      }
  return cases;
}

// ---- workers -------------------------------------------------------------------------------------

struct Totals {
  long long runs = 0, checked = 0, held = 0, violations = 0;
  double simulated_max = 0, real_max = 0;
  std::string first;
};

// Runs the cases index, index + stride, ... from `from` on; one line per case into out.
void worker(const std::vector<Case>& cases, const std::vector<std::size_t>& order, std::size_t from,
            std::size_t stride, const std::string& out_path) {
  std::FILE* out = std::fopen(out_path.c_str(), "a");
  if (out == nullptr) _exit(3);
  signal(SIGXFSZ, SIG_IGN);
  for (std::size_t i = from; i < order.size(); i += stride) {
    const Case& c = cases[order[i]];
    alarm(real_limit_s);
    const Outcome o = run_case(c, false);
    alarm(0);
    const Verdict v = judge(c, o);
    std::string detail;
    if (!v.first_violation.empty()) {
      detail = describe(c) + "\n  violated: " + v.first_violation + "\n  exit code " +
               std::to_string(o.exit_code) + ", simulated " + std::to_string(o.simulated_s) +
               " s, struck: " + (watch.struck.empty() ? "nothing" : watch.struck) +
               "\n  lines: rts " + std::to_string(o.lines.rts) + " dtr " + std::to_string(o.lines.dtr) +
               " break " + std::to_string(o.lines.brk) + " open " + std::to_string(o.lines.open) +
               "\n  transcript:\n" + utf8(o.console);
      for (char& ch : detail)
        if (ch == '\n') ch = '\x1F';  // one line per case in the file
    }
    std::fprintf(out, "%zu %d %d %.6f %.6f %s\n", i, v.checked, v.held, o.simulated_s, o.real_s,
                 detail.c_str());
    std::fflush(out);
  }
  std::fclose(out);
  _exit(0);
}

void read_results(const std::string& path, const std::vector<Case>& cases,
                  const std::vector<std::size_t>& order, Totals* t, std::vector<bool>* done) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::size_t i;
    int checked, held;
    double sim_s, real_s;
    if (!(ls >> i >> checked >> held >> sim_s >> real_s)) continue;
    (*done)[i] = true;
    ++t->runs;
    t->checked += checked;
    t->held += held;
    t->simulated_max = std::max(t->simulated_max, sim_s);
    t->real_max = std::max(t->real_max, real_s);
    if (held != checked) {
      ++t->violations;
      std::string rest;
      std::getline(ls, rest);
      for (char& ch : rest)
        if (ch == '\x1F') ch = '\n';
      if (t->first.empty()) t->first = rest;
    }
  }
  (void)cases;
  (void)order;
}

int usage() {
  std::fprintf(stderr,
               "usage: tolvern-faults [--sample N] [--jobs N] [--list]\n"
               "  --sample N  run about N of the cases (every category represented)\n"
               "  --jobs N    worker processes (default 2)\n"
               "  --list      print the cases and exit\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  long sample = 0;
  int jobs = 2;
  bool list = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--sample" && i + 1 < argc) sample = std::atol(argv[++i]);
    else if (a == "--jobs" && i + 1 < argc) jobs = std::max(1, std::atoi(argv[++i]));
    else if (a == "--list") list = true;
    else return usage();
  }
  char dir_template[] = "/tmp/tolvern-faults-XXXXXX";
  if (mkdtemp(dir_template) == nullptr) {
    std::perror("tolvern-faults: mkdtemp");
    return 2;
  }
  const std::string root = dir_template;
  work_dir = root + "/reference";
  mkdir(work_dir.c_str(), 0700);

  const auto started = std::chrono::steady_clock::now();
  const std::vector<Case> cases = build_cases();
  std::vector<std::size_t> order;
  if (sample > 0 && static_cast<std::size_t>(sample) < cases.size()) {
    const std::size_t step = cases.size() / static_cast<std::size_t>(sample) + 1;
    for (std::size_t i = 0; i < cases.size(); ++i)
      if (cases[i].always || i % step == step / 2) order.push_back(i);
  } else {
    for (std::size_t i = 0; i < cases.size(); ++i) order.push_back(i);
  }
  if (list) {
    for (std::size_t i : order) std::printf("%s\n", describe(cases[i]).c_str());
    return 0;
  }

  // Workers take every jobs-th case; one that dies (a run past the real-time limit, a crash)
  // is reported for the case it was running and replaced from the next one.
  Totals t;
  std::vector<bool> done(order.size(), false);
  std::vector<std::size_t> next(static_cast<std::size_t>(jobs));
  std::vector<pid_t> pids(static_cast<std::size_t>(jobs), 0);
  std::vector<std::string> files;
  int file_serial = 0;
  auto start_worker = [&](int w, std::size_t from) {
    const std::string path = root + "/results-" + std::to_string(file_serial++);
    files.push_back(path);
    const std::string wd = root + "/w" + std::to_string(w) + "-" + std::to_string(file_serial);
    mkdir(wd.c_str(), 0700);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      work_dir = wd;
      worker(cases, order, from, static_cast<std::size_t>(jobs), path);
    }
    pids[static_cast<std::size_t>(w)] = pid;
    return path;
  };
  std::vector<std::string> current(static_cast<std::size_t>(jobs));
  for (int w = 0; w < jobs; ++w) current[static_cast<std::size_t>(w)] = start_worker(w, static_cast<std::size_t>(w));
  int running = jobs;
  std::vector<std::string> died;
  while (running > 0) {
    int status = 0;
    const pid_t pid = wait(&status);
    if (pid < 0) break;
    const auto w = static_cast<std::size_t>(std::find(pids.begin(), pids.end(), pid) - pids.begin());
    if (w >= pids.size()) continue;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      --running;
      continue;
    }
    // Which of its cases was running: the first not written.
    Totals partial;
    std::vector<bool> seen(order.size(), false);
    read_results(current[w], cases, order, &partial, &seen);
    std::size_t i = w;
    while (i < order.size() && seen[i]) i += static_cast<std::size_t>(jobs);
    // Earlier restarts of this worker wrote the cases before.
    for (std::size_t k = w; k < i; k += static_cast<std::size_t>(jobs)) (void)k;
    std::size_t first_missing = w;
    {
      std::vector<bool> all(order.size(), false);
      Totals dummy;
      for (const std::string& f : files) read_results(f, cases, order, &dummy, &all);
      while (first_missing < order.size() && all[first_missing]) first_missing += static_cast<std::size_t>(jobs);
    }
    if (first_missing >= order.size()) {
      --running;
      continue;
    }
    died.push_back(describe(cases[order[first_missing]]) + "\n  violated: the run did not return within " +
                   std::to_string(real_limit_s) + " s of real time (" +
                   (WIFSIGNALED(status) ? std::string("signal ") + std::to_string(WTERMSIG(status))
                                        : "exit " + std::to_string(WEXITSTATUS(status))) +
                   ")");
    current[w] = start_worker(static_cast<int>(w), first_missing + static_cast<std::size_t>(jobs));
  }
  for (const std::string& f : files) read_results(f, cases, order, &t, &done);
  t.runs += static_cast<long long>(died.size());
  t.checked += static_cast<long long>(died.size());
  t.violations += static_cast<long long>(died.size());
  if (t.first.empty() && !died.empty()) t.first = died.front();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  std::printf("tolvern-faults: %lld runs of %zu cases, %d workers, %.0f s\n", t.runs, cases.size(),
              jobs, wall);
  std::printf("invariants held: %lld of %lld\n", t.held, t.checked);
  std::printf("longest run: %.1f s simulated, %.2f s real\n", t.simulated_max, t.real_max);
  std::printf("runs with a violation: %lld\n", t.violations);
  if (!t.first.empty()) std::printf("first violation:\n%s\n", t.first.c_str());
  std::string cleanup = "rm -rf '" + root + "'";
  if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", root.c_str());
  return t.violations == 0 && t.runs == static_cast<long long>(order.size()) ? 0 : 1;
}
