// The tool's image reader against containers packed by the shared packing code.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
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

// Packs plain and puts the container in the image buffer, as the tool's loader does (after a
// reset of the module, unless told not to).
Bytes load(const Bytes& plain, uint32_t x0, bool reset = true) {
  Bytes c(image::container_size);
  image::pack_container(plain.data(), x0, nullptr, c.data());
  if (reset) image::reset_image();
  std::memcpy(image::image_buffer, c.data(), c.size());
  return c;
}

Bytes read_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

TEST(ImageKeystream, PublishedValues) {
  uint16_t crc = image::crc16_initial;
  for (const char* p = "123456789"; *p; ++p) crc = image::crc16_update(crc, static_cast<uint8_t>(*p));
  EXPECT_EQ(crc, 0x29B1);
  image::Xorshift128 g{image::default_x, image::default_y, image::default_z, image::default_w};
  EXPECT_EQ(image::xorshift_step(g), 3701687786u);
}

// Every byte comes back, in any order and as often as asked, without the buffer being
// written; no index outside the image reads anything or disturbs what comes after it.
TEST(ImageReader, ReturnsThePackedImage) {
  for (const uint32_t x0 : {0x12345678u, 0xCAFEF00Du, 7u}) {
    SCOPED_TRACE(x0);
    const Bytes plain = random_image(x0);
    // Only the first container comes after a reset: what the reader keeps belongs to one X0.
    const Bytes container = load(plain, x0, x0 == 0x12345678u);
    ASSERT_EQ(image::image_verify(), 0);
    std::vector<int32_t> order(image::image_size + 1000);
    for (size_t k = 0; k < order.size(); ++k) order[k] = static_cast<int32_t>(k % image::image_size);
    std::shuffle(order.begin(), order.end(), std::mt19937(x0));
    for (size_t k = 0; k < order.size(); ++k) {
      const int32_t i = order[k];
      ASSERT_EQ(image::image_byte(i), plain[i]) << i;
      if (k % 97 == 0) {
        ASSERT_EQ(image::image_byte(i), plain[i]) << "again " << i;
      }
      if (k % 101 == 0) {
        ASSERT_EQ(image::image_byte(k % 2 ? 8192 : -1), -1);
      }
    }
    EXPECT_EQ(0, std::memcmp(image::image_buffer, container.data(), container.size())) << "buffer written";
  }
  for (int32_t i : {8192, -1, INT32_MIN, INT32_MAX, 65536 + 5}) EXPECT_EQ(image::image_byte(i), -1) << i;
}

// The programming procedure's order (each block's 64 bytes three times in a row, block after
// block, then the whole image twice more) and image_verify cost a few generator steps per
// byte, not a regeneration from the start.
TEST(ImageReader, ProcedureOrderCostsFewStepsPerByte) {
  const Bytes plain = random_image(5);
  load(plain, 0xA5A5F00Du);
  uint64_t before = image::image_counters.generator_steps;
  ASSERT_EQ(image::image_verify(), 0);
  EXPECT_EQ(image::image_counters.generator_steps - before, image::image_size + 1);

  uint64_t most = 0, total = 0, calls = 0;
  auto read = [&](int32_t i) {
    before = image::image_counters.generator_steps;
    ASSERT_EQ(image::image_byte(i), plain[i]) << i;
    const uint64_t steps = image::image_counters.generator_steps - before;
    most = std::max(most, steps);
    total += steps;
    ++calls;
  };
  for (int32_t b = 0; b < 128; ++b) {
    for (int pass = 0; pass < 3; ++pass) {
      for (int32_t k = 0; k < 64; ++k) read(b * 64 + k);
    }
  }
  for (int pass = 0; pass < 2; ++pass) {
    for (int32_t i = 0; i < static_cast<int32_t>(image::image_size); ++i) read(i);
  }
  EXPECT_EQ(calls, 40960u);
  EXPECT_LE(most, 64u);
  EXPECT_LE(total, 2 * calls);

  // A reset forgets the kept states along with everything else: the next byte is generated
  // from the start again.
  read(299);
  const uint32_t h = image::header_position;
  load(plain, 0xA5A5F00Du);
  EXPECT_EQ(image::image_counters.generator_steps, 0u);
  image::header_position = h;
  EXPECT_EQ(image::image_byte(300), plain[300]);
  EXPECT_EQ(image::image_counters.generator_steps, 301u);

  // What is kept belongs to one X0: another container put in the buffer without a reset and
  // read at the same place gives its own byte.
  const Bytes other = random_image(6);
  const Bytes container = load(other, 0x0F0F1234u, false);
  image::header_position = image::header_position_for_seed(static_cast<uint16_t>(container[0] | container[1] << 8));
  EXPECT_EQ(image::image_byte(301), other[301]);
}

TEST(ImageReader, CheckCatchesDamageButNotTheTail) {
  const Bytes plain = random_image(99);
  const Bytes good = load(plain, 0x0BADC0DEu);
  const uint32_t h = image::header_position_for_seed(static_cast<uint16_t>(good[0] | good[1] << 8));
  const struct { const char* name; std::vector<uint32_t> offsets; int expected; } cases[] = {
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

// Containers that tests/data/make_known_answer_containers.py built from the format's description
// alone, with none of this project's keystream or packing code: the tool's reader, the packer's
// reader and the packer's writer must all agree with them byte for byte.
TEST(ImageKnownAnswer, ContainersBuiltIndependently) {
  const struct { const char* name; uint32_t x0; uint32_t header; int verify; } cases[] = {
      {"search_repeats", 0x89ABCDEFu, 1872, 0},  // the header search takes a second step
      {"header_at_2", 0x0123F00Du, 2, 0},
      {"header_at_8191", 0xFEDC1234u, 8191, 0},
      {"wrong_check_value", 0x5EED0BADu, 2642, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string base = std::string(TOLVERN_SOURCE_DIR "/tests/data/known_answer/") + c.name;
    const Bytes container = read_bytes(base + ".dat");
    const Bytes plain = read_bytes(base + ".plain");
    ASSERT_EQ(container.size(), image::container_size);
    ASSERT_EQ(plain.size(), image::image_size);

    image::reset_image();
    std::memcpy(image::image_buffer, container.data(), container.size());
    // Read before image_verify, the header is taken at position 2.
    const int early = image::image_byte(1);
    EXPECT_EQ(image::header_position, 2u);
    if (c.header == 2) {
      EXPECT_EQ(early, plain[1]);
    }
    EXPECT_EQ(image::image_verify(), c.verify);
    EXPECT_EQ(image::header_position, c.header);
    EXPECT_EQ(image::check_container(container.data()), c.verify);
    if (c.verify != 0) continue;
    for (int32_t i = 0; i < static_cast<int32_t>(image::image_size); ++i) ASSERT_EQ(image::image_byte(i), plain[i]) << i;
    // The packer's reader regenerates from the start for every byte: a sample, with both
    // sides of the header.
    for (uint32_t i : {0u, 1u, c.header - 1, c.header, 4097u, 8190u, 8191u}) {
      if (i < image::image_size) {
        EXPECT_EQ(image::unpack_byte(container.data(), i), plain[i]) << i;
      }
    }
    Bytes packed(image::container_size);
    image::pack_container(plain.data(), c.x0, container.data() + image::image_size + image::header_size,
                          packed.data());
    EXPECT_EQ(packed, container);
  }
}

}  // namespace
