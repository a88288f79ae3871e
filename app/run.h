// The program's entry: the whole run from the command line to its ending.
#pragma once

#include <cstdint>

namespace app {

// Runs the tool once with every module's state reset first; returns the exit code.
int32_t tolvern_main(int argc, char** argv);

// Every module of the tool back at program start (tolvern_main does this first).
void reset_modules();

// The last-chance prompt (Windows-1251), shown after the chip's identity; whoever answers it
// for the operator (tolvern-sim, the benchmark, the tests) waits for exactly this text.
const char* last_chance_prompt();

}  // namespace app
