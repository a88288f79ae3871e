// The adapter's modem lines: switching outputs, sampling inputs, and the CTS change
// notification that wait-and-poll watches.
#pragma once

#include <cstdint>

namespace serial {

// One of platform::SETRTS, CLRRTS, SETDTR, CLRDTR, SETBREAK, CLRBREAK.
// 1 on success (record emptied), 0 on failure (record filled).
int switch_line(uint32_t function);
// 1 when any bit of mask is set in a fresh modem status, 0 when none, -1 on failure.
int read_modem_line(uint32_t mask);
// Results of arming the CTS change event; every failure has filled the record.
constexpr int arm_ok = 0;
constexpr int arm_set_mask_failed = -1;  // SetCommMask
constexpr int arm_event_failed = -2;     // creating the event object
constexpr int arm_wait_failed = -3;      // WaitCommEvent, other than a pending wait
int arm_cts_event();
void disarm_cts_event();
// The word that becomes non-zero when CTS changed since arming; read afresh at every poll.
volatile uint32_t* cts_event_mask_word();

}  // namespace serial
