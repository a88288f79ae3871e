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

// One switch: a dash and its letter (either case), then a port number of one or two digits
// or nothing at all. The table is the whole command line: the parser accepts exactly these,
// and the manual page is checked against it.
enum class SwitchForm { flag, port_number };
struct Switch {
  char letter;  // upper case
  SwitchForm form;
  bool RunOptions::*flag;  // set by a flag; the port number goes to forced_port
};
inline constexpr Switch switches[] = {
    {'C', SwitchForm::port_number, nullptr},        {'D', SwitchForm::flag, &RunOptions::data_file},
    {'F', SwitchForm::flag, &RunOptions::cable},    {'L', SwitchForm::flag, &RunOptions::log},
    {'T', SwitchForm::flag, &RunOptions::test_mode}, {'V', SwitchForm::flag, &RunOptions::verify_only}};

enum class ParseResult { ok, invalid, empty_argument };

// Examines argv[1..argc-1] left to right and stops at the first invalid one.
ParseResult parse_command_line(int argc, char** argv);

}  // namespace app
