#include "image/keystream.h"

#include <array>

namespace image {
namespace {

constexpr std::array<uint16_t, 256> make_crc_table() {
  std::array<uint16_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n << 8;
    for (int bit = 0; bit < 8; ++bit) c = (c & 0x8000u) ? ((c << 1) ^ 0x1021u) : (c << 1);
    table[n] = static_cast<uint16_t>(c & 0xFFFFu);
  }
  return table;
}

constexpr std::array<uint16_t, 256> crc_table = make_crc_table();

}  // namespace

uint16_t crc16_update(uint16_t crc, uint8_t byte) {
  return static_cast<uint16_t>((crc << 8) ^ crc_table[((crc >> 8) ^ byte) & 0xFFu]);
}

uint32_t header_position_for_seed(uint16_t seed) {
  const uint32_t s = seed;
  const uint32_t t = s ^ (s << 11);
  const uint32_t z0 = t ^ (t >> 8) ^ first_mixing_constant;
  const uint32_t w0 = z0 ^ (z0 >> 19) ^ second_mixing_constant;
  Xorshift128 g{default_z, default_w, z0, w0};
  uint32_t h = 0;
  do {
    h = (xorshift_step(g) >> 10) & 0x1FFFu;
  } while (h <= 1);
  return h;
}

}  // namespace image
