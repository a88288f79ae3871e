// Finding the adapter among the system's serial ports.
#pragma once

#include <cstdint>

namespace serial {

// Up to 15 distinct port numbers 1..99, ascending, terminated by 0.
extern uint8_t port_list[16];

// 1 with port_list filled and the record emptied; 0 on a device-map failure (record filled).
int enumerate_ports();

constexpr int probe_adapter = 1;
constexpr int probe_no_answer = 2;
constexpr int probe_busy = 5;
constexpr int probe_available = 126;
constexpr int probe_unclear = 127;
// A probe result; for probe_unclear *code receives the failure's code. Leaves no port open
// and the record empty.
int probe_port(int32_t number, int32_t* code);
// RTS switched on and off three times on the open lines, DSR read 100 ms after each switch:
// probe_adapter when it followed every time, probe_available when not (RTS left off), -1 on a
// line failure (record filled; RTS may still be on).
int adapter_echo();

// The one port with an adapter (> 0), or one of these after printing the outcome:
constexpr int adapter_enumeration_failed = -1;  // record ending
constexpr int adapter_no_ports = -2;            // exit code 1, failure shutdown
constexpr int adapter_none = -3;                // exit code 1, failure shutdown
constexpr int adapter_several = -4;             // exit code 1, failure shutdown
int find_adapter();

void reset_discovery();

}  // namespace serial
