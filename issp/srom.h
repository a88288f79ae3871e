// Supervisory calls into the target's ROM.
#pragma once

#include "issp/wait_poll.h"

namespace issp {

namespace srom_function {
constexpr int read_block = 1;
constexpr int write_block = 2;
constexpr int protect = 4;
constexpr int erase_all = 5;
constexpr int table_read = 6;
constexpr int checksum = 7;
constexpr int calibrate = 9;
}  // namespace srom_function

// wait_done when the target finished; srom_call_failed when a write or the wait failed
// (record filled); else the no-response code of wait-and-poll.
constexpr int srom_call_failed = wait_failed;
int srom_call(int function, int argument);

// A no-response code rc inside read block or checksum is stage no_response_stage(10, rc).
constexpr int srom_stage_base = 10;
// Failures other than a no response (the target is off, the record holds the cause).
constexpr int srom_other_failure = -127;
// Two cumulative checksums whose difference no block can have (record code 126).
constexpr int srom_wrong_block_sum = -126;

// Status byte 0..255; the no-response stage (12 or more) after a no response;
// srom_other_failure. A status of srom_stage_base or more cannot be told from a no response.
int srom_read_block(int block);
// The no-response code a read block result of srom_stage_base or more stands for.
constexpr int read_block_wait_result(int result) { return srom_stage_base - result; }

// Checksum of the first (count & 0x7F) blocks (0 = all 128); minus the no-response stage
// after a no response; srom_other_failure.
int srom_checksum(int count);
// Sum of one block's 64 bytes, 0..16320; negative from srom_checksum, or srom_wrong_block_sum.
int srom_block_checksum(int block);

}  // namespace issp
