// The scripted console: captured output, keys waiting at once or after a trigger text, and
// optional passthrough to the real terminal.
#include <deque>

#include "platform/posix/host.h"
#include "sim/state.h"

namespace sim::detail {

namespace {
struct KeyScript {
  std::string trigger;
  std::vector<std::vector<int>> keys;  // one entry per key (an extended key has two codes)
  size_t search_from;                  // output offset when scripted
  double interval_us;                  // 0: all keys at once; else one key per interval
};
struct TypedKey {
  double due_us;
  std::vector<int> codes;
};
// A console poll costs a little time, so that a loop waiting for a typed key moves the clock.
constexpr double poll_cost_us = 1.0;
std::string output;
std::deque<int> waiting;
std::deque<KeyScript> pending;
std::deque<TypedKey> typed;
std::vector<size_t> read_at;  // output size at each scripted key read
size_t previous_match_end = 0;
bool passthrough = false;  // real terminal for output and keys
bool echo = false;         // real terminal for output only
bool interactive = false;  // the captured console counts as a terminal

// Releases the scripts whose trigger has appeared, in order; each one looks only at output
// after the previous one's trigger, so two scripts for the same prompt need two prompts.
void release_triggered_keys() {
  while (!pending.empty()) {
    KeyScript& head = pending.front();
    size_t from = head.search_from > previous_match_end ? head.search_from : previous_match_end;
    size_t at = output.find(head.trigger, from);
    if (at == std::string::npos) return;
    previous_match_end = at + head.trigger.size();
    for (size_t k = 0; k < head.keys.size(); ++k) {
      if (head.interval_us > 0) {
        typed.push_back({time_us() + static_cast<double>(k + 1) * head.interval_us, head.keys[k]});
      } else {
        waiting.insert(waiting.end(), head.keys[k].begin(), head.keys[k].end());
      }
    }
    pending.pop_front();
  }
}
// Typed keys whose time has come start waiting.
void release_typed_keys() {
  if (typed.empty()) return;
  if (waiting.empty()) advance_us(poll_cost_us);
  while (!typed.empty() && typed.front().due_us <= time_us()) {
    waiting.insert(waiting.end(), typed.front().codes.begin(), typed.front().codes.end());
    typed.pop_front();
  }
}

}  // namespace

void console_reset() {
  output.clear();
  waiting.clear();
  pending.clear();
  typed.clear();
  read_at.clear();
  previous_match_end = 0;
  passthrough = false;
  echo = false;
  interactive = false;
}

}  // namespace sim::detail

namespace sim {

using namespace detail;

const std::string& console_output() { return output; }

const std::vector<size_t>& keys_read_at() { return read_at; }

void clear_console_output() {
  output.clear();
  previous_match_end = 0;
  for (KeyScript& s : pending) s.search_from = 0;
}

void push_keys(const std::vector<int>& codes) {
  waiting.insert(waiting.end(), codes.begin(), codes.end());
}

void push_keys_after(const std::string& trigger_cp866, const std::vector<int>& codes) {
  pending.push_back({trigger_cp866, {codes}, output.size(), 0.0});
}

void type_keys_after(const std::string& trigger_cp866, const std::vector<std::vector<int>>& keys,
                     double interval_us) {
  pending.push_back({trigger_cp866, keys, output.size(), interval_us > 0 ? interval_us : 1.0});
}

void set_console_passthrough(bool on) { passthrough = on; }

void set_console_echo(bool on) { echo = on; }

void set_console_interactive(bool on) { interactive = on; }

}  // namespace sim

namespace platform {

using namespace sim::detail;

void console_write(const char* bytes, size_t count) {
  output.append(bytes, count);
  if (passthrough || echo) posix_host::console_write(bytes, count);
  if (!pending.empty()) release_triggered_keys();
}

// Shown on the real terminal, the session is as interactive as that terminal.
bool console_interactive() {
  return interactive || ((passthrough || echo) && posix_host::console_interactive());
}

bool keyboard_closed() {
  if (!waiting.empty() || !pending.empty() || !typed.empty()) return false;
  return passthrough ? posix_host::keyboard_closed() : true;
}

bool key_waiting() {
  release_typed_keys();
  if (!waiting.empty()) return true;
  if (!pending.empty() || !typed.empty()) return passthrough && posix_host::key_waiting();
  return passthrough ? posix_host::key_waiting() : true;
}

int read_key() {
  release_typed_keys();
  if (!waiting.empty()) {
    int code = waiting.front();
    waiting.pop_front();
    read_at.push_back(output.size());
    return code;
  }
  if (passthrough) return posix_host::read_key();
  // Nothing scripted is waiting: an ended input answers ESC rather than blocking forever.
  return 27;
}

}  // namespace platform
