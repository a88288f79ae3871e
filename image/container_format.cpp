#include "image/container_format.h"

#include <cstring>

#include "image/keystream.h"

namespace image {
namespace {

uint32_t header_of(const uint8_t* container) {
  return header_position_for_seed(static_cast<uint16_t>(container[0] | (container[1] << 8)));
}

uint32_t read_be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

void pack_container(const uint8_t* plain, uint32_t x0, const uint8_t* tail, uint8_t* container) {
  uint8_t scrambled[image_size];
  Xorshift128 g = keystream_start(x0);
  uint16_t crc = crc16_initial;
  for (std::size_t i = 0; i < image_size; ++i) {
    scrambled[i] = static_cast<uint8_t>(plain[i] ^ ((xorshift_step(g) >> 3) & 0xFFu));
    crc = crc16_update(crc, plain[i]);
  }
  // The check key is the output of step 8193: one step beyond the last image byte's.
  const uint16_t v = static_cast<uint16_t>(crc ^ ((xorshift_step(g) >> 2) & 0xFFFFu));

  const uint32_t h = header_position_for_seed(static_cast<uint16_t>(scrambled[0] | (scrambled[1] << 8)));
  std::memcpy(container, scrambled, h);
  container[h + 0] = static_cast<uint8_t>(x0 >> 24);
  container[h + 1] = static_cast<uint8_t>(x0 >> 16);
  container[h + 2] = static_cast<uint8_t>(x0 >> 8);
  container[h + 3] = static_cast<uint8_t>(x0);
  container[h + 4] = static_cast<uint8_t>(v >> 8);
  container[h + 5] = static_cast<uint8_t>(v);
  std::memcpy(container + h + header_size, scrambled + h, image_size - h);
  for (std::size_t k = 0; k < container_size - image_size - header_size; ++k) {
    container[image_size + header_size + k] = tail ? tail[k] : 0;
  }
}

void put_expected_silicon_id(uint16_t expected_id, uint8_t* tail) {
  std::memcpy(tail, silicon_id_marker, sizeof silicon_id_marker);
  const uint16_t complement = static_cast<uint16_t>(~expected_id);
  tail[6] = static_cast<uint8_t>(expected_id >> 8);
  tail[7] = static_cast<uint8_t>(expected_id);
  tail[8] = static_cast<uint8_t>(complement >> 8);
  tail[9] = static_cast<uint8_t>(complement);
}

int read_expected_silicon_id(const uint8_t* tail, uint16_t* expected_id) {
  if (std::memcmp(tail, silicon_id_marker, sizeof silicon_id_marker) != 0) return 0;
  const uint16_t id = static_cast<uint16_t>((tail[6] << 8) | tail[7]);
  const uint16_t complement = static_cast<uint16_t>((tail[8] << 8) | tail[9]);
  if (static_cast<uint16_t>(~id) != complement) return -1;
  *expected_id = id;
  return 1;
}

int unpack_byte(const uint8_t* container, uint32_t i) {
  if (i >= image_size) return -1;
  const uint32_t h = header_of(container);
  Xorshift128 g = keystream_start(read_be32(container + h));
  uint32_t w = 0;
  for (uint32_t k = 0; k <= i; ++k) w = xorshift_step(g);
  return container[i < h ? i : i + header_size] ^ static_cast<int>((w >> 3) & 0xFFu);
}

int check_container(const uint8_t* container) {
  const uint32_t h = header_of(container);
  Xorshift128 g = keystream_start(read_be32(container + h));
  uint16_t crc = crc16_initial;
  for (uint32_t i = 0; i < image_size; ++i) {
    const uint32_t w = xorshift_step(g);
    crc = crc16_update(crc, static_cast<uint8_t>(container[i < h ? i : i + header_size] ^ ((w >> 3) & 0xFFu)));
  }
  const uint16_t v = static_cast<uint16_t>((container[h + 4] << 8) | container[h + 5]);
  const uint16_t e = static_cast<uint16_t>(((xorshift_step(g) >> 2) & 0xFFFFu) ^ v);
  return crc == e ? 0 : -1;
}

}  // namespace image
