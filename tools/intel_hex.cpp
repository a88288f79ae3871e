#include "tools/intel_hex.h"

namespace intel_hex {

bool looks_like_hex(const std::vector<uint8_t>&) { return false; }

bool parse(const std::vector<uint8_t>&, uint8_t*, std::size_t, std::string* error, std::vector<std::string>*) {
  *error = "Intel HEX input is not supported yet";
  return false;
}

}  // namespace intel_hex
