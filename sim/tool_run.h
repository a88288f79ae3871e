// Whole runs of the tool in the simulated world, the one way tolvern-sim, the benchmark and
// the tests drive it: the tool's own entry point with a command line, an operator's answer to
// the last-chance prompt, and the chip's flash compared with the image afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// No scripted answer: whatever keys the world already holds (or none) answer the prompt.
constexpr int no_answer = 0;

// Runs app::tolvern_main once in the current world with argv = {program, args...}, the
// captured console cleared first. A non-zero answer_key (output::key_enter, output::key_esc)
// is pressed once the last-chance prompt is on the console. Returns the tool's exit code.
int32_t run_tool(const std::string& program, const std::vector<std::string>& args,
                 int answer_key = no_answer);

// The chip's flash equals, byte for byte, the image the tool last loaded (image::image_byte).
bool flash_equals_image();

}  // namespace sim
