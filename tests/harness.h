// Shared helpers for tests that run the whole tool inside the test process on the simulated
// world.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/tool_run.h"

namespace harness {

struct RunResult {
  int32_t exit_code;
  std::string console;  // code page 866 bytes captured by the simulator
};

// Runs the tool (sim::run_tool) in the CURRENT simulated world (the caller calls sim::reset()
// and configures the world first) and returns its exit code with the console of this run.
// program defaults to "/sim/tolvern"; a non-zero answer_key is pressed at the last-chance prompt.
// Expects what every run must leave behind: no port open, no target powered, and after a
// success a wire the chip found faultless.
RunResult run_tool(const std::vector<std::string>& args, const std::string& program = "/sim/tolvern",
                   int answer_key = sim::no_answer);

// The default simulated world (sim::reset()) and every module of the tool back at program
// start, the per-thread last error 0: the start of a test that calls modules directly.
void reset_world();
// reset_world(), then COM1 (the adapter with a healthy chip) opened by the tool's port code.
bool fresh_com1();
// The same with the adapter on a simulated FT232R cable, opened and checked by the tool's code.
bool fresh_cable();

std::string cp866(const char* cp1251_text);  // a converted copy, e.g. cp866(RU("Работа"))
inline std::string cp866(const std::string& cp1251_text) { return cp866(cp1251_text.c_str()); }
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
// printf into a string (texts up to 1023 bytes).
std::string format(const char* format, ...) __attribute__((format(printf, 1, 2)));
int count(const std::string& haystack, const std::string& needle);  // overlapping ones too
bool ends_with(const std::string& s, const std::string& tail);
// low <= value < high: a span of simulated time measured from its trace or clock.
::testing::AssertionResult within(double value, double low, double high);

// A fresh directory under /tmp for program dirs, logs and data files, removed with all it
// holds when the object goes out of scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// img packed with seed x0 and tail (null: ten zero bytes) into the data file `name` beside a
// program in dir; returns the program's path, and the container's check value in *check_value.
std::string program_with_container(const TempDir& dir, const std::vector<uint8_t>& img, uint32_t x0,
                                   const uint8_t* tail, const std::string& name, uint16_t* check_value = nullptr);

}  // namespace harness
