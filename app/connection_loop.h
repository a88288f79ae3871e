// Acquiring the target with shrinking start delays, then printing its identity.
#pragma once

namespace app {

// 1 when the target is acquired, its data line released and its identity printed;
// 0 when the run must take the record ending.
int run_connection_loop();

}  // namespace app
