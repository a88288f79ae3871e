// The tool's container check and descrambler (image_verify, image_byte) against the reference
// reader that the packer and the tests share (check_container, unpack_byte), on any 8208 bytes.
//
// Input: the container; a shorter input is padded with zero bytes, a longer one cut. Its last
// ten bytes are never read by either reader, so they choose which image bytes are compared.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "fuzz/fuzz_support.h"
#include "image/container.h"
#include "image/container_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t container[image::container_size] = {};
  std::memcpy(container, data, size < sizeof container ? size : sizeof container);
  const uint8_t* tail = container + image::image_size + image::header_size;

  image::reset_image();
  std::memcpy(image::image_buffer, container, sizeof container);

  // Before image_verify the header position is not known yet: a read must still stay inside
  // the buffer and give a byte.
  if (tail[0] & 1) {
    const int32_t early = static_cast<int32_t>((tail[1] | tail[2] << 8) & 0x1FFF);
    const int b = image::image_byte(early);
    FUZZ_CHECK(b >= 0 && b <= 255, "image_byte(%d) before image_verify gave %d", early, b);
  }

  const int verdict = image::image_verify();
  const int reference = image::check_container(container);
  FUZZ_CHECK(verdict == reference, "image_verify %d, reference check %d", verdict, reference);
  const uint32_t h = image::header_position;
  FUZZ_CHECK(h >= 2 && h <= 8191, "header position %u", h);

  // The bytes on both sides of the header, both ends of the image, and four chosen by the tail.
  uint32_t indexes[10] = {0, 1, h - 1, h, h + 1 > 8191 ? 8191 : h + 1, 8191};
  for (int k = 0; k < 4; ++k) indexes[6 + k] = (tail[2 + 2 * k] | tail[3 + 2 * k] << 8) & 0x1FFF;
  for (const uint32_t i : indexes) {
    const int got = image::image_byte(static_cast<int32_t>(i));
    const int want = image::unpack_byte(container, i);
    FUZZ_CHECK(got == want, "image_byte(%u) = %d, reference reader %d (header at %u)", i, got, want, h);
  }
  const int32_t outside[] = {-1, 8192, 8208, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()};
  for (const int32_t i : outside) {
    const int got = image::image_byte(i);
    FUZZ_CHECK(got == -1, "image_byte(%d) = %d outside the image", i, got);
  }
  FUZZ_CHECK(image::header_position == h, "header position moved from %u to %u", h, image::header_position);
  FUZZ_CHECK(std::memcmp(image::image_buffer, container, sizeof container) == 0, "the image buffer was written");
  return 0;
}
