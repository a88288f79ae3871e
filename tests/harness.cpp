#include "tests/harness.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "app/run.h"
#include "image/container.h"
#include "image/container_format.h"
#include "image/keystream.h"
#include "output/codepage.h"
#include "platform/platform.h"
#include "serial/cable.h"
#include "serial/port.h"
#include "sim/world.h"

namespace harness {

RunResult run_tool(const std::vector<std::string>& args, const std::string& program, int answer_key) {
  RunResult r;
  r.exit_code = sim::run_tool(program, args, answer_key);
  r.console = sim::console_output();
  // However it ended, a run lets go of every port and leaves no target powered.
  EXPECT_EQ(sim::open_port_count(), 0);
  for (int com = 1; com <= 99; ++com) EXPECT_FALSE(sim::line_state(com).target_powered) << "COM" << com;
  for (int cable = 0; cable < 16; ++cable) {
    EXPECT_FALSE(sim::cable_state(cable).open) << "cable " << cable;
    EXPECT_FALSE(sim::cable_state(cable).target_powered) << "cable " << cable;
  }
  // Bytes written outside bit-bang mode would have gone out as serial data on the target's data line.
  EXPECT_EQ(sim::cable_counters().uart_writes, 0);
  // A tool that succeeds has spoken to the chip exactly as it requires: no malformed frame,
  // refused call, timing violation or contention on the data line.
  if (r.exit_code == 0) {
    const sim::Counters& c = sim::counters();
    EXPECT_TRUE(sim::clean_wire()) << "malformed frames " << c.malformed_frames << ", refused calls "
                                   << c.rejected_calls << ", timing violations "
                                   << c.timing_violations << ", contention " << c.contention;
  }
  return r;
}

void reset_world() {
  sim::reset();
  app::reset_modules();
  platform::set_last_error(0);
}

bool fresh_com1() {
  reset_world();
  return serial::open_port(1) == 1;
}

bool fresh_cable() {
  reset_world();
  sim::set_usb_devices({sim::UsbDevice{}});
  return serial::open_cable(0) == 1;
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

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string format(const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

int count(const std::string& haystack, const std::string& needle) {
  int n = 0;
  for (size_t at = 0; (at = haystack.find(needle, at)) != std::string::npos; ++at) ++n;
  return n;
}

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

::testing::AssertionResult within(double value, double low, double high) {
  if (value >= low && value < high) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << value << " is not within [" << low << ", " << high << ")";
}

TempDir::TempDir() {
  char templ[] = "/tmp/tolvern-test-XXXXXX";
  const char* dir = mkdtemp(templ);
  if (!dir) {
    // An empty path would put the tests' files at the root of the file system.
    std::perror("harness: mkdtemp");
    std::abort();
  }
  path_ = dir;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
  if (ec) std::fprintf(stderr, "harness: cannot remove %s: %s\n", path_.c_str(), ec.message().c_str());
}

std::string program_with_container(const TempDir& dir, const std::vector<uint8_t>& img, uint32_t x0,
                                   const uint8_t* tail, const std::string& name, uint16_t* check_value) {
  std::string c(image::container_size, '\0');
  auto* bytes = reinterpret_cast<uint8_t*>(&c[0]);
  image::pack_container(img.data(), x0, tail, bytes);
  const uint32_t h = image::header_position_for_seed(static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)));
  if (check_value != nullptr) *check_value = static_cast<uint16_t>((bytes[h + 4] << 8) | bytes[h + 5]);
  write_file(dir / name, c);
  return dir / "tolvern";
}

}  // namespace harness
