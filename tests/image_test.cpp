// The tool's image reader against containers packed by the shared packing code.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "image/container.h"
#include "image/container_format.h"
#include "image/keystream.h"

namespace {

std::vector<uint8_t> random_image(uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> p(image::image_size);
  for (uint8_t& b : p) b = static_cast<uint8_t>(gen());
  return p;
}

// An image whose container puts the header at exactly `header` (when some seed gives it), so
// the boundary between bytes before and after the header is exercised at both ends.
bool image_with_header(uint32_t header, uint32_t x0, std::vector<uint8_t>* p) {
  for (uint32_t s = 0; s <= 0xFFFF; ++s) {
    if (image::header_position_for_seed(static_cast<uint16_t>(s)) != header) continue;
    image::Xorshift128 g = image::keystream_start(x0);
    (*p)[0] = static_cast<uint8_t>((s & 0xFF) ^ ((image::xorshift_step(g) >> 3) & 0xFF));
    (*p)[1] = static_cast<uint8_t>((s >> 8) ^ ((image::xorshift_step(g) >> 3) & 0xFF));
    return true;
  }
  return false;
}

uint32_t header_of(const uint8_t* c) { return image::header_position_for_seed(static_cast<uint16_t>(c[0] | c[1] << 8)); }

void load(const std::vector<uint8_t>& container) {
  image::reset_image();
  std::memcpy(image::image_buffer, container.data(), image::container_size);
}

std::vector<uint8_t> packed(const std::vector<uint8_t>& plain, uint32_t x0) {
  std::vector<uint8_t> c(image::container_size);
  image::pack_container(plain.data(), x0, nullptr, c.data());
  return c;
}

TEST(ImageKeystream, PublishedValues) {
  const char* text = "123456789";
  uint16_t crc = image::crc16_initial;
  for (const char* p = text; *p; ++p) crc = image::crc16_update(crc, static_cast<uint8_t>(*p));
  EXPECT_EQ(crc, 0x29B1);

  image::Xorshift128 g{image::default_x, image::default_y, image::default_z, image::default_w};
  EXPECT_EQ(image::xorshift_step(g), 3701687786u);

  for (uint32_t s = 0; s <= 0xFFFF; ++s) {
    const uint32_t h = image::header_position_for_seed(static_cast<uint16_t>(s));
    ASSERT_TRUE(h >= 2 && h <= 8191) << "seed " << s << " gives " << h;
  }
}

TEST(ImageReader, ReturnsThePackedImage) {
  struct Case {
    const char* name;
    uint32_t header;  // 0: whatever the image gives
    uint32_t x0;
  };
  const Case cases[] = {{"random", 0, 0x12345678u}, {"header at 2", 2, 0xCAFEF00Du}, {"header high", 8100, 7u}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> plain = random_image(c.x0);
    uint32_t h = c.header;
    if (h != 0) {
      // Not every position is reachable from some seed; take the nearest one above.
      while (h <= 8191 && !image_with_header(h, c.x0, &plain)) ++h;
      ASSERT_LE(h, 8191u);
    }
    const std::vector<uint8_t> container = packed(plain, c.x0);
    if (h != 0) {
      ASSERT_EQ(header_of(container.data()), h);
    }
    load(container);
    ASSERT_EQ(image::image_verify(), 0);
    EXPECT_EQ(image::header_position, header_of(container.data()));
    for (int32_t i = 0; i < static_cast<int32_t>(image::image_size); ++i) {
      ASSERT_EQ(image::image_byte(i), plain[i]) << "byte " << i;
    }
    EXPECT_EQ(0, std::memcmp(image::image_buffer, container.data(), image::container_size)) << "buffer written";
  }
}

TEST(ImageReader, CheckCatchesDamageButNotTheTail) {
  const std::vector<uint8_t> plain = random_image(99);
  const std::vector<uint8_t> good = packed(plain, 0x0BADC0DEu);
  const uint32_t h = header_of(good.data());
  struct Case {
    const char* name;
    std::vector<uint32_t> offsets;
    int expected;
  };
  const Case cases[] = {
      {"first data byte after the seed", {2}, -1},
      {"last byte before the header", {h - 1}, -1},
      {"first byte after the header", {h + 6}, -1},
      {"last image byte", {8197}, -1},
      {"check value high", {h + 4}, -1},
      {"check value low", {h + 5}, -1},
      {"all of the last 10 bytes", {8198, 8199, 8200, 8201, 8202, 8203, 8204, 8205, 8206, 8207}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> damaged = good;
    for (uint32_t o : c.offsets) damaged[o] ^= 0x5A;
    load(damaged);
    EXPECT_EQ(image::image_verify(), c.expected);
    if (c.expected == 0) {
      for (int32_t i : {0, 1, 8190, 8191}) EXPECT_EQ(image::image_byte(i), plain[i]);
    }
  }
}

TEST(ImageReader, IndexRangeOrderAndCounters) {
  const std::vector<uint8_t> plain = random_image(5);
  load(packed(plain, 0xA5A5A5A5u));
  ASSERT_EQ(image::image_verify(), 0);
  // The check reads every byte through image_byte, then takes 8193 steps for its key.
  EXPECT_EQ(image::image_counters.byte_calls, 8192u);
  EXPECT_EQ(image::image_counters.generator_steps, 8192ull * 8193 / 2 + 8193);

  for (int32_t i : {8192, -1, INT32_MIN, INT32_MAX, 65536 + 5}) EXPECT_EQ(image::image_byte(i), -1) << i;
  EXPECT_EQ(image::image_byte(0), plain[0]);
  EXPECT_EQ(image::image_byte(8191), plain[8191]);

  std::vector<int32_t> order(300);
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = static_cast<int32_t>((k * 4099) % 8192);
  std::vector<int32_t> reversed(order.rbegin(), order.rend());
  for (const auto& seq : {order, reversed, order}) {
    for (int32_t i : seq) ASSERT_EQ(image::image_byte(i), plain[i]) << i;
  }

  image::image_counters = {};
  image::image_byte(9);
  image::image_byte(8192);
  EXPECT_EQ(image::image_counters.byte_calls, 1u);
  EXPECT_EQ(image::image_counters.generator_steps, 10u);
}

TEST(ImageReader, ByteBeforeVerifyUsesHeaderPositionTwo) {
  std::vector<uint8_t> plain = random_image(77);
  ASSERT_TRUE(image_with_header(2, 0x600DF00Du, &plain));
  load(packed(plain, 0x600DF00Du));
  ASSERT_EQ(image::header_position, 0u);
  for (int32_t i : {0, 1, 2, 3, 1000, 8191}) EXPECT_EQ(image::image_byte(i), plain[i]) << i;
  EXPECT_EQ(image::header_position, 2u);
}

TEST(ImageReader, EmbeddedContainerIsSoundAndScrambled) {
  image::reset_image();
  image::load_embedded_container();
  EXPECT_EQ(0, std::memcmp(image::image_buffer, image::embedded_container, image::container_size));
  ASSERT_EQ(image::image_verify(), 0);
  // The default build embeds the demo placeholder; its text must come out only through the
  // descrambler, never lie in the program as it is.
  const char banner[] = "Tolvern demo placeholder blk 000";
  char head[sizeof banner - 1];
  for (std::size_t i = 0; i < sizeof head; ++i) head[i] = static_cast<char>(image::image_byte(static_cast<int32_t>(i)));
  EXPECT_EQ(std::string(head, sizeof head), std::string(banner)) << "not the demo firmware (TOLVERN_FIRMWARE set?)";
  const uint8_t* e = image::embedded_container;
  EXPECT_EQ(std::search(e, e + image::container_size, banner, banner + 16), e + image::container_size);
}

}  // namespace
