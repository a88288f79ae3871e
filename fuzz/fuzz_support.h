// Shared by the fuzz targets: what a target does when the code under test breaks a rule (say
// which rule, with the values involved, and abort so that libFuzzer keeps the input as a
// crash), and how an input is cut into pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#define FUZZ_CHECK(condition, ...)                                                       \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "\n%s:%d: broken: %s\n  ", __FILE__, __LINE__, #condition);   \
      std::fprintf(stderr, __VA_ARGS__);                                                 \
      std::fprintf(stderr, "\n");                                                        \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

// The input cut at every separator byte: always at least one piece, possibly empty.
inline std::vector<std::string> split_input(const uint8_t* data, size_t size, char separator) {
  std::vector<std::string> pieces(1);
  for (size_t i = 0; i < size; ++i) {
    if (static_cast<char>(data[i]) == separator) {
      pieces.emplace_back();
    } else {
      pieces.back().push_back(static_cast<char>(data[i]));
    }
  }
  return pieces;
}
