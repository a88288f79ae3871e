// Linux services behind the platform boundary, under their own names so that the simulated
// back end can reuse the console, keyboard and file services (tolvern-sim shows its session
// on the real terminal). bind_*.cpp expose them as platform::.
#pragma once

#include <cstddef>
#include <cstdint>

namespace posix_host {

// errno value -> Windows system error number (one documented table).
uint32_t from_errno(int error_number);

uint32_t last_error();
void set_last_error(uint32_t code);

bool query_counter(int64_t* ticks);             // CLOCK_MONOTONIC in nanoseconds
bool query_frequency(int64_t* ticks_per_second);  // 1e9
void sleep_ms(uint32_t ms);

// Code page 866 bytes in; shown as UTF-8 when the locale's character set is UTF-8.
void console_write(const char* bytes, std::size_t count);
bool key_waiting();
int read_key();
bool keyboard_closed();
// Puts the terminal back as it was (also done at exit).
void restore_terminal();

int process_exit_status(int32_t exit_code);

bool current_directory(char* buffer, std::size_t capacity);
bool find_first_file(const char* pattern, char* name, std::size_t capacity);

}  // namespace posix_host
