// What the stand-in ftd2xx.dll (ftd2xx_standin.cpp) leaves in its status file for the wine
// tests: the virtual FT232R's report, then the driver's own counts. Written whole at every
// FT_Close and when the process lets the library go; the same layout in a 32-bit and a 64-bit
// build, so the Linux test reads what either Windows program's library wrote.
#pragma once

#include <cstdint>

#include "sim/vft232r/ft232r_device.h"

namespace ftd2xx_standin {

struct Driver {
  int64_t closes;             // FT_Close calls that closed a handle
  int64_t purges;             // FT_Purge calls that reached the chip
  int64_t in_task_stops;      // FT_StopInTask calls while the task ran
  int64_t late_bytes;         // bytes of a packet in flight at a purge that landed after it
  int64_t short_reads;        // FT_Read calls that ended at their timeout with fewer bytes
  int64_t short_writes;       // FT_Write calls that ended at their timeout with bytes left
  int64_t latency_refused;    // FT_SetLatencyTimer calls refused (below 2 ms)
  int64_t buffer_full;        // times the IN task stopped pulling for a full buffer
  int64_t baud;               // the last rate FT_SetBaudRate took (0 none)
  int64_t read_timeout_ms;    // FT_SetTimeouts' last values
  int64_t write_timeout_ms;
  double longest_read_us;     // the longest FT_Read in the device's time
  double longest_write_us;    // the longest FT_Write in the device's time
  double bitmode_reset_us;    // the device's time of the last FT_SetBitMode(..., 0) (0 none)
  double latch_pause_us;      // from a write in asynchronous mode to the switch to synchronous
  // The virtual FT232R's clock stood while the chip behind it ran a supervisory call
  // (vft232r::call_gaps): how often, and for how long in all.
  int64_t unsampled_gaps_in_calls;
  double unsampled_us_in_calls;
  int64_t unsampled_round_trips_in_calls;  // of those gaps, 1 ms or longer
  int64_t late_answers;       // the chip's late-answer faults VFT232R_LATE_ANSWER set up
  int64_t in_transfer_size;   // the IN task's USB transfer size (FT_SetUSBParameters; 4096 default)
};

struct Status {
  vft232r::Report device;
  Driver driver;
};
static_assert(sizeof(Status) % 8 == 0, "no tail padding that differs between builds");

}  // namespace ftd2xx_standin
