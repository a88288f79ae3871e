// The PSoC 1 target chip as a model of its own: its wire side (power-up, the initialisation
// sequence, 22-clock frames), its ROM functions, its flash and protection, and the faults it
// can be given. It keeps no clock: whoever drives it passes the time of every event in
// microseconds on a scale of its own, so the simulated back end, a preload library behind a
// real tty and a simulated USB cable can all drive the same chip.
//
// Everything here may allocate; the tool's own code never calls it.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace sim {

// Supervisory (ROM) functions by their number in register 0xF0.
enum class RomFunction : int {
  read_block = 1,
  write_block = 2,
  protect = 4,
  erase_all = 5,
  table_read = 6,
  checksum = 7,
  calibrate = 9,
};
constexpr int rom_function_slots = 16;  // call counters by function number & 15
constexpr int any_function = -1;        // a fault that applies to every function

// The time after power-on within which the initialisation vectors must begin, and how long the
// chip holds the data line high after power-on before letting it fall.
constexpr double power_on_window_us = 30000;
constexpr double power_up_high_us = 200;
// The shortest clock phase (high or low) the chip's input stage follows, and the shortest time
// between the host letting go of the data line and the clock edge that hands it to the chip.
constexpr double min_half_period_us = 2;
constexpr double min_release_us = 2;

enum class ChipFault {
  none,
  no_answer_after_power_on,  // data line stays high after power-on
  no_busy,                   // the call never raises the busy signal
  busy_never_ends,           // the busy signal never falls
  stuck_high_after_release,  // data line reads high after the release that starts a call
  stuck_low_after_release,   // data line stays low after release (no busy signal either)
  wrong_status,              // the call answers status byte `status`
  corrupt_written_block,     // write block `block` stores byte `position` XOR `xor_mask`
  checksum_off,              // checksum over `count` blocks (0 = all, -1 any) answers + `offset`
  buffer_byte_stuck,         // block buffer byte `position` always reads `stuck_value`
  silence_after_vectors,     // after `vectors` vectors the chip answers nothing any more
  corrupt_read_block,        // read block of `block` (-1 any) delivers byte `position` XOR `xor_mask`
  read_block_untouched,      // read block answers status 0 but leaves the buffer as it was
  brown_out,                 // after `vectors` vectors the supply dips: the chip restarts unacquired
  late_answer,               // the busy signal rises `delay_us` after the release (within limits)
  answer_without_clock,      // the call starts at the release, not at the next clock; busy `delay_us` later
};

// One fault; each kind reads only the fields its comment above names, plus, for the kinds
// tied to a call, `function` and `nth_call`. Build them with the chip_fault:: helpers.
struct ChipFaultSpec {
  ChipFault kind = ChipFault::none;
  int function = any_function;  // the ROM function number the fault applies to
  int nth_call = 0;             // only that call of the function, 1-based (0 = every call)
  int nth_power_on = 0;         // no_answer_after_power_on: only that power-on (0 = every)
  int block = -1;
  int position = 0;
  int count = -1;
  int status = 0;
  int xor_mask = 0;
  int offset = 0;
  int stuck_value = 0;
  long vectors = 0;
  double delay_us = 0;
};

namespace chip_fault {
ChipFaultSpec no_answer_after_power_on(int nth_power_on = 0);
// no_busy, busy_never_ends, stuck_high_after_release or stuck_low_after_release at a call.
ChipFaultSpec at_call(ChipFault kind, RomFunction function, int nth_call = 0);
ChipFaultSpec wrong_status(RomFunction function, int status, int nth_call = 0);
ChipFaultSpec corrupt_written_block(int block, int position, int xor_mask, int nth_call = 0);
ChipFaultSpec corrupt_read_block(int block, int position, int xor_mask, int nth_call = 0);
ChipFaultSpec checksum_off(int count, int offset, int nth_call = 0);
ChipFaultSpec buffer_byte_stuck(int position, int stuck_value);
ChipFaultSpec silence_after_vectors(long vectors);
ChipFaultSpec read_block_untouched(int nth_call = 0);
ChipFaultSpec brown_out(long vectors);
ChipFaultSpec late_answer(RomFunction function, double delay_us, int nth_call = 0);
ChipFaultSpec answer_without_clock(RomFunction function, double delay_us, int nth_call = 0);
}  // namespace chip_fault

struct ChipConfig {
  uint16_t silicon_id = 0x0010;
  uint16_t revision_id = 0x0021;
  double power_on_window_us = sim::power_on_window_us;
  double power_up_high_us = sim::power_up_high_us;
  // Timing the chip insists on; a clock phase or release shorter than these makes the frame
  // malformed (0 accepts any timing).
  double min_half_period_us = sim::min_half_period_us;
  double min_release_us = sim::min_release_us;
  // Anything but idle zeros before the initialisation vector leaves the chip unacquired
  // (false: it keeps looking for the vector in any bit stream).
  bool strict_init = true;
  // Every call needs its parameters (and keys) written since the previous call started: the
  // ROM uses those cells as scratch (false: values left over from an earlier call do).
  bool parameters_per_call = true;
  // Read and write block of a protected block are refused with status protected_status.
  bool enforce_protection = true;
  // Break switched on while the chip drives the line spoils the frame (default: only counted).
  bool fail_on_contention = false;
  // Busy times other than the datasheet's, by function number (set_rom_busy_us).
  std::array<double, rom_function_slots> busy_us_override{};
  std::array<bool, rom_function_slots> busy_overridden{};
  std::vector<ChipFaultSpec> faults;
};
ChipConfig& chip_config();  // edit before the run
// How long the chip stays busy executing a function (the datasheet's figure unless set).
double rom_busy_us(RomFunction function);  // a checksum's over the whole flash
double checksum_busy_us(int count);         // a checksum over count blocks (0: all)
void set_rom_busy_us(RomFunction function, double us);

// Chip state after a run.
const std::array<uint8_t, 8192>& flash();
std::array<uint8_t, 8192>& flash_mut();
const std::array<uint8_t, 64>& protection();  // protection bytes as last stored
bool protection_set();
bool chip_in_programming_mode();
// The chip's memory (RAM) and register spaces as they stand; cleared by every power-off.
const std::array<uint8_t, 256>& chip_memory();
const std::array<uint8_t, 256>& chip_registers();

struct ChipCounters {
  long long vectors_write, vectors_read, vectors_other;
  std::array<long long, rom_function_slots> rom_calls;  // every start, performed or not
  long long power_ons;
  long long malformed_frames;  // frames whose fixed bits were wrong (not stored)
  long long rejected_calls;    // supervisory calls refused for wrong parameters
  long long timing_violations; // clock phases or releases shorter than the chip's minimum
  long long refused_protected; // read or write block refused on a protected block
  long long late_answers;      // busy signals that rose late (ChipFault::late_answer)
};
// The status byte of a read or write block refused on a protected block.
constexpr uint8_t protected_status = 0x03;

// Driving the chip. t is the driver's time in microseconds; it never goes backwards.
namespace chip {
// Configuration kept: the chip as it comes from the field (old firmware, counters zero).
void reset();
void power(bool on, double t);
// A rising clock edge; host_high is the host's break (data 1), line_high the line level then.
void clock_rise(bool host_high, bool line_high, double t);
void clock_fall(double t);
// The host switched its break (data 1) on or off.
void host_data(bool high, double t);
// The chip drives the data line (high or low) at time t: answering a read, signalling busy,
// holding it during power-up.
bool drives_line(double t);
bool powered();
// The chip drives the data line high at time t.
bool drives_high(double t);
// A supervisory call is under way at time t: started and waiting for the release, or running
// with its busy signal not yet over.
bool in_call(double t);
// The time of the last timed fall of the chip's drive (busy end, power-up end).
double timed_fall();
const ChipCounters& counters();
}  // namespace chip

}  // namespace sim
