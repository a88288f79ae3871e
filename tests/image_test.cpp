// The tool's image reader against containers packed by the shared packing code.
#include <gtest/gtest.h>

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

uint32_t header_of(const uint8_t* c) { return image::header_position_for_seed(static_cast<uint16_t>(c[0] | c[1] << 8)); }

// Sets the first two image bytes so that the container's header lands at the lowest reachable
// position >= want: the boundary between bytes before and after the header, at both ends.
uint32_t steer_header(uint32_t want, uint32_t x0, Bytes* p) {
  for (uint32_t h = want; h <= 8191; ++h) {
    for (uint32_t s = 0; s <= 0xFFFF; ++s) {
      if (image::header_position_for_seed(static_cast<uint16_t>(s)) != h) continue;
      image::Xorshift128 g = image::keystream_start(x0);
      (*p)[0] = static_cast<uint8_t>((s & 0xFF) ^ ((image::xorshift_step(g) >> 3) & 0xFF));
      (*p)[1] = static_cast<uint8_t>((s >> 8) ^ ((image::xorshift_step(g) >> 3) & 0xFF));
      return h;
    }
  }
  return 0;
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
  for (uint32_t s = 0; s <= 0xFFFF; ++s) {
    const uint32_t h = image::header_position_for_seed(static_cast<uint16_t>(s));
    ASSERT_TRUE(h >= 2 && h <= 8191) << "seed " << s << " gives " << h;
  }
}

TEST(ImageReader, ReturnsThePackedImage) {
  const struct {
    uint32_t header;  // 0: wherever the image puts it
    uint32_t x0;
  } cases[] = {{0, 0x12345678u}, {2, 0xCAFEF00Du}, {8100, 7u}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header);
    Bytes plain = random_image(c.x0);
    const uint32_t h = c.header ? steer_header(c.header, c.x0, &plain) : 0;
    ASSERT_TRUE(c.header == 0 || h != 0);
    const Bytes container = load(plain, c.x0);
    if (h == 2) {
      // Read before image_verify: the position 0 clamps to 2, which is this container's.
      for (int32_t i : {0, 1, 2, 1000, 8191}) EXPECT_EQ(image::image_byte(i), plain[i]) << i;
      EXPECT_EQ(image::header_position, 2u);
    }
    ASSERT_EQ(image::image_verify(), 0);
    EXPECT_EQ(image::header_position, h ? h : header_of(container.data()));
    for (int32_t i = 0; i < static_cast<int32_t>(image::image_size); ++i) ASSERT_EQ(image::image_byte(i), plain[i]) << i;
    EXPECT_EQ(0, std::memcmp(image::image_buffer, container.data(), container.size())) << "buffer written";
  }
}

TEST(ImageReader, CheckCatchesDamageButNotTheTail) {
  const Bytes plain = random_image(99);
  const Bytes good = load(plain, 0x0BADC0DEu);
  const uint32_t h = header_of(good.data());
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

TEST(ImageReader, IndexRangeOrderAndCounters) {
  const Bytes plain = random_image(5);
  load(plain, 0xA5A5A5A5u);
  ASSERT_EQ(image::image_verify(), 0);
  // The check reads every byte through image_byte, then takes 8193 steps for its key.
  EXPECT_EQ(image::image_counters.byte_calls, 8192u);
  EXPECT_EQ(image::image_counters.generator_steps, 8192ull * 8193 / 2 + 8193);

  for (int32_t i : {8192, -1, INT32_MIN, INT32_MAX, 65536 + 5}) EXPECT_EQ(image::image_byte(i), -1) << i;
  for (int round = 0; round < 2; ++round) {
    for (int32_t k = 0; k < 300; ++k) {
      const int32_t i = round ? 8191 - k * 27 : (k * 4099) % 8192;
      ASSERT_EQ(image::image_byte(i), plain[i]) << i;
    }
  }
  image::image_counters = {};
  image::image_byte(9);
  image::image_byte(8192);
  EXPECT_EQ(image::image_counters.byte_calls, 1u);
  EXPECT_EQ(image::image_counters.generator_steps, 10u);
}

}  // namespace
