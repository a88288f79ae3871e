// The chip's flash: 128 blocks of 64 bytes that read 0x00 when erased, whose bits only go
// from 0 to 1 until the next erase, and the 64 protection bytes, one per pair of blocks.
#include <cstring>

#include "sim/model/chip_private.h"

namespace sim::chip::detail {

namespace {
std::array<uint8_t, block_count * block_bytes> flash_bytes;
std::array<uint8_t, 64> protection_bytes;
bool protection_stored = false;
}  // namespace

void flash_reset() {
  // A chip fresh from the field carries old firmware: a write without an erase shows up.
  uint32_t x = 0x2545F491u;
  for (uint8_t& b : flash_bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x >> 24);
  }
  protection_bytes.fill(0);
  protection_stored = false;
}

void flash_read_block(int block, uint8_t* buffer) {
  std::memcpy(buffer, &flash_bytes[block * block_bytes], block_bytes);
}

void flash_write_block(int block, const uint8_t* buffer) {
  for (int k = 0; k < block_bytes; ++k) flash_bytes[block * block_bytes + k] |= buffer[k];
}

void flash_protect(const uint8_t* bytes) {
  std::memcpy(protection_bytes.data(), bytes, protection_bytes.size());
  protection_stored = true;
}

void flash_erase_all() {
  flash_bytes.fill(0);
  protection_bytes.fill(0);
  protection_stored = false;
}

bool flash_protected(int block) {
  return protection_stored && protection_bytes[static_cast<std::size_t>(block / 2)] != 0;
}

uint16_t flash_sum(int blocks) {
  uint32_t sum = 0;
  for (int i = 0; i < blocks * block_bytes; ++i) sum += flash_bytes[i];
  return static_cast<uint16_t>(sum);
}

}  // namespace sim::chip::detail

namespace sim {

using namespace chip::detail;

const std::array<uint8_t, 8192>& flash() { return flash_bytes; }
std::array<uint8_t, 8192>& flash_mut() { return flash_bytes; }
const std::array<uint8_t, 64>& protection() { return protection_bytes; }
bool protection_set() { return protection_stored; }

}  // namespace sim
