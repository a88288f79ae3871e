// The program's entry: the whole run from the command line to its ending.
#pragma once

#include <cstdint>

namespace app {

// Runs the tool once with every module's state reset first; returns the exit code.
int32_t tolvern_main(int argc, char** argv);

// Every module of the tool back at program start (tolvern_main does this first).
void reset_modules();

}  // namespace app
