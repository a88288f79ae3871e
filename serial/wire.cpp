// Which driver the lines are reached through, and the samples a decision needs at once.
#include "serial/wire.h"

namespace wire {

namespace {
const Driver* current = &com_port;
}  // namespace

void use(const Driver& d) { current = &d; }
const Driver& driver() { return *current; }

int read(uint32_t mask) {
  Sample s;
  const int r = sample(mask, &s);
  if (r != pending) return r;
  if (flush() != 0) return -1;
  return level(s);
}

void reset_wire() { current = &com_port; }

}  // namespace wire
