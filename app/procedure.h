// The main job: erase, write and verify all 128 blocks, protect, compare checksums.
#pragma once

#include <cstdint>

#include "app/endings.h"

namespace app {

// Exit code of a check failure (a wrong answer, a verify or checksum difference): the code
// the record ending takes, so such a run can never report success.
constexpr int32_t check_failure_code = 101;

// Sets the exit code and returns the ending the run takes.
Ending run_programming_procedure();

// -V: only stage 3's block checksums against the image (the checksum works on a protected
// chip); nothing is erased or written. Exit code 0 when all 128 match, else the check
// failure's; the target is off at the end either way.
Ending run_verify_only();

}  // namespace app
