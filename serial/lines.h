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
// 0 when armed; -1 SetCommMask, -2 event creation, -3 WaitCommEvent failed (record filled).
int arm_cts_event();
void disarm_cts_event();
// The word that becomes non-zero when CTS changed since arming; read afresh at every poll.
volatile uint32_t* cts_event_mask_word();

}  // namespace serial
