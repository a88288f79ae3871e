// Messages are Windows-1251 bytes, but the sources are UTF-8 so that they stay readable.
// RU("...") turns a UTF-8 literal into its Windows-1251 bytes at compile time and yields a
// pointer to a static, zero-terminated copy. A character without a Windows-1251 form that
// the tool uses stops the build.
#pragma once

#include <cstddef>
#include <cstdint>

namespace text {

template <std::size_t N>
struct Cp1251Text {
  char bytes[N];
};

// Deliberately not constexpr: reaching it during constant evaluation is a compile error.
void unsupported_character_in_message();

constexpr int cp1251_byte(uint32_t cp) {
  if (cp < 0x80) return static_cast<int>(cp);
  if (cp >= 0x0410 && cp <= 0x044F) return static_cast<int>(cp - 0x0410 + 0xC0);  // А..я
  switch (cp) {
    case 0x0401: return 0xA8;  // Ё
    case 0x0451: return 0xB8;  // ё
    case 0x2116: return 0xB9;  // №
    case 0x00AB: return 0xAB;  // «
    case 0x00BB: return 0xBB;  // »
    case 0x00B0: return 0xB0;  // °
    case 0x2013: return 0x96;  // –
    case 0x2014: return 0x97;  // —
    case 0x00A0: return 0xA0;  // no-break space
    default: return -1;
  }
}

template <std::size_t N>
constexpr Cp1251Text<N> to_cp1251(const char (&utf8)[N]) {
  Cp1251Text<N> out{};
  std::size_t o = 0;
  for (std::size_t i = 0; i + 1 < N;) {
    const auto b0 = static_cast<unsigned char>(utf8[i]);
    uint32_t cp = 0;
    std::size_t len = 1;
    if (b0 < 0x80) {
      cp = b0;
    } else if ((b0 & 0xE0) == 0xC0) {
      cp = b0 & 0x1Fu;
      len = 2;
    } else if ((b0 & 0xF0) == 0xE0) {
      cp = b0 & 0x0Fu;
      len = 3;
    } else {
      unsupported_character_in_message();
    }
    for (std::size_t k = 1; k < len; ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3Fu);
    }
    const int byte = cp1251_byte(cp);
    if (byte < 0) unsupported_character_in_message();
    out.bytes[o++] = static_cast<char>(byte);
    i += len;
  }
  return out;
}

}  // namespace text

#define RU(utf8_literal)                                                          \
  ([]() -> const char* {                                                          \
    static constexpr auto converted_text_ = ::text::to_cp1251(utf8_literal);      \
    return converted_text_.bytes;                                                 \
  }())
