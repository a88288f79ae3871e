#include "output/codepage.h"

#include <cstring>

namespace output {

void to_console_codepage(char* text) {
  if (text == nullptr) return;
  for (std::size_t i = std::strlen(text); i > 0; --i) {
    const auto b = static_cast<unsigned char>(text[i - 1]);
    if (b >= 0x80) text[i - 1] = static_cast<char>(console_codepage_table[b - 0x80]);
  }
}

}  // namespace output
