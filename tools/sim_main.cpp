// tolvern-sim: the real tool linked against the simulated adapter and PSoC 1 chip.
//
//   tolvern-sim [world options] [tool switches]
//
// Arguments beginning with "--" describe the simulated world; every other argument is handed
// to the tool unchanged, in its order. The tool's program name (its argv[0]) is the real path
// of this binary (from /proc/self/exe), so the program directory, where the tool looks for
// "Tolvern.log" and "Tolvern*.dat", is the directory the binary lives in. The exit status is
// the tool's exit code as the platform carries it (platform::process_exit_status).
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "output/keyboard.h"
#include "platform/platform.h"
#include "sim/tool_run.h"
#include "sim/world.h"

namespace {

constexpr int usage_status = 2;

const char* const help_text =
    "usage: tolvern-sim [world options] [tool switches]\n"
    "\n"
    "Runs Tolvern against a simulated passive adapter and PSoC 1 chip. Arguments that begin\n"
    "with \"--\" describe the world; all others (-C<n>, -D, -L, -T) go to the tool unchanged.\n"
    "The tool sees this binary's own path as its program name, so Tolvern.log and\n"
    "Tolvern*.dat are looked for in the directory tolvern-sim lives in. The exit status is\n"
    "the tool's exit code.\n"
    "\n"
    "World options:\n"
    "  --confirm          press ENTER when the last-chance prompt appears\n"
    "  --cancel           press ESC when it appears\n"
    "                     (without either, the real keyboard answers; the session is shown\n"
    "                     live either way; with -T and either, the line test ends after one\n"
    "                     full cycle)\n"
    "  --ports=LIST       which COM ports exist and what is attached, e.g.\n"
    "                     1:adapter,3:plain,4:busy (kinds: adapter, plain, busy, absent);\n"
    "                     the serial device map lists every port that is not absent.\n"
    "                     Default: an adapter with a healthy chip on COM1.\n"
    "  --fault=FAULT      inject a fault; may be repeated (see below)\n"
    "  --window-us=N      the chip's power-on window in microseconds (default 30000)\n"
    "  --latency-us=N     simulated cost of every serial call in microseconds (default 0)\n"
    "  --dump-flash=FILE  write the chip's 8192 flash bytes to FILE after the run (when FILE\n"
    "                     cannot be written after a successful run, the status is 2)\n"
    "  --summary          after the run: simulated time, serial calls by kind, supervisory\n"
    "                     calls by function, whether the flash equals the image, protection\n"
    "  --help             this text\n"
    "\n"
    "Chip faults: NAME[:KEY=VALUE,...]\n"
    "  NAME  no-answer-after-power-on, no-busy, busy-never-ends, stuck-high-after-release,\n"
    "        stuck-low-after-release, wrong-status, corrupt-written-block, checksum-off,\n"
    "        buffer-byte-stuck, silence-after-vectors, corrupt-read-block\n"
    "  KEY   function  supervisory function it applies to: a number or read-block,\n"
    "                  write-block, protect, erase-all, table-read, checksum, calibrate\n"
    "        nth       only that call of the function (1-based; default every call)\n"
    "        block, position, count, value, vectors   as the fault needs them\n"
    "  e.g.  no-busy:function=write-block,nth=3   wrong-status:function=2,value=3\n"
    "        corrupt-written-block:block=5,position=3,value=0x10   checksum-off:count=0,value=1\n"
    "        silence-after-vectors:vectors=20000\n"
    "\n"
    "Serial-call failures: call:KIND[,nth=N][,error=E][,sticky][,line=FUNCTION]\n"
    "  KIND  any, open, clear-errors, build-dcb, set-state, purge, close, escape,\n"
    "        modem-status, set-mask, create-event, wait-event, devmap-open, devmap-read,\n"
    "        devmap-close, counter, frequency, current-directory\n"
    "  nth   the Nth call of that kind fails (default 1); sticky: every call from the Nth on\n"
    "  error the Windows error number left behind (default 31)\n"
    "  line  for escape: count only SETRTS, CLRRTS, SETDTR, CLRDTR, SETBREAK or CLRBREAK\n"
    "  e.g.  call:escape,nth=100,error=5   call:modem-status,nth=2000,sticky\n";

struct Options {
  bool confirm = false;
  bool cancel = false;
  bool summary = false;
  std::string dump_path;
  std::vector<std::string> tool_args;
};

bool usage_error(const char* what, const std::string& arg) {
  std::fprintf(stderr, "tolvern-sim: %s: %s (see tolvern-sim --help)\n", what, arg.c_str());
  return false;
}

bool parse_long(const std::string& text, long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0') return false;
  *out = v;
  return true;
}

bool parse_microseconds(const std::string& text, double* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !(v >= 0) || v > 1e9) return false;
  *out = v;
  return true;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  for (;;) {
    const auto at = text.find(separator, start);
    parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

template <typename T>
struct Named {
  const char* name;
  T value;
};

template <typename T, std::size_t N>
bool lookup(const Named<T> (&table)[N], const std::string& name, T* out) {
  for (const auto& entry : table) {
    if (name == entry.name) {
      *out = entry.value;
      return true;
    }
  }
  return false;
}

constexpr Named<sim::PortKind> port_kinds[] = {
    {"adapter", sim::PortKind::adapter}, {"plain", sim::PortKind::plain},
    {"busy", sim::PortKind::busy},       {"absent", sim::PortKind::absent}};

constexpr Named<sim::ChipFault> chip_faults[] = {
    {"no-answer-after-power-on", sim::ChipFault::no_answer_after_power_on},
    {"no-busy", sim::ChipFault::no_busy},
    {"busy-never-ends", sim::ChipFault::busy_never_ends},
    {"stuck-high-after-release", sim::ChipFault::stuck_high_after_release},
    {"stuck-low-after-release", sim::ChipFault::stuck_low_after_release},
    {"wrong-status", sim::ChipFault::wrong_status},
    {"corrupt-written-block", sim::ChipFault::corrupt_written_block},
    {"checksum-off", sim::ChipFault::checksum_off},
    {"buffer-byte-stuck", sim::ChipFault::buffer_byte_stuck},
    {"silence-after-vectors", sim::ChipFault::silence_after_vectors},
    {"corrupt-read-block", sim::ChipFault::corrupt_read_block}};

constexpr Named<sim::Call> call_kinds[] = {
    {"any", sim::Call::any_serial},           {"open", sim::Call::open},
    {"clear-errors", sim::Call::clear_errors}, {"build-dcb", sim::Call::build_dcb},
    {"set-state", sim::Call::set_state},       {"purge", sim::Call::purge},
    {"close", sim::Call::close},               {"escape", sim::Call::escape},
    {"modem-status", sim::Call::modem_status}, {"set-mask", sim::Call::set_mask},
    {"create-event", sim::Call::create_event}, {"wait-event", sim::Call::wait_event},
    {"devmap-open", sim::Call::devmap_open},   {"devmap-read", sim::Call::devmap_read},
    {"devmap-close", sim::Call::devmap_close}, {"counter", sim::Call::counter},
    {"frequency", sim::Call::frequency},       {"current-directory", sim::Call::current_directory}};

constexpr Named<int> line_functions[] = {
    {"SETRTS", 3}, {"CLRRTS", 4}, {"SETDTR", 5}, {"CLRDTR", 6}, {"SETBREAK", 8}, {"CLRBREAK", 9}};

constexpr Named<int> srom_functions[] = {
    {"read-block", 1}, {"write-block", 2}, {"protect", 4}, {"erase-all", 5},
    {"table-read", 6}, {"checksum", 7},    {"calibrate", 9}};

bool parse_ports(const std::string& arg, const std::string& list) {
  sim::clear_ports();
  for (const std::string& item : split(list, ',')) {
    const auto colon = item.find(':');
    long com = 0;
    sim::PortKind kind{};
    if (colon == std::string::npos || !parse_long(item.substr(0, colon), &com) || com < 1 ||
        com > 255 || !lookup(port_kinds, item.substr(colon + 1), &kind)) {
      return usage_error("bad port entry", item.empty() ? arg : item);
    }
    sim::set_port(static_cast<int>(com), kind);
  }
  sim::devmap_from_ports();
  return true;
}

bool parse_call_fault(const std::string& arg, const std::vector<std::string>& items) {
  sim::CallFault fault;
  if (items.empty() || !lookup(call_kinds, items[0], &fault.call)) {
    return usage_error("unknown serial call in fault", arg);
  }
  for (std::size_t i = 1; i < items.size(); ++i) {
    const std::string& item = items[i];
    if (item == "sticky") {
      fault.sticky = true;
      continue;
    }
    const auto eq = item.find('=');
    const std::string key = item.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
    long v = 0;
    int line = 0;
    if (key == "nth" && parse_long(value, &v) && v >= 1 && v <= 1000000000L) {
      fault.nth = static_cast<int>(v);
    } else if (key == "error" && parse_long(value, &v) && v >= 0 && v <= 0xFFFFFFFFL) {
      fault.error = static_cast<uint32_t>(v);
    } else if (key == "line" && lookup(line_functions, value, &line)) {
      fault.escape_function = static_cast<uint32_t>(line);
    } else {
      return usage_error("bad serial-call fault setting", item);
    }
  }
  sim::add_call_fault(fault);
  return true;
}

bool parse_fault(const std::string& arg, const std::string& text) {
  const auto colon = text.find(':');
  const std::string name = text.substr(0, colon);
  std::vector<std::string> items;
  if (colon != std::string::npos) items = split(text.substr(colon + 1), ',');
  if (name == "call") return parse_call_fault(arg, items);

  sim::ChipFaultSpec fault;
  if (!lookup(chip_faults, name, &fault.kind)) return usage_error("unknown fault", arg);
  for (const std::string& item : items) {
    const auto eq = item.find('=');
    if (eq == std::string::npos) return usage_error("bad fault setting", item);
    const std::string key = item.substr(0, eq);
    const std::string value = item.substr(eq + 1);
    long v = 0;
    int function = 0;
    if (key == "function" && lookup(srom_functions, value, &function)) {
      fault.function = function;
      continue;
    }
    if (!parse_long(value, &v) || v < -1000000000L || v > 1000000000L) {
      return usage_error("bad fault value", item);
    }
    const int n = static_cast<int>(v);
    if (key == "function") fault.function = n;
    else if (key == "nth") fault.nth_call = n;
    else if (key == "block") fault.block = n;
    else if (key == "position") fault.position = n;
    else if (key == "count") fault.count = n;
    else if (key == "value") fault.value = n;
    else if (key == "vectors") fault.vectors = v;
    else return usage_error("bad fault setting", item);
  }
  sim::chip_config().faults.push_back(fault);
  return true;
}

// 1 parsed, 0 --help shown, -1 a usage error (already reported).
int parse_arguments(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0) {
      options->tool_args.push_back(arg);
      continue;
    }
    const auto eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    const bool has_value = eq != std::string::npos;
    const std::string value = has_value ? arg.substr(eq + 1) : std::string();
    double us = 0;
    bool ok = true;
    if (name == "--help" && !has_value) {
      std::fputs(help_text, stdout);
      return 0;
    } else if (name == "--confirm" && !has_value) {
      options->confirm = true;
    } else if (name == "--cancel" && !has_value) {
      options->cancel = true;
    } else if (name == "--summary" && !has_value) {
      options->summary = true;
    } else if (name == "--dump-flash" && has_value && !value.empty()) {
      options->dump_path = value;
    } else if (name == "--ports" && has_value) {
      ok = parse_ports(arg, value);
    } else if (name == "--fault" && has_value) {
      ok = parse_fault(arg, value);
    } else if (name == "--window-us" && has_value) {
      ok = parse_microseconds(value, &us) ? (sim::chip_config().power_on_window_us = us, true)
                                          : usage_error("bad number of microseconds", arg);
    } else if (name == "--latency-us" && has_value) {
      ok = parse_microseconds(value, &us) ? (sim::set_latency_us(us), true)
                                          : usage_error("bad number of microseconds", arg);
    } else {
      ok = usage_error("unknown world option", arg);
    }
    if (!ok) return -1;
  }
  if (options->confirm && options->cancel) {
    usage_error("choose one of", "--confirm, --cancel");
    return -1;
  }
  return 1;
}

std::string own_path(const char* fallback) {
  char buffer[4096];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return fallback;
  buffer[n] = '\0';
  return buffer;
}

// The tool's own switch parsing decides what is valid; this only spots a -T among them.
bool line_test_requested(const std::vector<std::string>& tool_args) {
  for (const auto& a : tool_args) {
    if (a.size() == 2 && a[0] == '-' && (a[1] == 'T' || a[1] == 't')) return true;
  }
  return false;
}

// The last report line of a line-test cycle (plain ASCII, the same in both code pages).
constexpr const char* last_line_test_report = "DTR = 0\r\n";

void print_summary(int32_t exit_code) {
  const sim::Counters& c = sim::counters();
  std::printf("\n--- tolvern-sim summary ---\n");
  std::printf("exit code:          %d\n", static_cast<int>(exit_code));
  std::printf("simulated time:     %.0f us\n", sim::now_us());
  std::printf("serial calls:       %lld (escape %lld, modem status %lld, other %lld)\n",
              c.serial_calls, c.escape_calls, c.modem_status_calls, c.other_serial_calls);
  std::printf("counter reads:      %lld, sleeps %lld, clock pulses %lld, power-ons %lld\n",
              c.counter_reads, c.sleeps, c.clock_pulses, c.power_ons);
  std::printf("vectors:            write %lld, read %lld, other %lld\n", c.vectors_write,
              c.vectors_read, c.vectors_other);
  std::printf("supervisory calls: ");
  for (const auto& f : srom_functions) {
    std::printf(" %s %lld", f.name, c.srom_calls[static_cast<std::size_t>(f.value)]);
  }
  std::printf("\n");
  std::printf("flash equals image: %s\n", sim::flash_equals_image() ? "yes" : "no");
  if (!sim::protection_set()) {
    std::printf("protection bytes:   not set\n");
  } else {
    std::printf("protection bytes:  ");
    const auto& p = sim::protection();
    for (std::size_t i = 0; i < p.size(); ++i) {
      std::printf("%s%02X", (i % 32 == 0 && i != 0) ? "\n                    " : " ", p[i]);
    }
    std::printf("\n");
  }
}

bool dump_flash(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    std::fprintf(stderr, "tolvern-sim: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  const auto& flash = sim::flash();
  const bool wrote = std::fwrite(flash.data(), 1, flash.size(), f) == flash.size();
  const bool closed = std::fclose(f) == 0;
  if (!wrote || !closed) {
    std::fprintf(stderr, "tolvern-sim: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  sim::reset();
  Options options;
  const int parsed = parse_arguments(argc, argv, &options);
  if (parsed <= 0) return parsed == 0 ? 0 : usage_status;

  char cwd[4096];
  if (getcwd(cwd, sizeof cwd)) sim::set_current_directory(cwd);

  int answer = sim::no_answer;
  if (options.confirm || options.cancel) {
    sim::set_console_echo(true);
    const int key = options.confirm ? output::key_enter : output::key_esc;
    // The line test waits for any key: with scripted keys it ends after one full cycle,
    // since nobody could press one.
    if (line_test_requested(options.tool_args)) {
      sim::push_keys_after(last_line_test_report, {key});
    } else {
      answer = key;
    }
  } else {
    sim::set_console_passthrough(true);
  }

  const int32_t exit_code = sim::run_tool(own_path(argv[0]), options.tool_args, answer);

  std::fflush(stdout);
  int status = platform::process_exit_status(exit_code);
  if (options.summary) print_summary(exit_code);
  if (!options.dump_path.empty() && !dump_flash(options.dump_path) && status == 0) {
    status = usage_status;
  }
  std::fflush(stdout);
  return status;
}
