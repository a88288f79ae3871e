// The last-error record: the code and one-line Windows-1251 text of the most recent failure,
// with one save slot.
#pragma once

#include <cstddef>
#include <cstdint>

#include "output/messages.h"
#include "platform/platform.h"

namespace output {

struct ErrorRecord {
  int32_t error_code;
  char error_text[short_text_capacity];
  int32_t saved_error_code;
  char saved_error_text[short_text_capacity];
};

extern ErrorRecord error_record;

inline int32_t error_code() { return error_record.error_code; }
inline const char* error_text() { return error_record.error_text; }
inline void set_error_code(int32_t code) { error_record.error_code = code; }

// Code 0, empty text, per-thread last-error value 0.
void clear_error();
// Replaces the text (bounded); the caller sets the code itself.
void set_error_text(const char* format, ...) TOLVERN_PRINTF(1, 2);
void append_error_text(const char* phrase);
// Fills the whole record from the system error number of a port operation.
void set_port_error(uint32_t os_code);
// Words why the system refused a port ("/dev/ttyS4: используется процессом 1234.") into out;
// "" when it told nothing.
void open_detail_text(const platform::OpenDetail& detail, char* out, std::size_t capacity);
// The open link (a COM port, the FT232R cable) that set_port_error names; "" when none is
// open. The serial layer tells it at every open and close.
void set_open_link(const char* name);
void save_error();
void restore_error();

void reset_error_record();

}  // namespace output
