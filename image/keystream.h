// The container's keystream and check, shared by the tool and the packer.
#pragma once

#include <cstdint>

namespace image {

// The pair binds the tool to the containers built for it; change both sides together. Only
// bits 10..22 and 29..31 of each reach a header position (bits 29..31 of the first only for
// the few seeds whose search takes a second step); changing any other bit changes nothing.
constexpr uint32_t first_mixing_constant = 0x5A17C0DEu;
constexpr uint32_t second_mixing_constant = 0x3C6EF372u;

// Marsaglia's published xorshift128 default words.
constexpr uint32_t default_x = 123456789u;
constexpr uint32_t default_y = 362436069u;
constexpr uint32_t default_z = 521288629u;
constexpr uint32_t default_w = 88675123u;

struct Xorshift128 {
  uint32_t x, y, z, w;
};

// One step; returns the new w.
inline uint32_t xorshift_step(Xorshift128& s) {
  const uint32_t t = s.x ^ (s.x << 11);
  s.x = s.y;
  s.y = s.z;
  s.z = s.w;
  s.w = s.w ^ (s.w >> 19) ^ t ^ (t >> 8);
  return s.w;
}

// CRC-16/CCITT-FALSE: polynomial 0x1021, initial 0xFFFF, no reflection, no final XOR.
constexpr uint16_t crc16_initial = 0xFFFF;
uint16_t crc16_update(uint16_t crc, uint8_t byte);

// Header position 2..8191 derived from the seed (the first two container bytes, little-endian).
uint32_t header_position_for_seed(uint16_t seed);

// Keystream generator at the start of an image: x = X0 and three default words.
inline Xorshift128 keystream_start(uint32_t x0) { return {x0, default_y, default_z, default_w}; }

}  // namespace image
