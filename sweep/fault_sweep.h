// The fault sweep's pieces: the scenarios around a run, one run with its injected failure and
// what the simulated world saw, the invariants every ending must keep, and the list of cases.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/world.h"

namespace fault_sweep {

// Where a call falls in the run, as the console and the chip's calls tell.
enum class Stage {
  start, discovery, open, acquisition, prompt, erase, write, second_pass, protect, checksum,
  power_off, ending, count
};
inline constexpr const char* stage_names[] = {"start",   "discovery", "open",        "acquisition",
                                       "prompt",  "erase",     "write",       "second pass",
                                       "protect", "checksum",  "power-off",   "ending"};

// The world and the operator around a run, without the injected failure.
struct Scenario {
  const char* name;
  std::vector<std::string> args;
  std::vector<std::pair<int, sim::PortKind>> ports;  // empty: the default (adapter on COM1)
  int answer;                                         // key pressed at the prompt, 0 = none
  std::vector<std::vector<int>> typed_first;          // keys typed at the prompt before it
  std::vector<int> keys_before;                       // keys waiting before the run starts
  std::vector<sim::UsbDevice> usb = {};               // the USB-serial bridges (-F)
};
const std::vector<Scenario>& scenarios();

struct Case {
  int scenario = 0;
  std::string label;
  std::vector<sim::CallFault> call_faults;
  std::vector<sim::ChipFaultSpec> chip_faults;
  long long file_limit = -1;  // RLIMIT_FSIZE for the run (the log), -1 = none
  sim::adapter::Config adapter;  // the adapter's own faults (slow or stuck DSR, a slow discharge)
  bool always = false;        // part of every sample
};
std::string describe(const Case& c);

struct LineTouch {
  uint32_t function = 0;
  bool failed = false;
};

// What the call observer saw during one run.
struct Watch {
  long long serial_calls = 0;
  long long counter_reads = 0;            // references only, from the world's counters
  std::map<int, long long> by_kind;       // calls per kind (escapes: 100 + line function index)
  LineTouch rts, dtr, brk;                // last switch of each line
  bool close_failed = false;              // the last CloseHandle failed
  bool transfer_failed = false;           // the cable's last round trip failed
  int failures = 0;
  std::string struck;                     // the first call that failed, and its stage
  std::size_t seen_console = 0;           // the stage as read from the console so far
  int text_stage = 0;
  bool record = false;                    // a reference run: keep the call map below
  std::vector<uint8_t> serial_stage;      // per serial call
  std::vector<uint16_t> serial_site;      // per serial call: kind * 16 + line function index
};

struct Outcome {
  int32_t exit_code;
  double simulated_s;
  double real_s;
  bool flash_ok, protected_ok;
  sim::LineState lines;
  int open_ports;
  int port;
  std::string console;  // code page 866
  std::string log;      // Windows-1251, as the file holds it
  bool log_present;
  // What the chip saw of the tool's own conduct on the wire.
  long long contention, timing_violations, malformed_frames;
  // Through the cable: times the chip stood without bytes to clock, sampling nothing, while a
  // supervisory call ran, and how long in all.
  long long gaps_in_calls;
  double gap_us_in_calls;
};

// The runs' program directory: a real one, the log is a real file.
extern std::string work_dir;

// Runs the case in a fresh world; *seen gets what the observer saw.
Outcome run_case(const Case& c, bool record, Watch* seen);

// The exit code standing for "any but 0" in shown_code.
constexpr int32_t any_nonzero = 0x7FFFFFF0;
// The exit code the transcript's last ending stands for; false when it shows none.
bool shown_code(const std::string& console_cp866, int32_t* code, std::string* which);

constexpr double simulated_limit_s = 200;
constexpr unsigned real_limit_s = 60;

struct Verdict {
  int checked = 0;
  int held = 0;
  std::string first_violation;
};
Verdict judge(const Case& c, const Outcome& o, const Watch& w);

// Code page 866 text as UTF-8, for reports.
std::string utf8(const std::string& cp866_text);
// A Windows-1251 literal in code page 866.
std::string cp866(const char* cp1251);

// Every case of the full sweep (runs the scenarios' reference runs to find the calls).
std::vector<Case> build_cases();

}  // namespace fault_sweep
