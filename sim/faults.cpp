// Injected failures of single calls, counted per kind from when they were added.
#include "sim/state.h"

namespace sim::detail {

namespace {
struct ActiveFault {
  CallFault wanted;
  int seen;
};
std::vector<ActiveFault> active;
CallObserver observer = nullptr;
}  // namespace

uint32_t watched_kinds = 0;

void faults_reset() {
  active.clear();
  observer = nullptr;
  watched_kinds = 0;
}

bool call_fault_slow(Call kind, bool serial, uint32_t escape_function, uint32_t* error, int port) {
  bool fail = false;
  for (ActiveFault& f : active) {
    bool matches = f.wanted.call == kind || (serial && f.wanted.call == Call::any_serial);
    if (matches && f.wanted.call == Call::escape && f.wanted.escape_function != 0 &&
        f.wanted.escape_function != escape_function)
      matches = false;
    if (f.wanted.port != 0 && f.wanted.port != port) matches = false;
    if (!matches) continue;
    ++f.seen;
    if (f.seen == f.wanted.nth || (f.wanted.sticky && f.seen > f.wanted.nth)) {
      if (!fail) *error = f.wanted.error;
      fail = true;
    }
  }
  if (observer != nullptr && (kind != Call::counter || fail)) observer(kind, serial, escape_function, fail);
  return fail;
}

}  // namespace sim::detail

namespace sim {

void add_call_fault(const CallFault& fault) {
  detail::active.push_back({fault, 0});
  detail::watched_kinds |= 1u << static_cast<int>(fault.call);
}

void set_call_observer(CallObserver observer) {
  detail::observer = observer;
  if (observer != nullptr) detail::watched_kinds |= ~(1u << static_cast<int>(Call::counter));
}

}  // namespace sim
