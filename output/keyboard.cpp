#include "output/keyboard.h"

#include "platform/platform.h"

namespace output {

int key_waiting() { return platform::key_waiting() ? 1 : 0; }

int read_key() { return platform::read_key(); }

void flush_keyboard() {
  // After the end of input a key always seems to wait; stop there instead of spinning.
  while (key_waiting() != 0) {
    if (platform::keyboard_closed()) return;
    read_key();
  }
}

}  // namespace output
