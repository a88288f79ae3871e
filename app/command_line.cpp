#include "app/command_line.h"

namespace app {

RunOptions options = {};

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// One or two digits and nothing more; -1 otherwise.
int32_t port_number(const char* text) {
  if (!is_digit(text[0])) return -1;
  int32_t value = text[0] - '0';
  if (text[1] == '\0') return value;
  if (!is_digit(text[1]) || text[2] != '\0') return -1;
  return value * 10 + (text[1] - '0');
}

// One switch; false when it is not a valid one (nothing changed then).
bool apply_switch(const char* arg) {
  if (arg[0] != '-' || arg[1] == '\0') return false;
  const char letter = upper(arg[1]);
  const char* rest = arg + 2;
  for (const Switch& s : switches) {
    if (s.letter != letter) continue;
    if (s.form == SwitchForm::port_number) {
      const int32_t port = port_number(rest);
      if (port < 0) return false;
      options.forced_port = port;
      return true;
    }
    if (rest[0] != '\0') return false;
    options.*s.flag = true;
    return true;
  }
  return false;
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
