#include "tests/harness.h"

#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "app/run.h"
#include "output/codepage.h"
#include "platform/platform.h"
#include "sim/world.h"

namespace harness {

RunResult run_tool(const std::vector<std::string>& args, const std::string& program) {
  std::vector<std::string> storage;
  storage.reserve(args.size() + 1);
  storage.push_back(program);
  for (const auto& a : args) storage.push_back(a);
  std::vector<char*> argv;
  for (auto& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  sim::clear_console_output();
  RunResult r;
  r.exit_code = app::tolvern_main(static_cast<int>(storage.size()), argv.data());
  r.console = sim::console_output();
  return r;
}

void reset_world() {
  sim::reset();
  app::reset_modules();
  platform::set_last_error(0);
}

std::string cp866(const char* cp1251_text) {
  std::string copy(cp1251_text);
  output::to_console_codepage(copy.data());
  return copy;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string make_temp_dir() {
  char templ[] = "/tmp/tolvern-test-XXXXXX";
  const char* dir = mkdtemp(templ);
  return dir ? std::string(dir) : std::string();
}

}  // namespace harness
