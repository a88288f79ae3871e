// The chip model's insides, shared by its files only: the wire side, the ROM functions, the
// flash and the fault hooks.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <limits>

#include "sim/model/chip.h"

namespace sim::chip::detail {

constexpr double forever_us = std::numeric_limits<double>::infinity();
constexpr int block_bytes = 64;
constexpr int block_count = 128;
constexpr uint8_t buffer_start = 0x80;  // the block buffer in RAM

enum class Mode {
  off,               // unpowered
  init,              // powered, looking for the initialisation sequence
  frames,            // programming mode, between or inside frames
  awaiting_release,  // a supervisory call was started; waiting for the host to let go
  busy,              // executing; the data line is high until high_until
  trailing,          // ignoring the host's trailing clocks
};

struct Chip {
  Mode mode;
  bool dead;        // ignores everything until the next power cycle
  bool silent;      // ignores everything for good (silence after N vectors)
  double power_on_time;
  bool edge_seen;   // a rising clock edge came since power-on
  bool drive;       // driving the data line high (read data, a stuck line)
  double high_from;   // timed drive: from here (a late busy signal) ...
  double high_until;  // ... until here: power-up phase, busy pulse
  // The wire as the chip feels it: the last clock edges and the host's last release.
  double last_rise;
  double last_fall;
  bool host_high;
  double released_at;
  // initialisation
  uint32_t shift;
  int pattern_bits;  // bits of the initialisation vector received so far
  bool pattern_seen;
  int zeros;
  // frame decoding
  int pos;
  bool bad;
  bool spoiled;    // a timing violation or contention: the frame is not acted on
  bool answering;  // a read frame's data phase: the chip drives the line
  bool is_register;
  bool is_read;
  uint8_t address;
  uint8_t data;
  uint8_t answer;
  int trailing_left;
  int pending_function;
  // Cells written since the last call started (memory 0..255, registers 256..511), and the
  // table select (register 0xF7 = 0x10, then register 0xE0 = 0x02) seen since then.
  std::bitset<512> written;
  bool table_selected;
  bool parameters_valid;  // the pending call's parameters, judged when it was started
  std::array<uint8_t, 256> memory;
  std::array<uint8_t, 256> registers;
  std::array<int, rom_function_slots> calls_by_function;
  long long vectors;
};

extern Chip state;
extern ChipConfig config;
extern ChipCounters counts;

// ---- ROM functions --------------------------------------------------------------------------
// register 0xFF = 0x12: the call starts once the host releases the line.
void start_call();
// The host released the line: runs the pending call; returns when its busy signal ends.
double run_pending_call(double t);
double checksum_us(int count);  // a checksum's busy time for count blocks (0: all)

// ---- flash and protection -------------------------------------------------------------------
void flash_reset();  // old firmware, no protection
void flash_read_block(int block, uint8_t* buffer);
void flash_write_block(int block, const uint8_t* buffer);  // bits only go from 0 to 1
void flash_protect(const uint8_t* bytes);
void flash_erase_all();
bool flash_protected(int block);  // protection stored and its byte for the block not 0
uint16_t flash_sum(int blocks);

// ---- faults: each hook takes the healthy chip's value and returns the one to use ----------
enum class CallStart { runs, stuck_high, stuck_low };
double power_up_high_until(double healthy, long long power_on);
uint8_t memory_read(uint8_t address, uint8_t healthy);
uint8_t read_block_byte(int block, int position, uint8_t healthy, int nth);
uint8_t written_byte(int block, int position, uint8_t healthy, int nth);
uint16_t checksum(int count, uint16_t healthy, int nth);
uint8_t status(int function, int nth, uint8_t healthy);
CallStart call_start(int function, int nth, CallStart healthy);
double busy_end(int function, int nth, double healthy);
bool silent(long long vectors, bool healthy);
bool leaves_buffer(int nth, bool healthy);
bool browns_out(long long vectors, bool healthy);
double answer_delay(int function, int nth, double healthy);
// The delay after the release of a call that starts without a clock; negative: it waits for one.
double start_without_clock(int function, int nth);

}  // namespace sim::chip::detail
