// The three ways a run ends, and the exit code they hand to the operating system.
#pragma once

#include <cstdint>
#include <cstdio>

namespace app {

enum class Ending {
  cleanup,   // final cleanup only
  shutdown,  // failure shutdown (keep-error power-off, bell, 2 s pause), then final cleanup
  record,    // exit code := last-error code, its text printed, then the failure shutdown
};

// Result of one step of the run: keep going, or end the run this way.
struct Step {
  bool done;
  Ending ending;
};
constexpr Step go_on{false, Ending::cleanup};
constexpr Step stop(Ending how) { return {true, how}; }

struct RunState {
  int32_t exit_code;
  std::FILE* data_file;  // an external data file left open, closed by the final cleanup
};
extern RunState run_state;

inline void set_exit_code(int32_t code) { run_state.exit_code = code; }

// Performs the ending and returns the exit code.
int32_t finish(Ending how);

// A supervisory call of the programming procedure gave no answer: exit code 100 and its
// message with the code; the failure shutdown follows.
Ending no_response_ending(int code);

void reset_run_state();

}  // namespace app
