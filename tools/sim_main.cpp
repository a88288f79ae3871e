// tolvern-sim: the tool run against the simulated adapter and chip.
#include "app/run.h"
#include "platform/platform.h"
#include "sim/world.h"

int main(int argc, char** argv) {
  sim::reset();
  return platform::process_exit_status(app::tolvern_main(argc, argv));
}
