// tolvern-bench: one full, successful programming run on the simulated adapter and chip,
// with what it costs. Not a test: it measures, it does not judge.
//
// It runs the tool as "tolvern -C1" with ENTER pressed at the last-chance prompt, then prints
// serial calls by kind, vectors, supervisory calls by function, image_byte calls and generator
// steps, the real CPU time of the whole run (simulator included) and per serial call, the
// simulated time of the run at 0, 5, 15 and 500 us per serial call, and the CPU time of
// image_verify alone. Then the same run on the FT232R cable ("tolvern -F"): round trips, bytes
// each way and its simulated time with a 1 ms USB round trip, next to the COM port's time at
// 15 and 500 us per serial call.
#include <sys/resource.h>

#include <cstdio>

#include "image/container.h"
#include "output/keyboard.h"
#include "serial/ft232r.h"
#include "sim/names.h"
#include "sim/tool_run.h"
#include "sim/world.h"

namespace {

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Run {
  int32_t exit_code;
  double cpu_s;
  double simulated_us;
  sim::Counters counters;
  image::ImageCounters image;
  bool flash_ok;
};

Run run_once(double latency_us) {
  sim::reset();
  sim::set_latency_us(latency_us);

  Run r{};
  const double start = cpu_seconds();
  r.exit_code = sim::run_tool("/sim/tolvern", {"-C1"}, output::key_enter);
  r.cpu_s = cpu_seconds() - start;
  r.simulated_us = sim::now_us();
  r.counters = sim::counters();
  // Taken before the flash check, which reads the image through image_byte as well.
  r.image = image::image_counters;
  r.flash_ok = sim::flash_equals_image();
  return r;
}

struct CableRun {
  int32_t exit_code;
  double simulated_us;
  sim::CableCounters cable;
  ft232r::Counters stream;
  long long calls;
  bool flash_ok;
};

CableRun run_on_cable(double round_trip_us) {
  sim::reset();
  sim::set_usb_devices({sim::UsbDevice{}});
  sim::set_usb_round_trip_us(round_trip_us);
  ft232r::reset_counters();
  CableRun r{};
  r.exit_code = sim::run_tool("/sim/tolvern", {"-F"}, output::key_enter);
  r.simulated_us = sim::now_us();
  r.cable = sim::cable_counters();
  r.stream = ft232r::counters();
  for (const auto& f : sim::names::rom_functions) r.calls += sim::counters().srom_calls[static_cast<std::size_t>(f.value)];
  r.flash_ok = sim::flash_equals_image();
  return r;
}

}  // namespace

int main() {
  const Run r = run_once(0);
  if (r.exit_code != 0 || !r.flash_ok) {
    std::fprintf(stderr, "tolvern-bench: the run did not succeed (exit code %d, flash %s)\n%s\n",
                 static_cast<int>(r.exit_code), r.flash_ok ? "ok" : "differs",
                 sim::console_output().c_str());
    return 1;
  }
  const sim::Counters& c = r.counters;

  // image_verify on its own, on the embedded container.
  image::reset_image();
  image::load_embedded_container();
  const double verify_start = cpu_seconds();
  const int verify = image::image_verify();
  const double verify_s = cpu_seconds() - verify_start;
  const image::ImageCounters verify_counts = image::image_counters;

  std::printf("tolvern-bench: tolvern -C1, ENTER at the prompt, simulated world\n\n");
  std::printf("serial calls           %12lld\n", c.serial_calls);
  std::printf("  EscapeCommFunction   %12lld\n", c.escape_calls);
  std::printf("  GetCommModemStatus   %12lld\n", c.modem_status_calls);
  std::printf("  other                %12lld\n", c.other_serial_calls);
  std::printf("counter reads          %12lld\n", c.counter_reads);
  std::printf("sleeps                 %12lld\n", c.sleeps);
  std::printf("clock pulses           %12lld\n", c.clock_pulses);
  std::printf("vectors                %12lld (write %lld, read %lld, other %lld)\n",
              c.vectors_write + c.vectors_read + c.vectors_other, c.vectors_write,
              c.vectors_read, c.vectors_other);
  std::printf("supervisory calls\n");
  for (const auto& f : sim::names::rom_functions) {
    std::printf("  %-20s %12lld\n", f.name, c.srom_calls[static_cast<std::size_t>(f.value)]);
  }
  std::printf("image_byte calls       %12lld (image_verify %lld, procedure %lld)\n",
              static_cast<long long>(r.image.byte_calls),
              static_cast<long long>(verify_counts.byte_calls),
              static_cast<long long>(r.image.byte_calls - verify_counts.byte_calls));
  std::printf("generator steps        %12lld (image_verify %lld, procedure %lld)\n",
              static_cast<long long>(r.image.generator_steps),
              static_cast<long long>(verify_counts.generator_steps),
              static_cast<long long>(r.image.generator_steps - verify_counts.generator_steps));
  std::printf("\nCPU time of the run    %12.3f s (goal: under 1 s)\n", r.cpu_s);
  std::printf("  per serial call      %12.1f ns\n",
              c.serial_calls > 0 ? r.cpu_s * 1e9 / static_cast<double>(c.serial_calls) : 0.0);
  std::printf("CPU time image_verify  %12.3f s (%s)\n", verify_s,
              verify == 0 ? "sound" : "REJECTED");

  std::printf("\nsimulated time of the run\n");
  std::printf("  latency  0 us/call   %12.3f s\n", r.simulated_us / 1e6);
  for (double latency : {5.0, 15.0, 500.0}) {
    const Run slow = run_once(latency);
    std::printf("  latency %3.0f us/call  %12.3f s%s\n", latency, slow.simulated_us / 1e6,
                slow.exit_code == 0 ? "" : "  (the run failed at this latency)");
  }

  std::printf("\nFT232R cable, tolvern -F, synchronous bit-bang mode, divisor %u (%u Bd): %u bytes/s at the "
              "fastest reading, %u at the slowest\n",
              ft232r::divisor, ft232r::baud, ft232r::fastest_byte_rate, ft232r::slowest_byte_rate);
  const CableRun cable = run_on_cable(1000);
  if (cable.exit_code != 0 || !cable.flash_ok) {
    std::fprintf(stderr, "tolvern-bench: the cable run did not succeed (exit code %d)\n%s\n",
                 static_cast<int>(cable.exit_code), sim::console_output().c_str());
    return 1;
  }
  const ft232r::Counters& st = cable.stream;
  const double calls = static_cast<double>(cable.calls);
  std::printf("  supervisory calls    %12lld\n", cable.calls);
  std::printf("  round trips          %12lld (%.2f per supervisory call), %lld of them in the calls' watches "
              "(%.2f per call)\n",
              st.decisions, static_cast<double>(st.decisions) / calls, st.watches,
              static_cast<double>(st.watches) / calls);
  std::printf("  USB transfers        %12lld\n", cable.cable.transfers);
  std::printf("  bytes written        %12lld (as many read back)\n", cable.cable.bytes);
  std::printf("  samples asked for    %12lld (every byte of a watch is one besides)\n", st.samples);
  std::printf("  setup calls          %12lld\n", cable.cable.setup_calls);
  std::printf("  unsampled time during calls: %lld stretches, %.0f us (the chip without bytes to clock)\n",
              cable.cable.gaps_in_calls, cable.cable.gap_us_in_calls);
  std::printf("  simulated time, 1 ms round trip  %8.3f s (goal: under 20 s)\n", cable.simulated_us / 1e6);
  const CableRun free_usb = run_on_cable(0);
  std::printf("  simulated time, 0 ms round trip  %8.3f s (the bytes alone)\n", free_usb.simulated_us / 1e6);
  std::printf("  the round trip's cost            %8.3f ms per supervisory call\n",
              (cable.simulated_us - free_usb.simulated_us) / 1e3 / calls);
  // The same run with every byte at the slowest reading; the timed pauses and round trips as they were.
  const double slowest_s =
      cable.simulated_us / 1e6 + static_cast<double>(cable.cable.bytes) * (1.0 / ft232r::slowest_byte_rate -
                                                                             1.0 / ft232r::fastest_byte_rate);
  std::printf("  at the slowest reading, 1 ms round trip  %8.3f s (modeled from the bytes)\n", slowest_s);
  return 0;
}
