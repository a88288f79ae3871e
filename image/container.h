// The image buffer and the only way to read the firmware: one descrambled byte at a time.
#pragma once

#include <cstdint>

#include "image/container_format.h"

namespace image {

extern uint8_t image_buffer[container_size];
extern uint32_t header_position;

// The container built into the program (generated from the firmware at build time).
extern const uint8_t embedded_container[container_size];

void load_embedded_container();

// 0 when sound, -1 when not; sets the header position. Call once before image_byte.
int image_verify();
// Descrambled byte i (0..255) for 0 <= i <= 8191 taken as unsigned, else -1. Keeps generator
// states (never image bytes) between calls, so reading in order costs one step per byte.
int image_byte(int32_t i);

// The check value V stored in the header (after image_verify): tells containers apart.
uint16_t image_check_value();
// The SiliconID the container is meant for, as read_expected_silicon_id says.
int image_expected_silicon_id(uint16_t* expected_id);

// For the benchmark. image_verify reads all 8192 bytes through image_byte in order, so one
// check adds 8192 byte calls and 8193 generator steps (the last one for the check key).
struct ImageCounters {
  uint64_t byte_calls;
  uint64_t generator_steps;
};
extern ImageCounters image_counters;

void reset_image();

}  // namespace image
