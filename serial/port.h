// The one serial port the tool works on: its state, opening, configuration and closing.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace serial {

struct PortState {
  platform::SerialHandle port_handle;  // platform::no_serial while no port is open
  char port_name[40];                  // "COM%d", or the cable's "FT232R <serial number>"
  uint32_t modem_status;               // last sample: 0x10 CTS, 0x20 DSR
  int32_t break_state;                 // TxD break as last set by the ISSP engine
  int32_t sample_delay_ms;             // slept before every modem-status sample
  bool on_cable;                       // the lines are an FT232R cable's (serial/cable.h)
};

extern PortState port;

inline bool port_is_open() { return port.port_handle != platform::no_serial || port.on_cable; }

// 1 when the port is open and configured (record empty), 0 on failure (record filled).
int open_port(int32_t number);
// 1 when no port is open any more (record empty), 0 on failure (record filled).
int close_port();
// Only for the open port; 1 on success (record emptied), 0 on failure (record filled).
int configure_port(const char* mode);

// The system's own words on why the last open failed (device and reason), on a line of its own
// after the port's line of the discovery; nothing where the system has nothing to add.
void show_open_failure_detail();

constexpr const char* port_mode = "9600,n,8,1";

void reset_port_state();

}  // namespace serial
