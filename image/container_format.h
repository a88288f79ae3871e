// The 8208-byte firmware container: scrambled image, a header at a seed-derived position,
// and a check value.
#pragma once

#include <cstddef>
#include <cstdint>

namespace image {

constexpr std::size_t image_size = 8192;
constexpr std::size_t container_size = 8208;
constexpr std::size_t header_size = 6;  // X0 (4 bytes, big-endian), check value V (2, big-endian)

// The 10 bytes after the image and the header are outside the check. A container made for
// one part records there the SiliconID it expects: the marker, the SiliconID big-endian,
// then its complement, so that stray bytes are not taken for a SiliconID.
constexpr std::size_t tail_offset = image_size + header_size;
constexpr std::size_t tail_size = container_size - tail_offset;
constexpr uint8_t silicon_id_marker[6] = {'T', 'v', 'S', 'I', 'D', 1};
static_assert(sizeof silicon_id_marker + 4 == tail_size, "marker, SiliconID and complement fill the tail");

// The tail recording expected_id.
void put_expected_silicon_id(uint16_t expected_id, uint8_t* tail);
// 1 with *expected_id set when the tail records a SiliconID, 0 when it carries no marker,
// -1 when it carries the marker but not a sound SiliconID.
int read_expected_silicon_id(const uint8_t* tail, uint16_t* expected_id);

// Builds a container from a plain 8192-byte image with the given X0; the 10 trailing bytes
// are filled from tail (or zero when tail is null). Never produces a container that the
// tool's check would reject.
void pack_container(const uint8_t* plain, uint32_t x0, const uint8_t* tail, uint8_t* container);

// Reads image byte i back out of a container (a reference reader for the packer and tests;
// the tool has its own in image/container.h). -1 outside 0..8191.
int unpack_byte(const uint8_t* container, uint32_t i);
// 0 when the container's check passes, -1 when not.
int check_container(const uint8_t* container);

}  // namespace image
