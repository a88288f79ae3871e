// Switches -C<port>, -D, -F, -L, -T, -V.
#pragma once

#include <cstdint>

namespace app {

struct RunOptions {
  int32_t forced_port;  // 0 = find the adapter
  bool data_file;       // -D
  bool log;             // -L
  bool test_mode;       // -T
  bool verify_only;     // -V: compare the chip's block checksums with the image, write nothing
  bool cable;           // -F: the adapter is on an FT232R USB-RS232 cable, driven in bit-bang mode
};
extern RunOptions options;

enum class ParseResult { ok, invalid, empty_argument };

// Examines argv[1..argc-1] left to right and stops at the first invalid one.
ParseResult parse_command_line(int argc, char** argv);

}  // namespace app
