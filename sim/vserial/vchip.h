// The simulated PSoC 1 target as the virtual serial port sees it: power, a rising clock edge and
// the level it drives, all at a time the caller gives. One small interface, so that the library
// follows the chip model wherever it lives.
#pragma once

#include <cstdint>

namespace vchip {

struct Options {
  bool silent_after_vectors = false;
  long vectors = 0;          // with the above: the chip stops answering after this many vectors
  double busy_us = -1;       // every supervisory call busy this long (< 0: the chip's own times)
};

void reset(const Options& options);
void power(bool on, double t_us);
void clock_rise(bool host_high, bool line_high, double t_us);
void clock_fall(double t_us);
void host_data(bool high, double t_us);
bool drives_line(double t_us);  // high or low: a break switched on now would fight it
bool drives_high(double t_us);
double timed_fall();  // when the chip's last timed drive (busy, power-up) ends or ended
const uint8_t* flash();  // 8192 bytes
long long vectors();
struct WireCounts {
  long long malformed_frames, rejected_calls, timing_violations, calls_started;
};
WireCounts wire_counts();

}  // namespace vchip
