// The supervisory (ROM) functions: what each does and how long its busy signal lasts. A call
// runs only with the fixed parameters in place (and, for the functions that change the flash,
// the two keys); otherwise it is refused with status 1 after a table-read's time.
#include "sim/model/chip_private.h"

namespace sim::chip::detail {

namespace {

uint8_t* buffer() { return &state.memory[buffer_start]; }
int block_argument() { return state.memory[0xFA] & 0x7F; }
void set_status(uint8_t value) { state.memory[0xF8] = value; }

// A protected block cannot be read or written from outside; checksums still cover it.
bool refused_protected(int block) {
  if (!config.enforce_protection || !flash_protected(block)) return false;
  ++counts.refused_protected;
  set_status(protected_status);
  return true;
}

constexpr double read_block_us = 400;
void read_block(int nth) {
  const int block = block_argument();
  if (refused_protected(block)) return;
  if (leaves_buffer(nth, false)) {
    set_status(0);
    return;
  }
  flash_read_block(block, buffer());
  for (int k = 0; k < block_bytes; ++k) buffer()[k] = read_block_byte(block, k, buffer()[k], nth);
  set_status(0);
}

constexpr double write_block_us = 8000;
void write_block(int nth) {
  const int block = block_argument();
  if (refused_protected(block)) return;
  uint8_t stored[block_bytes];
  for (int k = 0; k < block_bytes; ++k) stored[k] = written_byte(block, k, buffer()[k], nth);
  flash_write_block(block, stored);
  set_status(0);
}

constexpr double protect_us = 8000;
void protect() {
  flash_protect(buffer());
  set_status(0);
}

constexpr double erase_all_us = 20000;
void erase_all() {
  flash_erase_all();
  set_status(0);
}

// SiliconID in memory 0xF8/0xF9, RevisionID in registers 0xF0/0xF3, low byte first.
constexpr double table_read_us = 200;
void table_read() {
  state.memory[0xF8] = static_cast<uint8_t>(config.silicon_id & 0xFF);
  state.memory[0xF9] = static_cast<uint8_t>(config.silicon_id >> 8);
  state.registers[0xF0] = static_cast<uint8_t>(config.revision_id & 0xFF);
  state.registers[0xF3] = static_cast<uint8_t>(config.revision_id >> 8);
}

// The sum of the first count blocks (count 0: all of them), low byte in 0xF8; the ROM reads
// every byte it sums, so the time grows with the count.
constexpr double checksum_base_us = 100;
constexpr double checksum_per_block_us = 12;
}  // namespace
double checksum_us(int count) {
  return checksum_base_us + checksum_per_block_us * (count == 0 ? block_count : count);
}
namespace {
void checksum_call(int nth) {
  const int count = block_argument();
  const uint16_t sum = checksum(count, flash_sum(count == 0 ? block_count : count), nth);
  state.memory[0xF8] = static_cast<uint8_t>(sum & 0xFF);
  state.memory[0xF9] = static_cast<uint8_t>(sum >> 8);
}

constexpr double calibrate_us = 300;
void calibrate() { set_status(0); }

constexpr double datasheet_busy_us(int function) {
  // Checksums are timed by their count (datasheet_busy_us gives the whole flash's).
  switch (static_cast<RomFunction>(function)) {
    case RomFunction::read_block: return read_block_us;
    case RomFunction::write_block: return write_block_us;
    case RomFunction::protect: return protect_us;
    case RomFunction::erase_all: return erase_all_us;
    case RomFunction::table_read: return table_read_us;
    case RomFunction::checksum: return checksum_base_us + checksum_per_block_us * block_count;
    case RomFunction::calibrate: return calibrate_us;
  }
  return table_read_us;
}

double busy_us(int function) {
  const int slot = function & (rom_function_slots - 1);
  return config.busy_overridden[slot] ? config.busy_us_override[slot] : datasheet_busy_us(function);
}

// A checksum's time for the count it was given.
double call_busy_us(int function) {
  const int slot = function & (rom_function_slots - 1);
  if (function == static_cast<int>(RomFunction::checksum) && !config.busy_overridden[slot])
    return checksum_us(block_argument());
  return busy_us(function);
}

bool known(int function) {
  switch (static_cast<RomFunction>(function)) {
    case RomFunction::read_block: case RomFunction::write_block: case RomFunction::protect:
    case RomFunction::erase_all: case RomFunction::table_read: case RomFunction::checksum:
    case RomFunction::calibrate:
      return true;
  }
  return false;
}

bool changes_flash(int function) {
  return function == static_cast<int>(RomFunction::write_block) ||
         function == static_cast<int>(RomFunction::protect) ||
         function == static_cast<int>(RomFunction::erase_all);
}

bool takes_block_argument(int function) {
  return function == static_cast<int>(RomFunction::read_block) ||
         function == static_cast<int>(RomFunction::write_block) ||
         function == static_cast<int>(RomFunction::checksum) ||
         function == static_cast<int>(RomFunction::table_read);
}

// A parameter cell holds value and (for a strict chip) was written during this call.
bool memory_set(uint8_t address, uint8_t value) {
  return state.memory[address] == value && (!config.parameters_per_call || state.written.test(address));
}
bool register_set(uint8_t address, uint8_t value) {
  return state.registers[address] == value &&
         (!config.parameters_per_call || state.written.test(256 + address));
}

bool parameters_ok(int function) {
  const bool fixed = memory_set(0xF8, 0x3A) && memory_set(0xF9, 0x03) && memory_set(0xFB, 0x80) &&
                     register_set(0xF7, 0) && register_set(0xF6, 0) && register_set(0xF5, 0) &&
                     register_set(0xF4, 3) && register_set(0xF9, 0x30) &&
                     register_set(0xFA, 0x40) && register_set(0xF8, 0) &&
                     register_set(0xF0, static_cast<uint8_t>(function));
  const bool keys = !changes_flash(function) || (memory_set(0xFC, 0x15) && memory_set(0xFE, 0x56));
  const bool argument = !takes_block_argument(function) || !config.parameters_per_call ||
                        state.written.test(0xFA);
  const bool table = function != static_cast<int>(RomFunction::table_read) ||
                     !config.parameters_per_call || state.table_selected;
  return fixed && keys && argument && table;
}

// Runs the function; returns how long it keeps the chip busy.
double perform(int function, int nth) {
  if (!known(function) || !state.parameters_valid) {
    ++counts.rejected_calls;
    set_status(1);
    return busy_us(static_cast<int>(RomFunction::table_read));
  }
  switch (static_cast<RomFunction>(function)) {
    case RomFunction::read_block: read_block(nth); break;
    case RomFunction::write_block: write_block(nth); break;
    case RomFunction::protect: protect(); break;
    case RomFunction::erase_all: erase_all(); break;
    case RomFunction::table_read: table_read(); break;
    case RomFunction::checksum: checksum_call(nth); break;
    case RomFunction::calibrate: calibrate(); break;
  }
  set_status(status(function, nth, state.memory[0xF8]));
  return call_busy_us(function);
}

}  // namespace

void start_call() {
  const int function = state.registers[0xF0];
  const int slot = function & (rom_function_slots - 1);
  ++counts.rom_calls[slot];
  const int nth = ++state.calls_by_function[slot];
  state.pending_function = function;
  // Judged now, against what was written for this call; the next call starts afresh.
  state.parameters_valid = parameters_ok(function);
  state.written.reset();
  state.table_selected = false;
  switch (call_start(function, nth, CallStart::runs)) {
    case CallStart::stuck_high:
      state.dead = true;
      state.drive = true;
      return;
    case CallStart::stuck_low:
      state.dead = true;
      state.drive = false;
      return;
    case CallStart::runs:
      state.mode = Mode::awaiting_release;
      return;
  }
}

double run_pending_call(double t) {
  const int function = state.pending_function;
  const int nth = state.calls_by_function[function & (rom_function_slots - 1)];
  return busy_end(function, nth, t + perform(function, nth));
}

}  // namespace sim::chip::detail

namespace sim {

double rom_busy_us(RomFunction function) { return chip::detail::busy_us(static_cast<int>(function)); }

double checksum_busy_us(int count) { return chip::detail::checksum_us(count); }

void set_rom_busy_us(RomFunction function, double us) {
  const int slot = static_cast<int>(function) & (rom_function_slots - 1);
  chip::detail::config.busy_us_override[slot] = us;
  chip::detail::config.busy_overridden[slot] = true;
}

}  // namespace sim
