// Waiting for the target to finish a supervisory call.
#pragma once

#include "serial/lines.h"

namespace issp {

// Results of issp_wait_and_poll. Every negative result other than wait_failed is a
// no-response code, which the callers turn into a stage with no_response_stage.
constexpr int wait_done = 0;
constexpr int wait_failed = -1;     // a switch, sample or wait failed (record filled)
constexpr int wait_not_low = -2;    // the released line never read low
constexpr int wait_no_busy = -3;    // no busy signal
constexpr int wait_busy_stuck = -4; // the busy signal never ended

// A failed arming of the CTS event (serial::arm_* -1..-3) comes out as -11..-13, apart from
// the other no-response codes; the record holds the arming's port error.
constexpr int wait_arm_failed(int armed) { return armed - 10; }
constexpr int wait_arm_set_mask_failed = wait_arm_failed(serial::arm_set_mask_failed);
constexpr int wait_arm_event_failed = wait_arm_failed(serial::arm_event_failed);
constexpr int wait_arm_wait_failed = wait_arm_failed(serial::arm_wait_failed);

constexpr bool is_no_response(int wait_result) {
  return wait_result != wait_done && wait_result != wait_failed;
}

// The stage (or exit code) that a no-response code of wait-and-poll stands for in a caller
// whose stages start at base: -2 becomes base + 2, -13 base + 13.
constexpr int no_response_stage(int base, int wait_result) { return base - wait_result; }

int issp_wait_and_poll();

}  // namespace issp
