#include "tools/intel_hex.h"

#include <cstdio>
#include <string_view>

namespace intel_hex {
namespace {

int hex_digit(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool is_blank(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::size_t skip_preamble(const std::vector<uint8_t>& data) {
  std::size_t p = 0;
  if (data.size() >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) p = 3;
  while (p < data.size() && is_blank(data[p])) ++p;
  return p;
}

std::string say(const char* format, unsigned long a = 0, unsigned long b = 0, unsigned long c = 0) {
  char text[200];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

std::string at_line(std::size_t line, const std::string& what) { return say("line %lu: ", line) + what; }

constexpr uint8_t type_data = 0x00;
constexpr uint8_t type_end = 0x01;
constexpr uint8_t type_segment = 0x02;
constexpr uint8_t type_start_segment = 0x03;
constexpr uint8_t type_linear = 0x04;
constexpr uint8_t type_start_linear = 0x05;
constexpr uint64_t program_space = 0x10000;
// Where PSoC Designer puts a project's flash protection bits and the 16-bit sum of its flash
// bytes (most significant byte first), above the program space.
constexpr uint64_t protection_address = 0x100000;
constexpr uint64_t checksum_address = 0x200000;
constexpr uint8_t ctrl_z = 0x1A;

// The end of the text: trailing blank space and the Ctrl-Z marks old editors and DOS tools
// leave after the last record are not part of it.
std::size_t text_end(const std::vector<uint8_t>& data) {
  std::size_t end = data.size();
  while (end > 0 && (data[end - 1] == ctrl_z || is_blank(data[end - 1]))) --end;
  return end;
}

}  // namespace

bool looks_like_hex(const std::vector<uint8_t>& data) {
  std::size_t p = skip_preamble(data);
  if (p >= data.size() || data[p] != ':') return false;
  std::size_t digits = 0;
  for (++p; p < data.size() && hex_digit(data[p]) >= 0; ++p) ++digits;
  return digits >= 10;
}

bool parse(const std::vector<uint8_t>& data, uint8_t* image, std::size_t image_size, Summary* summary,
           std::string* error, std::vector<std::string>* notices) {
  for (std::size_t i = 0; i < image_size; ++i) image[i] = 0x00;
  *summary = Summary{};
  std::size_t checksum_line = 0;
  // The line of the record that first wrote each byte, so an overlap can name both lines.
  std::vector<std::size_t> written_by(image_size, 0);

  uint64_t base = 0;  // from the last extended segment (02) or linear (04) address record
  bool segmented = false;
  bool ended = false;
  std::size_t data_records = 0;
  std::size_t line = 0;
  std::size_t p = data.size() >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF ? 3 : 0;
  const std::size_t text_size = text_end(data);

  while (p < text_size) {
    ++line;
    std::size_t end = p;  // a line ends at LF, CR LF or a lone CR
    while (end < text_size && data[end] != '\n' && data[end] != '\r') ++end;
    std::size_t last = end;  // trailing blanks are tolerated
    while (last > p && is_blank(data[last - 1])) --last;
    std::size_t first = p;
    while (first < last && (data[first] == ' ' || data[first] == '\t')) ++first;
    p = end + 1;
    if (end + 1 < text_size && data[end] == '\r' && data[end + 1] == '\n') ++p;
    if (first == last) continue;

    if (ended) {
      *error = at_line(line, "data after the end-of-file record");
      return false;
    }
    if (data[first] != ':') {
      *error = at_line(line, "malformed record: it does not start with ':'");
      return false;
    }
    const std::size_t digits = last - first - 1;
    if (digits % 2 != 0 || digits < 10) {
      *error = at_line(line, say("malformed record: %lu hex digits (an even number, at least 10, expected)", digits));
      return false;
    }
    uint8_t bytes[262];
    const std::size_t count = digits / 2;
    if (count > sizeof bytes) {
      *error = at_line(line, "malformed record: longer than any record can be");
      return false;
    }
    for (std::size_t k = 0; k < count; ++k) {
      const int hi = hex_digit(data[first + 1 + 2 * k]);
      const int lo = hex_digit(data[first + 2 + 2 * k]);
      if (hi < 0 || lo < 0) {
        *error = at_line(line, "malformed record: a character that is not a hex digit");
        return false;
      }
      bytes[k] = static_cast<uint8_t>(hi * 16 + lo);
    }
    const std::size_t length = bytes[0];
    if (count != length + 5) {
      *error = at_line(line, say("malformed record: its length byte says %lu data bytes, it holds %lu", length,
                                 count - 5));
      return false;
    }
    uint8_t sum = 0;
    for (std::size_t k = 0; k < count; ++k) sum = static_cast<uint8_t>(sum + bytes[k]);
    if (sum != 0) {
      const uint8_t expected = static_cast<uint8_t>(bytes[count - 1] - sum);
      *error = at_line(line, say("bad checksum 0x%02lX (0x%02lX expected)", bytes[count - 1], expected));
      return false;
    }
    const uint32_t offset = (uint32_t{bytes[1]} << 8) | bytes[2];
    const uint8_t type = bytes[3];
    const uint8_t* payload = bytes + 4;

    switch (type) {
      case type_data: {
        // The PSoC tools put the protection and checksum records of a project above the
        // 64 KB program space. They are not flash contents: the tool writes its own
        // protection pattern, and the checksum is checked once every record is read.
        // Anything inside the program space must fit the flash.
        const uint64_t first = base + offset;
        if (first == checksum_address) {
          if (length != 2) {
            *error = at_line(line, say("malformed checksum record at 0x200000: %lu data bytes (2 expected)", length));
            return false;
          }
          if (checksum_line != 0) {
            *error = at_line(line, say("a second checksum record (the first is on line %lu)", checksum_line));
            return false;
          }
          checksum_line = line;
          summary->checksum = static_cast<uint16_t>(payload[0] << 8 | payload[1]);
          break;
        }
        if (first >= protection_address && first < checksum_address) {
          notices->push_back(at_line(line, "protection bits ignored (Tolvern writes its own protection pattern)"));
          break;
        }
        if (first >= program_space) {
          notices->push_back(at_line(line, say("data at address 0x%lX is not flash contents (above the "
                                               "64 KB program space) and is ignored",
                                               static_cast<unsigned long>(first))));
          break;
        }
        for (std::size_t k = 0; k < length; ++k) {
          // Segment addressing wraps inside its 64 KB window; linear addressing does not.
          const uint64_t address = segmented ? base + ((offset + k) & 0xFFFFu) : base + offset + k;
          if (address >= image_size) {
            *error = at_line(line, say("data at address 0x%lX lies beyond the flash (0x0000-0x%04lX): the file "
                                       "was built for a chip with more flash than this tool programs",
                                       static_cast<unsigned long>(address), image_size - 1));
            return false;
          }
          if (written_by[address] != 0) {
            *error = at_line(line, say("data at address 0x%04lX overlaps the data of line %lu",
                                       static_cast<unsigned long>(address), written_by[address]));
            return false;
          }
          written_by[address] = line;
          image[address] = payload[k];
          ++summary->bytes_taken;
        }
        ++data_records;
        break;
      }
      case type_end:
        if (length != 0) {
          *error = at_line(line, "malformed end-of-file record: it carries data");
          return false;
        }
        ended = true;
        break;
      case type_segment:
      case type_linear:
        if (length != 2) {
          *error = at_line(line, say("malformed extended address record: %lu data bytes (2 expected)", length));
          return false;
        }
        segmented = type == type_segment;
        base = (uint64_t{payload[0]} << 8 | payload[1]) << (segmented ? 4 : 16);
        break;
      case type_start_segment:
      case type_start_linear:
        if (length != 4) {
          *error = at_line(line, say("malformed start address record: %lu data bytes (4 expected)", length));
          return false;
        }
        notices->push_back(at_line(line, "start address record ignored (the chip starts from its reset vector)"));
        break;
      default:
        notices->push_back(at_line(line, say("record of unknown type 0x%02lX ignored", type)));
        break;
    }
  }
  if (!ended) {
    *error = "no end-of-file record (the file may be cut short)";
    return false;
  }
  if (data_records == 0) {
    *error = "no data records";
    return false;
  }
  if (checksum_line != 0) {
    uint16_t sum = 0;  // bytes no record covers are 0x00 and add nothing
    for (std::size_t i = 0; i < image_size; ++i) sum = static_cast<uint16_t>(sum + image[i]);
    if (sum != summary->checksum) {
      *error = at_line(checksum_line, say("the checksum record says 0x%04lX, but the program bytes sum to 0x%04lX: "
                                          "the file is damaged or was edited after it was built",
                                          summary->checksum, sum));
      return false;
    }
    summary->has_checksum = true;
  }
  return true;
}

}  // namespace intel_hex
