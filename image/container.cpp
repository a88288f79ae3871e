#include "image/container.h"

#include "image/keystream.h"

namespace image {

uint8_t image_buffer[container_size];
uint32_t header_position;
ImageCounters image_counters;

namespace {

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

// The keystream word after `steps` steps from X0 and the three default words. Kept in locals
// so the compiler holds the state in registers: this loop is where a programming run spends
// its image time.
uint32_t keystream_word(uint32_t x0, uint32_t steps) {
  uint32_t x = x0, y = default_y, z = default_z, w = default_w;
  for (uint32_t n = steps; n != 0; --n) {
    const uint32_t t = x ^ (x << 11);
    x = y;
    y = z;
    z = w;
    w = w ^ (w >> 19) ^ t ^ (t >> 8);
  }
  image_counters.generator_steps += steps;
  return w;
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

void reset_image() {
  for (uint8_t& b : image_buffer) b = 0;
  header_position = 0;
  image_counters = ImageCounters{};
}

}  // namespace image
