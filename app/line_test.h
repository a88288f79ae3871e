// Line test mode: cycle RTS, TxD break and DTR and report the adapter's echoes.
#pragma once

#include "app/endings.h"

namespace app {

// Returns the ending (cleanup with exit code 1 on a key, record on a port failure).
Ending run_line_test();

}  // namespace app
