// The PSoC 1 target behind the adapter: power-up, the initialisation sequence, 22-clock
// frames decoded on rising clock edges, memory and register spaces, the supervisory
// functions with their busy pulse, and the flash.
#include <cstring>

#include "sim/state.h"

namespace sim::detail {

namespace {

constexpr uint32_t init_pattern = 0x328000;
constexpr int init_zero_bits = 110;
constexpr int trailing_edges = 66;
constexpr int block_bytes = 64;
constexpr int block_count = 128;
constexpr uint8_t buffer_start = 0x80;

enum class Mode {
  off,               // unpowered
  init,              // powered, looking for the initialisation sequence
  frames,            // programming mode, between or inside frames
  awaiting_release,  // a supervisory call was started; waiting for the host to let go
  busy,              // executing; the data line is high until busy_end
  trailing,          // ignoring the host's trailing clocks
};

struct Chip {
  Mode mode;
  bool dead;        // ignores everything until the next power cycle
  bool silent;      // ignores everything for good (silence after N vectors)
  double power_on_time;
  bool edge_seen;   // a rising clock edge came since power-on
  bool drive;       // driving the data line high (read data, a stuck line)
  double high_until;  // timed drive: power-up phase, busy pulse
  // initialisation
  uint32_t shift;
  bool pattern_seen;
  int zeros;
  // frame decoding
  int pos;
  bool bad;
  bool is_register;
  bool is_read;
  uint8_t address;
  uint8_t data;
  uint8_t answer;
  int trailing_left;
  int pending_function;
  std::array<uint8_t, 256> memory;
  std::array<uint8_t, 256> registers;
  std::array<int, 16> calls_by_function;
  long long vectors;
};

Chip chip;
ChipConfig config;
std::array<uint8_t, 8192> flash_bytes;
std::array<uint8_t, 64> protection_bytes;
bool protection_stored = false;

bool fault_applies(const ChipFaultSpec& f, int function, int nth) {
  return (f.function < 0 || f.function == function) && (f.nth_call == 0 || f.nth_call == nth);
}

const ChipFaultSpec* find_fault(ChipFault kind, int function, int nth) {
  for (const ChipFaultSpec& f : config.faults)
    if (f.kind == kind && fault_applies(f, function, nth)) return &f;
  return nullptr;
}

const ChipFaultSpec* find_fault(ChipFault kind) {
  for (const ChipFaultSpec& f : config.faults)
    if (f.kind == kind) return &f;
  return nullptr;
}

uint8_t read_byte(bool is_register, uint8_t address) {
  if (is_register) return chip.registers[address];
  for (const ChipFaultSpec& f : config.faults)
    if (f.kind == ChipFault::buffer_byte_stuck && f.position >= 0 && f.position < block_bytes &&
        address == buffer_start + f.position)
      return static_cast<uint8_t>(f.value);
  return chip.memory[address];
}

bool fixed_parameters_ok(int function) {
  const auto& m = chip.memory;
  const auto& r = chip.registers;
  bool ok = m[0xF8] == 0x3A && m[0xF9] == 0x03 && m[0xFB] == 0x80 && r[0xF7] == 0 &&
            r[0xF6] == 0 && r[0xF5] == 0 && r[0xF4] == 3 && r[0xF9] == 0x30 && r[0xFA] == 0x40 &&
            r[0xF8] == 0;
  if (function == 2 || function == 4 || function == 5) ok = ok && m[0xFC] == 0x15 && m[0xFE] == 0x56;
  return ok;
}

uint16_t flash_sum(int blocks) {
  uint32_t sum = 0;
  for (int i = 0; i < blocks * block_bytes; ++i) sum += flash_bytes[i];
  return static_cast<uint16_t>(sum);
}

// Runs the supervisory function; returns its execution time in microseconds.
double perform(int function, int nth) {
  auto& m = chip.memory;
  bool known = function == 1 || function == 2 || function == 4 || function == 5 ||
               function == 6 || function == 7 || function == 9;
  if (!known || !fixed_parameters_ok(function)) {
    ++counter_values.rejected_calls;
    m[0xF8] = 1;
    return config.table_read_us;
  }
  double duration = 0;
  int block = m[0xFA] & 0x7F;
  uint8_t* buffer = &m[buffer_start];
  switch (function) {
    case 1:
      std::memcpy(buffer, &flash_bytes[block * block_bytes], block_bytes);
      for (const ChipFaultSpec& f : config.faults)
        if (f.kind == ChipFault::corrupt_read_block && (f.block < 0 || f.block == block) &&
            f.position >= 0 && f.position < block_bytes && fault_applies(f, function, nth))
          buffer[f.position] = static_cast<uint8_t>(buffer[f.position] ^ f.value);
      m[0xF8] = 0;
      duration = config.read_block_us;
      break;
    case 2:
      // Flash bits only go from 0 to 1 until the next erase (erased flash reads 0x00).
      for (int k = 0; k < block_bytes; ++k) {
        uint8_t value = buffer[k];
        for (const ChipFaultSpec& f : config.faults)
          if (f.kind == ChipFault::corrupt_written_block && f.block == block && f.position == k &&
              fault_applies(f, function, nth))
            value = static_cast<uint8_t>(value ^ f.value);
        flash_bytes[block * block_bytes + k] |= value;
      }
      m[0xF8] = 0;
      duration = config.write_block_us;
      break;
    case 4:
      std::memcpy(protection_bytes.data(), buffer, block_bytes);
      protection_stored = true;
      m[0xF8] = 0;
      duration = config.protect_us;
      break;
    case 5:
      flash_bytes.fill(0);
      protection_bytes.fill(0);
      protection_stored = false;
      m[0xF8] = 0;
      duration = config.erase_all_us;
      break;
    case 6:
      m[0xF8] = static_cast<uint8_t>(config.silicon_id & 0xFF);
      m[0xF9] = static_cast<uint8_t>(config.silicon_id >> 8);
      chip.registers[0xF0] = static_cast<uint8_t>(config.revision_id & 0xFF);
      chip.registers[0xF3] = static_cast<uint8_t>(config.revision_id >> 8);
      duration = config.table_read_us;
      break;
    case 7: {
      int count = m[0xFA] & 0x7F;
      uint16_t sum = flash_sum(count == 0 ? block_count : count);
      for (const ChipFaultSpec& f : config.faults)
        if (f.kind == ChipFault::checksum_off && (f.count < 0 || f.count == count) &&
            fault_applies(f, function, nth))
          sum = static_cast<uint16_t>(sum + f.value);
      m[0xF8] = static_cast<uint8_t>(sum & 0xFF);
      m[0xF9] = static_cast<uint8_t>(sum >> 8);
      duration = config.checksum_us;
      break;
    }
    case 9:
      m[0xF8] = 0;
      duration = config.calibrate_us;
      break;
    default:
      break;
  }
  if (const ChipFaultSpec* f = find_fault(ChipFault::wrong_status, function, nth))
    m[0xF8] = static_cast<uint8_t>(f->value);
  return duration;
}

// register 0xFF = 0x12: the call starts once the host releases the line.
void start_call() {
  int function = chip.registers[0xF0];
  int slot = function & 15;
  ++counter_values.srom_calls[slot];
  int nth = ++chip.calls_by_function[slot];
  chip.pending_function = function;
  if (find_fault(ChipFault::stuck_high_after_release, function, nth) != nullptr) {
    chip.dead = true;
    chip.drive = true;
    return;
  }
  if (find_fault(ChipFault::stuck_low_after_release, function, nth) != nullptr ||
      find_fault(ChipFault::no_busy, function, nth) != nullptr) {
    chip.dead = true;
    chip.drive = false;
    return;
  }
  chip.mode = Mode::awaiting_release;
}

void end_frame() {
  ++chip.vectors;
  if (chip.bad) {
    ++counter_values.malformed_frames;
    ++counter_values.vectors_other;
  } else if (chip.is_read) {
    ++counter_values.vectors_read;
  } else {
    ++counter_values.vectors_write;
    if (chip.is_register && chip.address == 0xFF && chip.data == 0x12)
      start_call();
    else if (chip.is_register)
      chip.registers[chip.address] = chip.data;
    else
      chip.memory[chip.address] = chip.data;
  }
  chip.pos = 0;
  if (const ChipFaultSpec* f = find_fault(ChipFault::silence_after_vectors)) {
    if (chip.vectors >= f->vectors) {
      chip.silent = true;
      chip.drive = false;
    }
  }
}

void frame_bit(bool bit) {
  int p = chip.pos++;
  if (p == 0) {
    chip.bad = !bit;
    chip.address = 0;
    chip.data = 0;
  } else if (p == 1) {
    chip.is_register = bit;
  } else if (p == 2) {
    chip.is_read = bit;
  } else if (p <= 10) {
    chip.address = static_cast<uint8_t>((chip.address << 1) | (bit ? 1 : 0));
    if (p == 10 && chip.is_read) chip.answer = read_byte(chip.is_register, chip.address);
  } else if (!chip.is_read) {
    if (p <= 18)
      chip.data = static_cast<uint8_t>((chip.data << 1) | (bit ? 1 : 0));
    else if (!bit)
      chip.bad = true;
    if (p == 21) end_frame();
  } else {
    // Clock 12 is the turnaround; data bit 7 goes out from the rising edge of clock 13,
    // bit 0 from clock 20, and the line is let go at clock 21.
    if (p >= 12 && p <= 19)
      chip.drive = (chip.answer >> (19 - p)) & 1;
    else if (p == 20)
      chip.drive = false;
    else if (p == 21) {
      if (!bit) chip.bad = true;
      end_frame();
    }
  }
}

void init_bit(bool bit) {
  chip.shift = ((chip.shift << 1) | (bit ? 1u : 0u)) & 0x3FFFFF;
  if (!chip.pattern_seen) {
    if (chip.shift == init_pattern) {
      chip.pattern_seen = true;
      chip.zeros = 0;
      ++counter_values.vectors_other;
    }
  } else if (bit) {
    chip.pattern_seen = false;
  } else if (++chip.zeros == init_zero_bits) {
    counter_values.vectors_other += init_zero_bits / 22;
    chip.mode = Mode::frames;
    chip.pos = 0;
  }
}

void clear_volatile_state() {
  chip.mode = Mode::off;
  chip.dead = false;
  chip.drive = false;
  chip.high_until = 0;
  chip.edge_seen = false;
  chip.shift = 0;
  chip.pattern_seen = false;
  chip.zeros = 0;
  chip.pos = 0;
  chip.bad = false;
  chip.trailing_left = 0;
  chip.pending_function = 0;
  chip.memory.fill(0);
  chip.registers.fill(0);
}

}  // namespace

void chip_reset() {
  clear_volatile_state();
  chip.silent = false;
  chip.power_on_time = 0;
  chip.calls_by_function.fill(0);
  chip.vectors = 0;
  // A chip fresh from the field carries old firmware: a write without an erase shows up.
  uint32_t x = 0x2545F491u;
  for (uint8_t& b : flash_bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x >> 24);
  }
  protection_bytes.fill(0);
  protection_stored = false;
}

bool chip_powered() { return chip.mode != Mode::off; }

void chip_power(bool on, double t) {
  if (!on) {
    clear_volatile_state();
    return;
  }
  if (chip.mode != Mode::off) return;
  clear_volatile_state();
  ++counter_values.power_ons;
  chip.mode = Mode::init;
  chip.power_on_time = t;
  chip.high_until = t + config.power_up_high_us;
  for (const ChipFaultSpec& f : config.faults)
    if (f.kind == ChipFault::no_answer_after_power_on &&
        (f.nth_call == 0 || f.nth_call == counter_values.power_ons))
      chip.high_until = forever_us;
}

bool chip_drives_high(double t) { return chip.drive || t < chip.high_until; }

double chip_timed_fall() { return chip.high_until; }

void chip_clock_rise(bool host_high, bool line_high, double t) {
  if (chip.mode == Mode::off || chip.dead || chip.silent) return;
  if (!chip.edge_seen) {
    chip.edge_seen = true;
    // Too late after power-on: the chip has started its own firmware and stays out of reach
    // until the next power cycle.
    if (t - chip.power_on_time > config.power_on_window_us) {
      chip.dead = true;
      return;
    }
  }
  switch (chip.mode) {
    case Mode::init:
      init_bit(line_high);
      break;
    case Mode::frames:
      frame_bit(line_high);
      break;
    case Mode::awaiting_release:
      if (!host_high) {
        int nth = chip.calls_by_function[chip.pending_function & 15];
        double duration = perform(chip.pending_function, nth);
        chip.high_until = find_fault(ChipFault::busy_never_ends, chip.pending_function, nth)
                              ? forever_us
                              : t + duration;
        chip.mode = Mode::busy;
      }
      break;
    case Mode::busy:
      if (t < chip.high_until) break;  // clocks during execution are ignored
      chip.mode = Mode::trailing;
      chip.trailing_left = trailing_edges;
      [[fallthrough]];
    case Mode::trailing:
      if (--chip.trailing_left == 0) {
        chip.mode = Mode::frames;
        chip.pos = 0;
      }
      break;
    case Mode::off:
      break;
  }
}

}  // namespace sim::detail

namespace sim {

using namespace detail;

ChipConfig& chip_config() { return config; }
const std::array<uint8_t, 8192>& flash() { return flash_bytes; }
std::array<uint8_t, 8192>& flash_mut() { return flash_bytes; }
const std::array<uint8_t, 64>& protection() { return protection_bytes; }
bool protection_set() { return protection_stored; }
bool chip_in_programming_mode() {
  return !chip.dead && !chip.silent && chip.mode != Mode::off && chip.mode != Mode::init;
}
const std::array<uint8_t, 256>& chip_memory() { return chip.memory; }
const std::array<uint8_t, 256>& chip_registers() { return chip.registers; }

}  // namespace sim
