#include "image/container.h"

#include "image/keystream.h"

namespace image {

uint8_t image_buffer[container_size];
uint32_t header_position;
ImageCounters image_counters;

namespace {

// Regenerating the keystream from X0 for every byte costs i + 1 steps per call, 33.6 million
// for one check and about 200 million for a programming run. Instead the reader keeps two
// generator states between calls, on purpose: the one at the start of the block last read
// and the one at the last position read. Both are keystream states derived from X0, never
// image bytes, so no firmware byte is held in clear. The procedure reads each block three
// times in a row and then the whole image in order, so every such call costs a step or a
// block's worth of steps; any other order still gives the right byte, it only costs more.
constexpr uint32_t checkpoint_span = 64;  // one flash block

struct KeptState {
  uint32_t steps;  // generator steps taken from the start state to reach it
  Xorshift128 state;
};

struct Keystream {
  bool valid;
  uint32_t x0;  // the kept states belong to the keystream of this X0 only
  KeptState block_start;
  KeptState last;
};
Keystream kept;

// Before image_verify the position is still 0; the clamp keeps every read inside the buffer
// (a header at 8192 still leaves X0 and V at B[8192..8197]).
uint32_t clamped_header_position() {
  uint32_t h = header_position;
  if (h < 2) h = 2;
  if (h > image_size) h = static_cast<uint32_t>(image_size);
  header_position = h;
  return h;
}

uint32_t stored_x0(uint32_t h) {
  const uint8_t* p = image_buffer + h;
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint16_t stored_check_value(uint32_t h) {
  return static_cast<uint16_t>((image_buffer[h + 4] << 8) | image_buffer[h + 5]);
}

void advance(Xorshift128& g, uint32_t count) {
  for (; count != 0; --count) xorshift_step(g);
}

// The keystream word after `steps` (>= 1) steps from X0 and the three default words, taken
// from the nearest kept state at or before it.
uint32_t keystream_word(uint32_t x0, uint32_t steps) {
  const KeptState start{0, keystream_start(x0)};
  if (!kept.valid || kept.x0 != x0) kept = {true, x0, start, start};
  KeptState from = start;
  if (kept.block_start.steps <= steps && kept.block_start.steps > from.steps) from = kept.block_start;
  if (kept.last.steps <= steps && kept.last.steps > from.steps) from = kept.last;

  Xorshift128 g = from.state;
  uint32_t at = from.steps;
  // The state just before the first byte of the block that holds this position.
  const uint32_t block_start = (steps - 1) / checkpoint_span * checkpoint_span;
  if (at <= block_start) {
    advance(g, block_start - at);
    at = block_start;
    kept.block_start = {block_start, g};
  }
  advance(g, steps - at);
  kept.last = {steps, g};
  image_counters.generator_steps += steps - from.steps;
  return g.w;
}

}  // namespace

int image_verify() {
  header_position = header_position_for_seed(static_cast<uint16_t>(image_buffer[0] | (image_buffer[1] << 8)));

  uint16_t crc = crc16_initial;
  for (int32_t i = 0; i < static_cast<int32_t>(image_size); ++i) {
    crc = crc16_update(crc, static_cast<uint8_t>(image_byte(i)));
  }
  const uint32_t h = clamped_header_position();
  const uint32_t w = keystream_word(stored_x0(h), image_size + 1);
  const uint16_t expected = static_cast<uint16_t>(((w >> 2) & 0xFFFFu) ^ stored_check_value(h));
  return crc == expected ? 0 : -1;
}

int image_byte(int32_t i) {
  const uint32_t u = static_cast<uint32_t>(i);
  if (u >= image_size) return -1;
  const uint32_t h = clamped_header_position();
  ++image_counters.byte_calls;
  const uint32_t w = keystream_word(stored_x0(h), u + 1);
  return image_buffer[u < h ? u : u + header_size] ^ static_cast<int>((w >> 3) & 0xFFu);
}

uint16_t image_check_value() { return stored_check_value(clamped_header_position()); }

int image_expected_silicon_id(uint16_t* expected_id) {
  return read_expected_silicon_id(image_buffer + tail_offset, expected_id);
}

void reset_image() {
  for (uint8_t& b : image_buffer) b = 0;
  header_position = 0;
  image_counters = ImageCounters{};
  kept = Keystream{};
}

}  // namespace image
