// EscapeCommFunction called straight on the open port, for the switches on the ISSP hot path
// and the few places that must act whatever the cached break state says.
#pragma once

#include <cstdint>

#include "output/error_record.h"
#include "platform/platform.h"
#include "serial/port.h"

namespace issp {

// 1 on success (record emptied), 0 on failure (record holds the port error).
inline int escape_direct(uint32_t function) {
  if (!platform::serial_escape(serial::port.port_handle, function)) {
    output::set_port_error(platform::last_error());
    return 0;
  }
  output::clear_error();
  return 1;
}

}  // namespace issp
