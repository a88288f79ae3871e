// The Intel HEX reader of tolvern-pack on any text: no crash, no read or write outside its
// buffers, the same answer twice, and on success only bytes that some data record of the text
// puts inside the flash (0x0000-0x1FFF).
//
// The bound is taken by a scanner that knows only the record frame (':', hex pairs, length
// byte, checksum): every well-framed data record found anywhere in the text, placed at every
// base that any well-framed extended address record of the text names (or 0), both as a
// linear and as a segment address. The reader may take less than that, never more.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tools/intel_hex.h"

namespace {

constexpr std::size_t flash_size = 8192;

int hex_value(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

struct Record { uint8_t type; uint32_t offset; std::vector<uint8_t> payload; };

// Every well-framed record that starts at some ':' of the text, whatever surrounds it.
std::vector<Record> framed_records(const std::vector<uint8_t>& text) {
  std::vector<Record> found;
  for (std::size_t p = 0; p < text.size(); ++p) {
    if (text[p] != ':') continue;
    std::vector<uint8_t> bytes;
    for (std::size_t q = p + 1; q + 1 < text.size(); q += 2) {
      const int hi = hex_value(text[q]), lo = hex_value(text[q + 1]);
      if (hi < 0 || lo < 0) break;
      bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    if (bytes.size() < 5 || bytes.size() < bytes[0] + 5u) continue;
    uint8_t sum = 0;
    for (std::size_t k = 0; k < bytes[0] + 5u; ++k) sum = static_cast<uint8_t>(sum + bytes[k]);
    if (sum != 0) continue;
    found.push_back({bytes[3], static_cast<uint32_t>(bytes[1] << 8 | bytes[2]),
                     std::vector<uint8_t>(bytes.begin() + 4, bytes.begin() + 4 + bytes[0])});
  }
  return found;
}

// allowed[address] has bit v set when some record could put v at address.
using Allowed = std::vector<std::array<uint64_t, 4>>;

Allowed allowed_bytes(const std::vector<uint8_t>& text) {
  const std::vector<Record> records = framed_records(text);
  std::vector<uint64_t> bases = {0};
  for (const Record& r : records) {
    if ((r.type == 0x02 || r.type == 0x04) && r.payload.size() == 2) {
      const uint64_t value = uint64_t{r.payload[0]} << 8 | r.payload[1];
      bases.push_back(value << (r.type == 0x02 ? 4 : 16));
    }
  }
  Allowed allowed(flash_size);
  for (const Record& r : records) {
    if (r.type != 0x00) continue;
    for (const uint64_t base : bases) {
      for (std::size_t k = 0; k < r.payload.size(); ++k) {
        const uint64_t addresses[] = {base + r.offset + k, base + ((r.offset + k) & 0xFFFF)};
        for (const uint64_t a : addresses) {
          if (a < flash_size) allowed[a][r.payload[k] >> 6] |= uint64_t{1} << (r.payload[k] & 63);
        }
      }
    }
  }
  return allowed;
}

// One parse into a heap buffer of exactly the flash size (so a write past its end is caught),
// first filled with `fill`.
struct Parse { bool parsed; std::vector<uint8_t> image; std::string error; std::vector<std::string> notices; };
Parse parse(const std::vector<uint8_t>& text, uint8_t fill) {
  Parse p{false, std::vector<uint8_t>(flash_size, fill), {}, {}};
  intel_hex::Summary summary{};
  p.parsed = intel_hex::parse(text, p.image.data(), p.image.size(), &summary, &p.error, &p.notices);
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> text(data, data + size);
  const Parse first = parse(text, 0xA5), again = parse(text, 0x5A);
  FUZZ_CHECK(first.parsed == again.parsed && first.error == again.error && first.notices == again.notices,
             "a second parse of the same text answered differently (%d/%d)", first.parsed, again.parsed);
  if (!first.parsed) {
    FUZZ_CHECK(!first.error.empty(), "refused without saying why");
    return 0;
  }
  FUZZ_CHECK(first.image == again.image, "the same text gave two different images");
  FUZZ_CHECK(intel_hex::looks_like_hex(text), "parsed as Intel HEX, yet looks_like_hex says it is a plain image");
  const Allowed allowed = allowed_bytes(text);
  for (std::size_t a = 0; a < flash_size; ++a) {
    const uint8_t v = first.image[a];
    FUZZ_CHECK(v == 0 || (allowed[a][v >> 6] >> (v & 63) & 1) != 0,
               "byte 0x%02X at 0x%04zX comes from no data record of the text", v, a);
  }
  return 0;
}
