// The tool's image reader against containers packed by the shared packing code.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "image/container.h"
#include "image/container_format.h"
#include "image/keystream.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes random_image(uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes p(image::image_size);
  for (uint8_t& b : p) b = static_cast<uint8_t>(gen());
  return p;
}

// Packs plain and puts the container in the image buffer, as the tool's loader does.
Bytes load(const Bytes& plain, uint32_t x0) {
  Bytes c(image::container_size);
  image::pack_container(plain.data(), x0, nullptr, c.data());
  image::reset_image();
  std::memcpy(image::image_buffer, c.data(), c.size());
  return c;
}

TEST(ImageKeystream, PublishedValues) {
  uint16_t crc = image::crc16_initial;
  for (const char* p = "123456789"; *p; ++p) crc = image::crc16_update(crc, static_cast<uint8_t>(*p));
  EXPECT_EQ(crc, 0x29B1);
  image::Xorshift128 g{image::default_x, image::default_y, image::default_z, image::default_w};
  EXPECT_EQ(image::xorshift_step(g), 3701687786u);
}

// Every byte comes back, in any order, without the buffer being written; no index outside the
// image reads anything.
TEST(ImageReader, ReturnsThePackedImage) {
  for (const uint32_t x0 : {0x12345678u, 0xCAFEF00Du, 7u}) {
    SCOPED_TRACE(x0);
    const Bytes plain = random_image(x0);
    const Bytes container = load(plain, x0);
    ASSERT_EQ(image::image_verify(), 0);
    for (int32_t i = 0; i < static_cast<int32_t>(image::image_size); ++i) ASSERT_EQ(image::image_byte(i), plain[i]) << i;
    for (int32_t k = 0; k < 300; ++k) {
      for (const int32_t i : {8191 - k * 27, (k * 4099) % 8192}) ASSERT_EQ(image::image_byte(i), plain[i]) << i;
    }
    EXPECT_EQ(0, std::memcmp(image::image_buffer, container.data(), container.size())) << "buffer written";
  }
  for (int32_t i : {8192, -1, INT32_MIN, INT32_MAX, 65536 + 5}) EXPECT_EQ(image::image_byte(i), -1) << i;
}

TEST(ImageReader, CheckCatchesDamageButNotTheTail) {
  const Bytes plain = random_image(99);
  const Bytes good = load(plain, 0x0BADC0DEu);
  const uint32_t h = image::header_position_for_seed(static_cast<uint16_t>(good[0] | good[1] << 8));
  const struct {
    const char* name;
    std::vector<uint32_t> offsets;
    int expected;
  } cases[] = {
      {"first data byte after the seed", {2}, -1},
      {"last byte before the header", {h - 1}, -1},
      {"first byte after the header", {h + 6}, -1},
      {"last image byte", {8197}, -1},
      {"check value", {h + 4}, -1},
      {"check value low byte", {h + 5}, -1},
      {"all of the last 10 bytes", {8198, 8199, 8200, 8201, 8202, 8203, 8204, 8205, 8206, 8207}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::memcpy(image::image_buffer, good.data(), good.size());
    for (uint32_t o : c.offsets) image::image_buffer[o] ^= 0x5A;
    EXPECT_EQ(image::image_verify(), c.expected);
  }
  EXPECT_EQ(image::image_byte(8191), plain[8191]);
}

}  // namespace
