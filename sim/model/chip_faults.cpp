// Faults of the state. The chip's own code reads as the healthy chip; at each point a fault can
// change it calls a hook here with the healthy value and uses the one returned.
#include "sim/model/chip_private.h"

namespace sim::chip::detail {

namespace {

bool at(const ChipFaultSpec& f, int function, int nth) {
  return (f.function < 0 || f.function == function) && (f.nth_call == 0 || f.nth_call == nth);
}

const ChipFaultSpec* find(ChipFault kind, int function, int nth) {
  for (const ChipFaultSpec& f : config.faults)
    if (f.kind == kind && at(f, function, nth)) return &f;
  return nullptr;
}

bool in_block(int position) { return position >= 0 && position < block_bytes; }

constexpr int read_block = static_cast<int>(RomFunction::read_block);
constexpr int write_block = static_cast<int>(RomFunction::write_block);
constexpr int checksum_function = static_cast<int>(RomFunction::checksum);

}  // namespace

double power_up_high_until(double healthy, long long power_on) {
  for (const ChipFaultSpec& f : config.faults)
    if (f.kind == ChipFault::no_answer_after_power_on && (f.nth_power_on == 0 || f.nth_power_on == power_on))
      return forever_us;
  return healthy;
}

uint8_t memory_read(uint8_t address, uint8_t healthy) {
  for (const ChipFaultSpec& f : config.faults)
    if (f.kind == ChipFault::buffer_byte_stuck && in_block(f.position) && address == buffer_start + f.position)
      return static_cast<uint8_t>(f.stuck_value);
  return healthy;
}

uint8_t read_block_byte(int block, int position, uint8_t healthy, int nth) {
  uint8_t value = healthy;
  for (const ChipFaultSpec& f : config.faults)
    if (f.kind == ChipFault::corrupt_read_block && (f.block < 0 || f.block == block) && f.position == position &&
        in_block(f.position) && at(f, read_block, nth))
      value = static_cast<uint8_t>(value ^ f.xor_mask);
  return value;
}

uint8_t written_byte(int block, int position, uint8_t healthy, int nth) {
  uint8_t value = healthy;
  for (const ChipFaultSpec& f : config.faults)
    if (f.kind == ChipFault::corrupt_written_block && f.block == block && f.position == position &&
        at(f, write_block, nth))
      value = static_cast<uint8_t>(value ^ f.xor_mask);
  return value;
}

uint16_t checksum(int count, uint16_t healthy, int nth) {
  uint16_t sum = healthy;
  for (const ChipFaultSpec& f : config.faults)
    if (f.kind == ChipFault::checksum_off && (f.count < 0 || f.count == count) && at(f, checksum_function, nth))
      sum = static_cast<uint16_t>(sum + f.offset);
  return sum;
}

uint8_t status(int function, int nth, uint8_t healthy) {
  const ChipFaultSpec* f = find(ChipFault::wrong_status, function, nth);
  return f != nullptr ? static_cast<uint8_t>(f->status) : healthy;
}

CallStart call_start(int function, int nth, CallStart healthy) {
  if (find(ChipFault::stuck_high_after_release, function, nth) != nullptr) return CallStart::stuck_high;
  if (find(ChipFault::stuck_low_after_release, function, nth) != nullptr ||
      find(ChipFault::no_busy, function, nth) != nullptr)
    return CallStart::stuck_low;
  return healthy;
}

double busy_end(int function, int nth, double healthy) {
  return find(ChipFault::busy_never_ends, function, nth) != nullptr ? forever_us : healthy;
}

bool silent(long long vectors, bool healthy) {
  for (const ChipFaultSpec& f : config.faults)
    if (f.kind == ChipFault::silence_after_vectors) return healthy || vectors >= f.vectors;
  return healthy;
}

bool leaves_buffer(int nth, bool healthy) {
  return healthy || find(ChipFault::read_block_untouched, read_block, nth) != nullptr;
}

bool browns_out(long long vectors, bool healthy) {
  for (const ChipFaultSpec& f : config.faults)
    if (f.kind == ChipFault::brown_out && vectors == f.vectors) return true;
  return healthy;
}

double start_without_clock(int function, int nth) {
  const ChipFaultSpec* f = find(ChipFault::answer_without_clock, function, nth);
  return f != nullptr ? f->delay_us : -1;
}

double answer_delay(int function, int nth, double healthy) {
  const ChipFaultSpec* f = find(ChipFault::late_answer, function, nth);
  return f != nullptr ? f->delay_us : healthy;
}

}  // namespace sim::chip::detail

namespace sim::chip_fault {

namespace {
ChipFaultSpec of(ChipFault kind) {
  ChipFaultSpec f;
  f.kind = kind;
  return f;
}
}  // namespace

ChipFaultSpec no_answer_after_power_on(int nth_power_on) {
  ChipFaultSpec f = of(ChipFault::no_answer_after_power_on);
  f.nth_power_on = nth_power_on;
  return f;
}

ChipFaultSpec at_call(ChipFault kind, RomFunction function, int nth_call) {
  ChipFaultSpec f = of(kind);
  f.function = static_cast<int>(function);
  f.nth_call = nth_call;
  return f;
}

ChipFaultSpec wrong_status(RomFunction function, int status, int nth_call) {
  ChipFaultSpec f = at_call(ChipFault::wrong_status, function, nth_call);
  f.status = status;
  return f;
}

ChipFaultSpec corrupt_written_block(int block, int position, int xor_mask, int nth_call) {
  ChipFaultSpec f = of(ChipFault::corrupt_written_block);
  f.block = block;
  f.position = position;
  f.xor_mask = xor_mask;
  f.nth_call = nth_call;
  return f;
}

ChipFaultSpec corrupt_read_block(int block, int position, int xor_mask, int nth_call) {
  ChipFaultSpec f = corrupt_written_block(block, position, xor_mask, nth_call);
  f.kind = ChipFault::corrupt_read_block;
  return f;
}

ChipFaultSpec checksum_off(int count, int offset, int nth_call) {
  ChipFaultSpec f = of(ChipFault::checksum_off);
  f.count = count;
  f.offset = offset;
  f.nth_call = nth_call;
  return f;
}

ChipFaultSpec buffer_byte_stuck(int position, int stuck_value) {
  ChipFaultSpec f = of(ChipFault::buffer_byte_stuck);
  f.position = position;
  f.stuck_value = stuck_value;
  return f;
}

ChipFaultSpec silence_after_vectors(long vectors) {
  ChipFaultSpec f = of(ChipFault::silence_after_vectors);
  f.vectors = vectors;
  return f;
}

}  // namespace sim::chip_fault

namespace sim::chip_fault {

ChipFaultSpec read_block_untouched(int nth_call) {
  return at_call(ChipFault::read_block_untouched, RomFunction::read_block, nth_call);
}

ChipFaultSpec brown_out(long vectors) {
  ChipFaultSpec f = silence_after_vectors(vectors);
  f.kind = ChipFault::brown_out;
  return f;
}

ChipFaultSpec late_answer(RomFunction function, double delay_us, int nth_call) {
  ChipFaultSpec f = at_call(ChipFault::late_answer, function, nth_call);
  f.delay_us = delay_us;
  return f;
}

ChipFaultSpec answer_without_clock(RomFunction function, double delay_us, int nth_call) {
  ChipFaultSpec f = late_answer(function, delay_us, nth_call);
  f.kind = ChipFault::answer_without_clock;
  return f;
}

}  // namespace sim::chip_fault
