// The names of the simulated world's options, chip faults, ROM functions, serial call kinds and
// line functions, as tolvern-sim's command line, its --help and the tests spell them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "sim/world.h"

namespace sim::names {

template <typename T>
struct Named {
  const char* name;
  T value;
  const char* help;  // what it means, for --help (may be empty)
};

inline constexpr Named<PortKind> port_kinds[] = {
    {"adapter", PortKind::adapter, "the passive adapter with a healthy chip"},
    {"plain", PortKind::plain, "a port with nothing attached"},
    {"busy", PortKind::busy, "held by another program (access denied)"},
    {"absent", PortKind::absent, "no such port"}};

inline constexpr Named<RomFunction> rom_functions[] = {
    {"read-block", RomFunction::read_block, ""}, {"write-block", RomFunction::write_block, ""},
    {"protect", RomFunction::protect, ""},       {"erase-all", RomFunction::erase_all, ""},
    {"table-read", RomFunction::table_read, ""}, {"checksum", RomFunction::checksum, ""},
    {"calibrate", RomFunction::calibrate, ""}};

// Each kind's help names the settings it reads.
inline constexpr Named<ChipFault> chip_faults[] = {
    {"no-answer-after-power-on", ChipFault::no_answer_after_power_on,
     "data line stays high after power-on [nth: that power-on]"},
    {"no-busy", ChipFault::no_busy, "the call never raises the busy signal [function, nth]"},
    {"busy-never-ends", ChipFault::busy_never_ends, "the busy signal never falls [function, nth]"},
    {"stuck-high-after-release", ChipFault::stuck_high_after_release,
     "line high after the release that starts a call [function, nth]"},
    {"stuck-low-after-release", ChipFault::stuck_low_after_release,
     "line stays low after the release [function, nth]"},
    {"wrong-status", ChipFault::wrong_status, "the call answers status byte value [function, nth]"},
    {"corrupt-written-block", ChipFault::corrupt_written_block,
     "written byte position XOR value [block (needed), position, nth]"},
    {"checksum-off", ChipFault::checksum_off,
     "checksum over count blocks (0 all) answers + value [count, nth]"},
    {"buffer-byte-stuck", ChipFault::buffer_byte_stuck,
     "block buffer byte position always reads value"},
    {"silence-after-vectors", ChipFault::silence_after_vectors,
     "after vectors vectors the chip answers nothing any more"},
    {"corrupt-read-block", ChipFault::corrupt_read_block,
     "read byte position XOR value [block (default any), position, nth]"},
    {"read-block-untouched", ChipFault::read_block_untouched,
     "read block answers status 0 but leaves the buffer as it was [nth]"},
    {"brown-out", ChipFault::brown_out,
     "after vectors vectors the supply dips: the chip restarts, unacquired"},
    {"late-answer", ChipFault::late_answer,
     "the busy signal rises value us after the release [function, nth]"},
    {"answer-without-clock", ChipFault::answer_without_clock,
     "the call starts at the release, its busy signal value us later, no clock needed [function, nth]"}};

inline constexpr Named<Call> call_kinds[] = {
    {"any", Call::any_serial, ""},           {"open", Call::open, ""},
    {"clear-errors", Call::clear_errors, ""}, {"build-dcb", Call::build_dcb, ""},
    {"set-state", Call::set_state, ""},       {"purge", Call::purge, ""},
    {"close", Call::close, ""},               {"escape", Call::escape, ""},
    {"modem-status", Call::modem_status, ""}, {"set-mask", Call::set_mask, ""},
    {"create-event", Call::create_event, ""}, {"wait-event", Call::wait_event, ""},
    {"devmap-open", Call::devmap_open, ""},   {"devmap-read", Call::devmap_read, ""},
    {"devmap-close", Call::devmap_close, ""}, {"counter", Call::counter, ""},
    {"frequency", Call::frequency, ""},       {"current-directory", Call::current_directory, ""},
    {"usb-list", Call::usb_list, ""},         {"usb-open", Call::usb_open, ""},
    {"usb-setup", Call::usb_setup, ""},       {"usb-transfer", Call::usb_transfer, ""}};

inline constexpr Named<uint32_t> line_functions[] = {
    {"SETRTS", platform::SETRTS, ""},     {"CLRRTS", platform::CLRRTS, ""},
    {"SETDTR", platform::SETDTR, ""},     {"CLRDTR", platform::CLRDTR, ""},
    {"SETBREAK", platform::SETBREAK, ""}, {"CLRBREAK", platform::CLRBREAK, ""}};

// World options of tolvern-sim; the argument is empty for a plain switch.
struct WorldOption {
  const char* name;
  const char* argument;
  const char* help;  // lines separated by '\n'
};
inline constexpr WorldOption world_options[] = {
    {"--confirm", "", "press ENTER when the last-chance prompt appears"},
    {"--cancel", "",
     "press ESC when it appears\n(without either, the real keyboard answers; the session is shown\n"
     "live either way; with -T and either, the line test ends after one\nfull cycle)"},
    {"--ports", "LIST",
     "which COM ports exist and what is attached, e.g.\n1:adapter,3:plain,4:busy (kinds: see below);\n"
     "the serial device map lists every port that is not absent.\n"
     "Default: an adapter with a healthy chip on COM1."},
    {"--usb", "LIST",
     "USB-serial bridges for -F, e.g. FT232R or FT232R:5,CH340:3 (chip and\n"
     "the COM number it has; an FT232R carries the adapter). Default: none."},
    {"--usb-round-trip-us", "N", "what each USB round trip costs besides its bytes (default 1000)"},
    {"--fault", "FAULT", "inject a fault; may be repeated (see below)"},
    {"--window-us", "N", "the chip's power-on window in microseconds (default 30000)"},
    {"--latency-us", "N", "simulated cost of every serial call in microseconds (default 0)"},
    {"--dump-flash", "FILE",
     "write the chip's 8192 flash bytes to FILE after the run (when FILE\n"
     "cannot be written after a successful run, the status is 2)"},
    {"--summary", "",
     "after the run: simulated time, serial calls by kind, supervisory\n"
     "calls by function, whether the flash equals the image, protection"},
    {"--help", "", "this text"},
    {"--version", "", "the version of Tolvern this program belongs to"}};

// World settings that loosen (or, for --fail-on-contention, tighten) the strict default
// world. apply gets the number given (0 for a plain switch) and says whether it was valid.
struct Setting {
  const char* name;
  const char* argument;  // empty for a plain switch
  const char* help;
  bool (*apply)(double value);
};
inline constexpr Setting world_settings[] = {
    {"--dsr-delay-us", "N",
     "how long the adapter's DSR takes to follow RTS (default 40000;\nthe tool waits 100000)",
     [](double v) { return (adapter::config().dsr_delay_us = v, true); }},
    {"--dsr-stuck", "0|1", "DSR stuck at that level whatever RTS does",
     [](double v) { return v == 0 || v == 1 ? (adapter::config().dsr_stuck = static_cast<int>(v), true) : false; }},
    {"--power-reset-off-us", "N",
     "how long RTS must stay off before the target is reset (default\n500000; shorter off times "
     "find the chip as it was)",
     [](double v) { return (adapter::config().power_reset_off_us = v, true); }},
    {"--power-up-high-us", "N",
     "how long the chip holds the data line high while it boots after\npower-on (default 200)",
     [](double v) { return (chip_config().power_up_high_us = v, true); }},
    {"--min-half-period-us", "N",
     "the shortest clock phase the chip follows (default 2; 0 any)",
     [](double v) { return (chip_config().min_half_period_us = v, true); }},
    {"--min-release-us", "N",
     "the shortest release before a read's turnaround clock (default 2)",
     [](double v) { return (chip_config().min_release_us = v, true); }},
    {"--lenient-init", "",
     "the chip finds the initialisation vector in any bit stream\n(default: only idle zeros may "
     "come before it)",
     [](double) { return (chip_config().strict_init = false, true); }},
    {"--lenient-parameters", "",
     "parameters written for an earlier call still count (default:\nevery call needs its own)",
     [](double) { return (chip_config().parameters_per_call = false, true); }},
    {"--no-protection", "", "protected blocks can still be read and written",
     [](double) { return (chip_config().enforce_protection = false, true); }},
    {"--fail-on-contention", "",
     "break on while the chip drives the line spoils the frame\n(default: only counted)",
     [](double) { return (chip_config().fail_on_contention = true, true); }}};

inline const Setting* find_setting(std::string_view name) {
  for (const Setting& s : world_settings)
    if (name == s.name) return &s;
  return nullptr;
}

template <typename T, std::size_t N>
bool lookup(const Named<T> (&table)[N], std::string_view name, T* out) {
  for (const auto& entry : table) {
    if (name == entry.name) {
      *out = entry.value;
      return true;
    }
  }
  return false;
}

template <typename T, std::size_t N>
const char* name_of(const Named<T> (&table)[N], T value) {
  for (const auto& entry : table)
    if (entry.value == value) return entry.name;
  return "?";
}

// The settings of a chip fault as tolvern-sim's --fault spells them, with their defaults.
struct FaultSettings {
  int function = any_function;
  int nth = 0;
  int block = -1;
  int position = 0;
  int count = -1;
  int value = 0;  // the status byte, XOR mask, checksum offset or stuck byte, by kind
  long vectors = 0;
};
ChipFaultSpec chip_fault_from_settings(ChipFault kind, const FaultSettings& settings);

// tolvern-sim --help, from the tables above.
std::string help_text();

}  // namespace sim::names
