// The chip's wire side: power-up, the initialisation sequence that enters programming mode, and
// the 22-clock frames decoded on rising clock edges, with the busy pulse and the trailing
// clocks of a supervisory call.
#include "sim/model/chip_private.h"

namespace sim::chip::detail {

Chip state;
ChipConfig config;
ChipCounters counts;

namespace {

// The initialisation vector, then this many zero bits, enter programming mode.
constexpr uint32_t init_pattern = 0x328000;
constexpr int init_zero_bits = 110;
constexpr int vector_bits = 22;
// Clocks the host sends after a call's busy signal ends, ignored by the state.
constexpr int trailing_edges = 66;
// Register 0xFF written with 0x12 starts the supervisory call named in register 0xF0.
constexpr uint8_t call_register = 0xFF;
constexpr uint8_t call_start_value = 0x12;
// Table read's select: register 0xE0 = 0x02 while register 0xF7 holds 0x10.
constexpr uint8_t table_select_register = 0xE0;
constexpr uint8_t table_select_value = 0x02;
constexpr uint8_t table_select_bank = 0x10;

void clear_volatile_state();

// A supply dip: the chip restarts as at power-on, with its window long gone.
void restart_unacquired() {
  const double on = state.power_on_time;
  clear_volatile_state();
  state.mode = Mode::init;
  state.power_on_time = on;
  state.edge_seen = true;
  state.dead = true;
}

uint8_t read_byte(bool is_register, uint8_t address) {
  if (is_register) return state.registers[address];
  return memory_read(address, state.memory[address]);
}

void end_frame() {
  ++state.vectors;
  if (state.bad || state.spoiled) {
    state.spoiled = false;
    ++counts.malformed_frames;
    ++counts.vectors_other;
  } else if (state.is_read) {
    ++counts.vectors_read;
  } else {
    ++counts.vectors_write;
    if (state.is_register && state.address == call_register && state.data == call_start_value) {
      start_call();
    } else if (state.is_register) {
      if (state.address == table_select_register && state.data == table_select_value &&
          state.registers[0xF7] == table_select_bank)
        state.table_selected = true;
      state.registers[state.address] = state.data;
      state.written.set(256 + state.address);
    } else {
      state.memory[state.address] = state.data;
      state.written.set(state.address);
    }
  }
  state.pos = 0;
  if (silent(state.vectors, false)) {
    state.silent = true;
    state.drive = false;
  }
  if (browns_out(state.vectors, false)) restart_unacquired();
}

// Frame: 1, space (1 register, 0 memory), direction (1 read), 8 address bits; a write then has
// 8 data bits and 1 1 1; a read has a turnaround clock, 8 data bits from the chip, then 1.
void frame_bit(bool bit) {
  int p = state.pos++;
  if (p == 0) {
    state.bad = !bit;
    state.address = 0;
    state.data = 0;
  } else if (p == 1) {
    state.is_register = bit;
  } else if (p == 2) {
    state.is_read = bit;
  } else if (p <= 10) {
    state.address = static_cast<uint8_t>((state.address << 1) | (bit ? 1 : 0));
    if (p == 10 && state.is_read) state.answer = read_byte(state.is_register, state.address);
  } else if (!state.is_read) {
    if (p <= 18)
      state.data = static_cast<uint8_t>((state.data << 1) | (bit ? 1 : 0));
    else if (!bit)
      state.bad = true;
    if (p == vector_bits - 1) end_frame();
  } else {
    // Clock 12 is the turnaround; data bit 7 goes out from the rising edge of clock 13,
    // bit 0 from clock 20, and the line is let go at clock 21, which the host leaves alone.
    if (p == 11) {
      state.answering = true;
    } else if (p >= 12 && p <= 19) {
      state.drive = (state.answer >> (19 - p)) & 1;
    } else if (p == 20) {
      state.drive = false;
      state.answering = false;
      if (state.host_high) state.bad = true;  // the host took the line back too early
    } else if (p == vector_bits - 1) {
      if (!bit) state.bad = true;
      end_frame();
    }
  }
}

// Before the vector only idle zeros may come; a strict chip that sees anything else stays out
// of reach until the next power cycle.
void init_bit(bool bit) {
  state.shift = ((state.shift << 1) | (bit ? 1u : 0u)) & ((1u << vector_bits) - 1);
  if (!state.pattern_seen) {
    if (state.pattern_bits > 0 || bit) ++state.pattern_bits;
    const bool on_track = state.pattern_bits == 0 ||
                          state.shift == (init_pattern >> (vector_bits - state.pattern_bits));
    if (state.shift == init_pattern) {
      state.pattern_seen = true;
      state.zeros = 0;
      ++counts.vectors_other;
    } else if (!on_track && config.strict_init) {
      state.dead = true;
    } else if (state.pattern_bits >= vector_bits) {
      state.pattern_bits = vector_bits;  // a lenient chip keeps sliding along the bits
    }
  } else if (bit) {
    state.pattern_seen = false;
    state.pattern_bits = 0;
    if (config.strict_init) state.dead = true;
  } else if (++state.zeros == init_zero_bits) {
    counts.vectors_other += init_zero_bits / vector_bits;
    state.mode = Mode::frames;
    state.pos = 0;
  }
}

void clear_volatile_state() {
  state.mode = Mode::off;
  state.dead = false;
  state.drive = false;
  state.high_from = 0;
  state.high_until = 0;
  state.last_rise = -forever_us;
  state.last_fall = -forever_us;
  state.host_high = false;
  state.released_at = -forever_us;
  state.edge_seen = false;
  state.shift = 0;
  state.pattern_bits = 0;
  state.pattern_seen = false;
  state.zeros = 0;
  state.pos = 0;
  state.bad = false;
  state.spoiled = false;
  state.answering = false;
  state.trailing_left = 0;
  state.pending_function = 0;
  state.written.reset();
  state.table_selected = false;
  state.memory.fill(0);
  state.registers.fill(0);
}

// A phase shorter than the chip's minimum: counted, and the frame it falls in is not acted on.
bool too_short(double elapsed, double minimum) { return elapsed < minimum - 1e-6; }

void timing_violation() {
  ++counts.timing_violations;
  state.spoiled = true;
}

}  // namespace

}  // namespace sim::chip::detail

namespace sim::chip {

using namespace detail;

void reset() {
  clear_volatile_state();
  state.silent = false;
  state.power_on_time = 0;
  state.calls_by_function.fill(0);
  state.vectors = 0;
  counts = ChipCounters{};
  flash_reset();
}

bool powered() { return state.mode != Mode::off; }

void power(bool on, double t) {
  if (!on) {
    clear_volatile_state();
    return;
  }
  if (state.mode != Mode::off) return;
  clear_volatile_state();
  ++counts.power_ons;
  state.mode = Mode::init;
  state.power_on_time = t;
  state.high_until = power_up_high_until(t + config.power_up_high_us, counts.power_ons);
}

bool drives_high(double t) { return state.drive || (t >= state.high_from && t < state.high_until); }

bool drives_line(double t) {
  if (state.mode == Mode::off || state.silent) return false;
  return state.drive || state.answering || state.mode == Mode::awaiting_release ||
         state.mode == Mode::busy || t < state.high_until;
}

double timed_fall() { return state.high_until; }

bool in_call(double t) {
  return state.mode == Mode::awaiting_release || (state.mode == Mode::busy && t < state.high_until);
}

const ChipCounters& counters() { return counts; }

void clock_fall(double t) {
  if (state.mode == Mode::off || state.dead || state.silent) return;
  if (too_short(t - state.last_rise, config.min_half_period_us)) timing_violation();
  state.last_fall = t;
}

void host_data(bool high, double t) {
  if (state.mode == Mode::off) return;
  if (high && config.fail_on_contention && drives_line(t)) state.spoiled = true;
  if (state.host_high && !high) {
    state.released_at = t;
    const int slot = state.pending_function & (rom_function_slots - 1);
    const double delay = state.mode == Mode::awaiting_release && !state.dead && !state.silent
                             ? start_without_clock(state.pending_function, state.calls_by_function[slot])
                             : -1;
    if (delay >= 0) {
      state.high_from = t + delay;
      state.high_until = run_pending_call(state.high_from);
      state.mode = Mode::busy;
    }
  }
  state.host_high = high;
}

void clock_rise(bool host_high, bool line_high, double t) {
  if (state.mode == Mode::off || state.dead || state.silent) return;
  if (too_short(t - state.last_fall, config.min_half_period_us)) timing_violation();
  state.last_rise = t;
  // A bit of the initialisation sequence that came too fast is lost: the sequence is broken.
  if (state.mode == Mode::init && state.spoiled && config.strict_init) state.dead = true;
  if (!state.edge_seen) {
    state.edge_seen = true;
    // Too late after power-on: the chip has started its own firmware and stays out of reach
    // until the next power cycle.
    if (t - state.power_on_time > config.power_on_window_us) {
      state.dead = true;
      return;
    }
  }
  switch (state.mode) {
    case Mode::init:
      init_bit(line_high);
      break;
    case Mode::frames:
      // The turnaround clock hands the line to the chip: the host must have let go of it
      // long enough before.
      if (state.pos == 11 && state.is_read &&
          (host_high || too_short(t - state.released_at, config.min_release_us)))
        timing_violation();
      frame_bit(line_high);
      break;
    case Mode::awaiting_release:
      if (!host_high) {
        const int slot = state.pending_function & (rom_function_slots - 1);
        const double delay = answer_delay(state.pending_function, state.calls_by_function[slot], 0);
        if (delay > 0) ++counts.late_answers;
        state.high_from = t + delay;
        state.high_until = run_pending_call(state.high_from);
        state.mode = Mode::busy;
      }
      break;
    case Mode::busy:
      if (t < state.high_until) break;  // clocks during execution are ignored
      state.mode = Mode::trailing;
      state.trailing_left = trailing_edges;
      [[fallthrough]];
    case Mode::trailing:
      if (--state.trailing_left == 0) {
        state.mode = Mode::frames;
        state.pos = 0;
      }
      break;
    case Mode::off:
      break;
  }
}

}  // namespace sim::chip

namespace sim {

using namespace chip::detail;

ChipConfig& chip_config() { return config; }
bool chip_in_programming_mode() {
  return !state.dead && !state.silent && state.mode != Mode::off && state.mode != Mode::init;
}
const std::array<uint8_t, 256>& chip_memory() { return state.memory; }
const std::array<uint8_t, 256>& chip_registers() { return state.registers; }

}  // namespace sim
