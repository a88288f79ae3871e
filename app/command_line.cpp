#include "app/command_line.h"

#include <cstring>

namespace app {

RunOptions options = {};

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// One switch; false when it is not a valid one (nothing changed then).
bool apply_switch(const char* arg) {
  if (arg[0] != '-' || arg[1] == '\0') return false;
  const char letter = upper(arg[1]);
  const char* rest = arg + 2;
  if (letter == 'C') {
    if (!is_digit(rest[0])) return false;
    int value = rest[0] - '0';
    if (rest[1] != '\0') {
      if (!is_digit(rest[1]) || rest[2] != '\0') return false;
      value = value * 10 + (rest[1] - '0');
    }
    options.forced_port = value;
    return true;
  }
  if (rest[0] != '\0') return false;
  switch (letter) {
    case 'D': options.data_file = true; return true;
    case 'F': options.cable = true; return true;
    case 'L': options.log = true; return true;
    case 'T': options.test_mode = true; return true;
    case 'V': options.verify_only = true; return true;
    default: return false;
  }
}

}  // namespace

ParseResult parse_command_line(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg == nullptr || arg[0] == '\0') return ParseResult::empty_argument;
    if (!apply_switch(arg)) return ParseResult::invalid;
  }
  return ParseResult::ok;
}

}  // namespace app
