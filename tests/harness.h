// Shared helpers for tests that run the whole tool inside the test process on the simulated
// world.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace harness {

struct RunResult {
  int32_t exit_code;
  std::string console;  // code page 866 bytes captured by the simulator
};

// Runs app::tolvern_main with argv = {program, args...} in the CURRENT simulated world (the
// caller calls sim::reset() and configures the world first). program defaults to "/sim/tolvern".
RunResult run_tool(const std::vector<std::string>& args, const std::string& program = "/sim/tolvern");

// The default simulated world (sim::reset()) and every module of the tool back at program
// start, the per-thread last error 0: the start of a test that calls modules directly.
void reset_world();

std::string cp866(const char* cp1251_text);  // a converted copy, e.g. cp866(RU("Работа"))
std::string read_file(const std::string& path);
std::string make_temp_dir();  // a fresh directory under /tmp, for program dirs, logs, data files

}  // namespace harness
