// The command-line parser against a model written from the switch table of the README:
// -C with one or two digits, -D, -F, -L, -T, -V, the letter in either case, nothing more; an empty
// argument and the first invalid argument end the parsing; the last -C wins.
//
// Input: the arguments after the program name, separated by zero bytes (an empty input is no
// argument at all; a trailing zero byte makes an empty last argument).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "fuzz/fuzz_support.h"

namespace {

struct Expected {
  app::ParseResult result = app::ParseResult::ok;
  int32_t port = 0;
  bool data_file = false, cable = false, log = false, test_mode = false, verify_only = false;
};

bool ascii_digits(const std::string& text) {
  return !text.empty() && text.size() <= 2 && text.find_first_not_of("0123456789") == std::string::npos;
}

Expected model(const std::vector<std::string>& args) {
  Expected e;
  for (const std::string& arg : args) {
    if (arg.empty()) {
      e.result = app::ParseResult::empty_argument;
      return e;
    }
    const char letter = arg.size() >= 2 && arg[0] == '-' ? static_cast<char>(arg[1] | 0x20) : '\0';
    bool* flag = letter == 'd' ? &e.data_file : letter == 'f' ? &e.cable : letter == 'l' ? &e.log
               : letter == 't' ? &e.test_mode : letter == 'v' ? &e.verify_only : nullptr;
    if (letter == 'c' && ascii_digits(arg.substr(2))) {
      e.port = std::stoi(arg.substr(2));
    } else if (arg.size() == 2 && flag != nullptr) {
      *flag = true;
    } else {
      e.result = app::ParseResult::invalid;
      return e;
    }
  }
  return e;
}

// Result, port and the five switches, for a message.
std::string describe(const Expected& e) {
  return std::to_string(static_cast<int>(e.result)) + " C" + std::to_string(e.port) + (e.data_file ? " D" : "") + (e.cable ? " F" : "") +
         (e.log ? " L" : "") + (e.test_mode ? " T" : "") + (e.verify_only ? " V" : "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> args = size > 0 ? split_input(data, size, '\0') : std::vector<std::string>();
  if (args.size() > 200) return -1;  // not a command line anyone types; keeps the runs fast

  // The parser gets its own copies, so that a write into an argument shows.
  std::vector<std::vector<char>> storage;
  storage.push_back({'t', 'o', 'l', 'v', 'e', 'r', 'n', '\0'});
  for (const std::string& a : args) {
    storage.emplace_back(a.begin(), a.end());
    storage.back().push_back('\0');
  }
  std::vector<char*> argv;
  for (auto& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);

  app::options = {};
  const app::ParseResult got = app::parse_command_line(static_cast<int>(args.size() + 1), argv.data());
  const Expected want = model(args);

  const app::RunOptions& o = app::options;
  const Expected seen{got, o.forced_port, o.data_file, o.cable, o.log, o.test_mode, o.verify_only};
  FUZZ_CHECK(describe(seen) == describe(want), "parsed as %s, the switch table says %s", describe(seen).c_str(),
             describe(want).c_str());
  for (size_t i = 0; i < args.size(); ++i) {
    FUZZ_CHECK(std::strcmp(storage[i + 1].data(), args[i].c_str()) == 0, "argument %zu was written to", i + 1);
  }
  return 0;
}
