// The operator's keys.
#pragma once

namespace output {

// Non-zero when a key is waiting; never waits.
int key_waiting();
// One key code without echo or line buffering; an extended key yields two codes, the first
// 0 or 0xE0.
int read_key();
// Discards every key already waiting; never waits, and returns at the end of input.
void flush_keyboard();

constexpr int key_esc = 27;
constexpr int key_enter = 13;

}  // namespace output
