// The run harness every driver of the simulated world shares (tolvern-sim, the benchmark,
// these tests).
#include <string>

#include <gtest/gtest.h>

#include "app/run.h"
#include "output/keyboard.h"
#include "platform/platform.h"
#include "sim/tool_run.h"
#include "sim/world.h"
#include "tests/harness.h"

namespace {

// The program name and the switches reach the tool (the log lands beside the program), and
// the answer key is pressed at the last-chance prompt; the flash check sees every byte.
TEST(ToolRun, AnswersThePromptAndChecksTheFlash) {
  const struct {
    const char* name;
    int answer;
    int32_t exit_code;
    bool programmed;
  } rows[] = {
      {"ENTER", output::key_enter, 0, true},
      {"ESC", output::key_esc, 1, false},
      {"no answer: the closed keyboard reads as ESC", sim::no_answer, 1, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const harness::TempDir dir;
    sim::reset();
    platform::console_write("stale", 5);  // an earlier run's console is not this run's
    EXPECT_EQ(sim::run_tool(dir / "tolvern", {"-C1", "-L"}, row.answer), row.exit_code);
    EXPECT_EQ(sim::console_output().find("stale"), std::string::npos);
    EXPECT_NE(harness::read_file(dir / "Tolvern.log").find(app::last_chance_prompt()), std::string::npos);
    EXPECT_EQ(sim::flash_equals_image(), row.programmed);
    if (row.programmed) {
      sim::flash_mut()[8191] ^= 0x01;
      EXPECT_FALSE(sim::flash_equals_image()) << "the last byte";
    }
  }
}

}  // namespace
