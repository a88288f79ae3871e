#include "app/run.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  return platform::process_exit_status(app::tolvern_main(argc, argv));
}
