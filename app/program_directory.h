// Where the program lives: the log and the data file are looked for beside it.
#pragma once

#include <cstddef>

namespace app {

constexpr std::size_t path_capacity = 256;

// Fills out (path_capacity bytes) with the program's directory ending in the separator and
// returns true; or returns false with out empty and the last-error value set to 10.
bool get_program_directory(const char* program_name, char* out);

}  // namespace app
