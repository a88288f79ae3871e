// The fault sweep's cases: serial calls failing at call N (every N of the stages that matter,
// the first and last call of every call site, an even spread), the Nth call of each kind, the
// counter, every chip fault at every supervisory function the run calls, the log's file size
// limit, and the scenarios' own operators and ports. The calls are found by reference runs
// without a fault.
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "sim/names.h"
#include "sweep/fault_sweep.h"

namespace fault_sweep {

namespace {

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
  r.outcome = run_case(c, true, &r.watch);
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
      // Late, but inside the clocked passes, in the quiet watch, and near its end; through the
      // cable also within one round trip and a few, where only bytes written ahead see it.
      std::vector<double> delays = {10.0, 1000.0, 400000.0};
      if (!scenarios()[static_cast<std::size_t>(scenario)].usb.empty())
        delays.insert(delays.end(), {100.0, 300.0, 600.0, 1500.0, 2500.0});
      for (double delay_us : delays)
        add(cf::late_answer(fn.value, delay_us, static_cast<int>(n)),
            "late-answer " + std::to_string(static_cast<long>(delay_us)) + " us at " + at);
      // A call that starts at the release, without a clock, and answers while the cable's host
      // is still deciding on the low line.
      add(cf::answer_without_clock(fn.value, 300, static_cast<int>(n)), "answer-without-clock 300 us at " + at);
      if (fn.value == sim::RomFunction::read_block) add(cf::read_block_untouched(static_cast<int>(n)), "read-block-untouched at " + at);
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
    add(cf::brown_out(v), "brown-out after " + std::to_string(v) + " vectors");
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

}  // namespace

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
  // The adapter's own faults: DSR stuck or slower than the probe's wait, in discovery; a supply
  // that stays charged through the power-off, alone and with a chip that misses its first
  // power-on (the next attempt then finds it unreset).
  for (int scenario : {0, 1}) {
    for (int stuck : {0, 1}) {
      Case c;
      c.scenario = scenario;
      c.adapter.dsr_stuck = stuck;
      c.label = "DSR stuck at " + std::to_string(stuck);
      cases.push_back(c);
    }
    for (double delay_us : {90000.0, 100000.0, 150000.0, 1e6}) {
      Case c;
      c.scenario = scenario;
      c.adapter.dsr_delay_us = delay_us;
      c.label = "DSR " + std::to_string(static_cast<long>(delay_us)) + " us behind RTS";
      cases.push_back(c);
    }
  }
  for (double off_us : {1e6, 1.5e6, 5e6, 1e9})
    for (bool missed : {false, true}) {
      Case c;
      c.adapter.power_reset_off_us = off_us;
      if (missed) c.chip_faults.push_back(sim::chip_fault::no_answer_after_power_on(1));
      c.label = "supply charged until " + std::to_string(static_cast<long>(off_us)) + " us off" +
                (missed ? ", first power-on missed" : "");
      cases.push_back(c);
    }
  // The FT232R cable: every library call kind failing at its Nth call (a round trip failing
  // with 1167 is the cable pulled out), every chip fault through it, and its own scenarios.
  const int cable = static_cast<int>(std::find_if(scenarios().begin(), scenarios().end(),
                                                  [](const Scenario& s) { return !s.usb.empty(); }) -
                                     scenarios().begin());
  Reference cable_run = reference(cable);
  call_kind_cases(cable, cable_run, &cases);
  for (const auto& fn : sim::names::rom_functions)
    cable_run.watch.by_kind[-1 - static_cast<int>(fn.value)] = sim::rom_calls(fn.value);
  cable_run.watch.by_kind[-100] = with_counts.watch.by_kind[-100];
  chip_cases(cable, cable_run, &cases);
  for (int s = cable + 1; s < static_cast<int>(scenarios().size()); ++s) call_kind_cases(s, reference(s), &cases);
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

}  // namespace fault_sweep
