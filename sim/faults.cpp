// Injected failures of single calls, counted per kind from when they were added.
#include "sim/state.h"

namespace sim::detail {

namespace {
struct ActiveFault {
  CallFault spec;
  int seen;
};
std::vector<ActiveFault> active;
}  // namespace

bool faults_present = false;

void faults_reset() {
  active.clear();
  faults_present = false;
}

bool call_fault_slow(Call kind, bool serial, uint32_t escape_function, uint32_t* error) {
  bool fail = false;
  for (ActiveFault& f : active) {
    bool matches = f.spec.call == kind || (serial && f.spec.call == Call::any_serial);
    if (matches && f.spec.call == Call::escape && f.spec.escape_function != 0 &&
        f.spec.escape_function != escape_function)
      matches = false;
    if (!matches) continue;
    ++f.seen;
    if (f.seen == f.spec.nth || (f.spec.sticky && f.seen > f.spec.nth)) {
      if (!fail) *error = f.spec.error;
      fail = true;
    }
  }
  return fail;
}

}  // namespace sim::detail

namespace sim {

void add_call_fault(const CallFault& fault) {
  detail::active.push_back({fault, 0});
  detail::faults_present = true;
}

}  // namespace sim
