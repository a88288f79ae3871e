// tolvern-sim: the real tool linked against the simulated adapter and PSoC 1 chip.
//
//   tolvern-sim [world options] [tool switches]
//
// Arguments beginning with "--" describe the simulated world; every other argument is handed
// to the tool unchanged, in its order. Started with a path, the tool's program name (its
// argv[0]) is the real path of this binary (from /proc/self/exe), so the program directory,
// where the tool looks for "Tolvern.log" and "Tolvern*.dat", is the directory the binary lives
// in; started through PATH (a bare name, as from /usr/bin), it is the bare name, and the
// program directory is the current directory, as for tolvern itself. The exit status is
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
#include "platform/posix/host.h"
#include "serial/ft232r.h"
#include "sim/names.h"
#include "sim/tool_run.h"
#include "sim/world.h"

namespace {

using sim::names::lookup;

constexpr int usage_status = 2;

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

bool parse_ports(const std::string& arg, const std::string& list) {
  sim::clear_ports();
  for (const std::string& item : split(list, ',')) {
    const auto colon = item.find(':');
    long com = 0;
    sim::PortKind kind{};
    if (colon == std::string::npos || !parse_long(item.substr(0, colon), &com) || com < 1 ||
        com > 255 || !lookup(sim::names::port_kinds, item.substr(colon + 1), &kind)) {
      return usage_error("bad port entry", item.empty() ? arg : item);
    }
    sim::set_port(static_cast<int>(com), kind);
  }
  sim::devmap_from_ports();
  return true;
}

// CHIP[:COM] entries, serial numbers made up from their place in the list.
bool parse_usb(const std::string& arg, const std::string& list) {
  std::vector<sim::UsbDevice> devices;
  for (const std::string& item : split(list, ',')) {
    const auto colon = item.find(':');
    sim::UsbDevice d;
    d.chip = item.substr(0, colon);
    long com = 0;
    if (d.chip.empty() || (colon != std::string::npos &&
                           (!parse_long(item.substr(colon + 1), &com) || com < 1 || com > 99))) {
      return usage_error("bad USB entry", item.empty() ? arg : item);
    }
    d.com_port = static_cast<int>(com);
    d.serial = "A10KSIM" + std::to_string(devices.size() + 1);
    devices.push_back(d);
  }
  sim::set_usb_devices(devices);
  return true;
}

bool parse_call_fault(const std::string& arg, const std::vector<std::string>& items) {
  sim::CallFault fault;
  if (items.empty() || !lookup(sim::names::call_kinds, items[0], &fault.call)) {
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
    uint32_t line = 0;
    if (key == "nth" && parse_long(value, &v) && v >= 1 && v <= 1000000000L) {
      fault.nth = static_cast<int>(v);
    } else if (key == "error" && parse_long(value, &v) && v >= 0 && v <= 0xFFFFFFFFL) {
      fault.error = static_cast<uint32_t>(v);
    } else if (key == "port" && parse_long(value, &v) && v >= 1 && v <= 99) {
      fault.port = static_cast<int>(v);
    } else if (key == "line" && lookup(sim::names::line_functions, value, &line)) {
      fault.escape_function = line;
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

  sim::ChipFault kind{};
  sim::names::FaultSettings settings;
  if (!lookup(sim::names::chip_faults, name, &kind)) return usage_error("unknown fault", arg);
  for (const std::string& item : items) {
    const auto eq = item.find('=');
    if (eq == std::string::npos) return usage_error("bad fault setting", item);
    const std::string key = item.substr(0, eq);
    const std::string value = item.substr(eq + 1);
    long v = 0;
    sim::RomFunction function{};
    if (key == "function" && lookup(sim::names::rom_functions, value, &function)) {
      settings.function = static_cast<int>(function);
      continue;
    }
    if (!parse_long(value, &v) || v < -1000000000L || v > 1000000000L) {
      return usage_error("bad fault value", item);
    }
    const int n = static_cast<int>(v);
    if (key == "function") settings.function = n;
    else if (key == "nth") settings.nth = n;
    else if (key == "block") settings.block = n;
    else if (key == "position") settings.position = n;
    else if (key == "count") settings.count = n;
    else if (key == "value") settings.value = n;
    else if (key == "vectors") settings.vectors = v;
    else return usage_error("bad fault setting", item);
  }
  sim::chip_config().faults.push_back(sim::names::chip_fault_from_settings(kind, settings));
  return true;
}

// 1 parsed, 0 --help or --version shown, -1 a usage error (already reported).
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
      std::fputs(sim::names::help_text().c_str(), stdout);
      return 0;
    } else if (name == "--version" && !has_value) {
      std::puts("tolvern-sim " TOLVERN_VERSION);
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
    } else if (name == "--usb" && has_value) {
      ok = parse_usb(arg, value);
    } else if (name == "--usb-round-trip-us" && has_value) {
      ok = parse_microseconds(value, &us) ? (sim::set_usb_round_trip_us(us), true)
                                          : usage_error("bad number of microseconds", arg);
    } else if (name == "--fault" && has_value) {
      ok = parse_fault(arg, value);
    } else if (name == "--window-us" && has_value) {
      ok = parse_microseconds(value, &us) ? (sim::chip_config().power_on_window_us = us, true)
                                          : usage_error("bad number of microseconds", arg);
    } else if (const sim::names::Setting* setting = sim::names::find_setting(name)) {
      const bool plain_switch = *setting->argument == '\0';
      if (plain_switch ? has_value : !(has_value && parse_microseconds(value, &us))) {
        ok = usage_error(plain_switch ? "takes no value" : "bad number", arg);
      } else {
        ok = setting->apply(us) || usage_error("bad value", arg);
      }
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
  if (fallback == nullptr) fallback = "tolvern-sim";
  if (std::strchr(fallback, '/') == nullptr) return fallback;
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
  std::printf("wire faults:        malformed frames %lld, refused calls %lld, timing violations "
              "%lld, contention %lld\n",
              c.malformed_frames, c.rejected_calls, c.timing_violations, c.contention);
  std::printf("supervisory calls: ");
  for (const auto& f : sim::names::rom_functions) {
    std::printf(" %s %lld", f.name, sim::rom_calls(f.value));
  }
  std::printf("\n");
  const sim::CableCounters& cable = sim::cable_counters();
  if (cable.transfers > 0) {
    std::printf("USB cable:          %lld round trips in %lld transfers, %lld bytes each way, "
                "%lld stretches unsampled during calls (%.0f us)\n",
                ft232r::counters().decisions, cable.transfers, cable.bytes, cable.gaps_in_calls,
                cable.gap_us_in_calls);
  }
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
    // A person reads the line test as it runs: its pauses take their real time.
    if (line_test_requested(options.tool_args) && isatty(STDIN_FILENO) == 1) {
      sim::set_real_time_sleeps(true);
    }
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
