// Intel HEX input for tolvern-pack: the flash image 0x0000-0x1FFF of a PSoC 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace intel_hex {

// True when the bytes are Intel HEX text rather than a plain image: the first thing in the
// file (after an optional UTF-8 byte order mark and blank space) is ':' followed by at least
// the ten hex digits of the shortest record. A plain image that happens to start with ':'
// almost never continues with ten hex digits.
bool looks_like_hex(const std::vector<uint8_t>& data);

// What a parsed file held besides the image itself.
struct Summary {
  std::size_t bytes_taken;  // flash bytes written by data records; the rest stay 0x00
  bool has_checksum;        // a PSoC Designer checksum record was found, and it matched
  uint16_t checksum;
};

// Parses Intel HEX text into image (image_size bytes; bytes no record covers are 0x00, the
// chip's erased state). Returns true on success. On failure *error holds one sentence naming
// the line. Records that are skipped on purpose (start addresses, protection bits, unknown
// types) add one sentence each to *notices. Lines may end in LF, CRLF or CR alone; Ctrl-Z
// characters at the very end (an old DOS end-of-file mark) are not part of the text.
bool parse(const std::vector<uint8_t>& data, uint8_t* image, std::size_t image_size, Summary* summary,
           std::string* error, std::vector<std::string>* notices);

}  // namespace intel_hex
