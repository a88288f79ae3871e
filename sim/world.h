// The simulated world: a third back end of platform/platform.h. It holds a serial device
// map, ports (absent, busy, plain, or carrying the passive adapter with a PSoC 1 target),
// a virtual clock, a scripted console and fault injection, so that whole runs of the tool
// execute deterministically inside one process.
//
// Everything here may allocate; the tool's own code never calls it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/model/adapter.h"
#include "sim/model/chip.h"

namespace sim {

// Back to the default world:
// - clock at 10 MHz, each counter read advances it 1 tick, serial calls cost 0 us;
// - COM1 carries the adapter with a healthy chip; the device map lists "\Device\Serial0" = "COM1";
// - console captured, no keys scripted (the keyboard counts as closed), not passed through;
// - current directory "/sim", path separator '/';
// - no faults, counters zero, trace off.
void reset();

// ---- virtual clock ------------------------------------------------------------------------
void set_frequency(int64_t ticks_per_second);   // 0 makes the frequency query "succeed" with 0
void set_counter_step(int64_t ticks);           // added by every counter read
void set_latency_us(double us);                 // cost of every serial call (and device-map call)
int64_t now_ticks();
double now_us();                                 // simulated time since reset
void set_counter_start(int64_t ticks);           // e.g. negative to test a negative reading
// Sleeps also pass in real time (tolvern-sim -T with a person at the keyboard); never in tests.
void set_real_time_sleeps(bool on);

// ---- files and the program --------------------------------------------------------------
void set_current_directory(const std::string& dir);  // returned by platform::current_directory
void set_current_directory_error(uint32_t error);    // 0 = works
void set_path_separator(char separator);

// ---- console ------------------------------------------------------------------------------
const std::string& console_output();  // every byte written (code page 866), bell included
void clear_console_output();
// For each scripted key code read so far, how much console output there was when it was read:
// shows when a keyboard flush took what was waiting.
const std::vector<size_t>& keys_read_at();
// Keys waiting at once.
void push_keys(const std::vector<int>& codes);
// Keys that start waiting once the console output written after this call contains trigger
// (code page 866 bytes). Several such scripts are served in order.
void push_keys_after(const std::string& trigger_cp866, const std::vector<int>& codes);
// Keys typed one at a time after the trigger, one every interval_us of simulated time (each
// console poll costs 1 us), as an operator types: a loop that flushes the keyboard between
// keys sees each key on its own. An extended key is one entry of two codes.
void type_keys_after(const std::string& trigger_cp866, const std::vector<std::vector<int>>& keys,
                     double interval_us);
// tolvern-sim without --confirm/--cancel: output also goes to the real terminal and the real
// keyboard answers when no scripted key is waiting.
void set_console_passthrough(bool on);
// Output also goes to the real terminal while the keys stay scripted (tolvern-sim with
// --confirm or --cancel shows the session as it runs).
void set_console_echo(bool on);
// The captured console counts as an interactive terminal (default: as a pipe does not).
void set_console_interactive(bool on);

// ---- serial device map --------------------------------------------------------------------
struct DevmapEntry {
  std::u16string name;
  uint32_t type = 1;           // REG_SZ
  std::vector<uint8_t> data;   // raw bytes as stored (UTF-16LE text, terminator optional)
};
// A REG_SZ entry whose data is text in UTF-16LE with its terminator.
DevmapEntry devmap_text(const std::u16string& name, const std::u16string& text);
void set_devmap(const std::vector<DevmapEntry>& entries);
void set_devmap_missing(bool missing);                 // the key does not exist (error 2)
void set_devmap_open_error(uint32_t error);            // 0 = opens
void set_devmap_read_error(uint32_t index, uint32_t error);
void set_devmap_close_error(uint32_t error);
// Lists every configured port that is not absent, as "\Device\Serial<n-1>" = "COM<n>".
void devmap_from_ports();

// ---- ports ----------------------------------------------------------------------------------
enum class PortKind { absent, busy, plain, adapter };
void set_port(int com, PortKind kind);  // ports not set are absent; reset() sets COM1 adapter
void clear_ports();
struct LineState {
  bool open;
  bool rts, dtr, brk;  // outputs as last switched
  bool target_powered;
};
LineState line_state(int com);
int open_port_count();
// The device-control block the tool last applied to the port (SetCommState).
platform::Dcb applied_dcb(int com);  // ports open right now (0 after every clean run)

// ---- failure injection ------------------------------------------------------------------
enum class Call {
  any_serial,  // every serial-device call below
  open, clear_errors, build_dcb, set_state, purge, close, escape, modem_status, set_mask,
  create_event, wait_event,
  devmap_open, devmap_read, devmap_close,
  counter, frequency, current_directory,
  // The USB cable's library calls (not serial ones): listing, opening, the setup calls
  // (latency, rate, latch, bit mode), round trips. A round trip failing with 1167 is the cable
  // unplugged: it stays gone and takes the target's supply with it.
  usb_list, usb_open, usb_setup, usb_transfer,
};
struct CallFault {
  Call call = Call::any_serial;
  int nth = 1;               // 1-based, counted from when the fault was added, of that kind
  uint32_t error = 31;       // error number left in the last-error value (0 allowed)
  bool sticky = false;       // fail every call from the nth on
  uint32_t escape_function = 0;  // for Call::escape: only this line function counts (0 = any)
  int port = 0;              // serial calls: only those on this COM port count (0 = any port)
};
void add_call_fault(const CallFault& fault);
// Told of every call that a fault could strike (serial, device-map, ...; counter reads only
// when they fail) once the fault decision is made, so that a fault sweep knows
// which call it struck and what followed. Cleared by reset().
using CallObserver = void (*)(Call kind, bool serial, uint32_t escape_function, bool failed);
void set_call_observer(CallObserver observer);
// A WaitCommEvent that completes at once instead of pending.
void set_wait_completes_immediately(bool on);
// A CTS change reported that long after it happened, at the first serial call from then on (as
// wine's polling wait thread does); 0, the default, reports it at once as Windows does.
void set_cts_event_delay_us(double us);

// ---- USB-serial bridges and the FT232R cable --------------------------------------------------
// Each listed device is a USB-serial bridge; an FT232R carries the passive adapter with the
// target on its DB9 (one target for all adapters, as with the ports). Its pins follow the
// chip's synchronous bit-bang mode: bytes take effect at the byte rate, each returning the
// pins sampled just before it, through the cable's inverting RS-232 transceiver.
struct UsbDevice {
  std::string chip = "FT232R";  // anything else ("FT2232", "CH340", ...) is no FT232R
  std::string serial = "A10KSIM1";
  int com_port = 0;             // the COM number the system gives it (0: none)
  bool busy = false;            // opening fails with 110
  bool latch_lost = false;      // entering a bit mode clears the output latch to its zeros
};
void set_usb_devices(const std::vector<UsbDevice>& devices);  // reset(): none
// What a round trip costs besides its bytes (reset(): 1000 us, a full-speed USB round trip).
void set_usb_round_trip_us(double us);  // with the latency timer at 1 ms; each ms more adds one
// The device is unplugged now: every later call on it fails with 1167.
void unplug_usb_device(int index);
struct CableState {
  bool open;
  bool bitbang;          // synchronous bit-bang mode
  bool rts, dtr, brk;    // the RS-232 lines as the pins drive them
  bool target_powered;   // this cable's adapter supplies the target
};
CableState cable_state(int index);
struct CableCounters {
  long long transfers;        // round trips
  long long bytes;            // bytes written (as many read back)
  long long setup_calls;      // latency, rate, latch, bit mode
  long long uart_writes;      // bytes written outside bit-bang mode (sent as serial data!)
  uint32_t baud;              // the bit-bang divisor's baud rate last set (0: never)
  uint32_t slowest_byte_rate; // the slowest bytes a second the tool allows for with it
  long long pin_reads;        // the pins read on their own (outside the stream)
  int reset_mask;             // the output mask given when bit-bang mode was last left (-1: never)
  int latency_ms;             // the latency timer last set (0: never; the chip's default is 16)
  long long gaps_in_calls;    // times the chip ran out of bytes while a supervisory call was under way
  double gap_us_in_calls;     // how long it sampled nothing then, in all
};
const CableCounters& cable_counters();
// A signal (SIGINT, SIGTERM, ...) that reaches the tool while the cable is open, from this
// simulated time on: the back end notes it, as the real one's handler does, for the cable's
// stream to act on (reset(): none). The run ends where the tool ends the process: run_tool
// returns 128 + the signal number.
void raise_signal_at_us(int signal_number, double at_us);
// When the tool first saw the signal (-1: not yet), and the signal it ended the process for
// (0: none).
double signal_seen_at_us();
int ended_for_signal();

// ---- the target chip ----------------------------------------------------------------------
// Its configuration, faults, flash and counters: sim/model/chip.h, included above; the
// adapter's (DSR delay, supply charge, a stuck DSR): sim/model/adapter.h.

// ---- counters and trace --------------------------------------------------------------------
struct Counters {
  long long serial_calls;          // all serial-device calls
  long long escape_calls;          // EscapeCommFunction
  long long modem_status_calls;    // GetCommModemStatus
  long long other_serial_calls;    // open, close, purge, masks, events, configuration
  long long counter_reads;
  long long sleeps;
  long long clock_pulses;          // rising DTR edges
  // The chip's own counts (ChipCounters), as of the call to counters().
  long long vectors_write, vectors_read, vectors_other;
  std::array<long long, rom_function_slots> srom_calls;  // by function number
  long long power_ons;
  long long malformed_frames;
  long long rejected_calls;
  long long timing_violations;     // clock phases or releases the chip found too short
  long long refused_protected;     // block reads or writes refused on a protected block
  long long contention;            // break switched on while the target drove the line
};
// Everything a well-behaved tool never provokes: malformed frames, refused calls, timing
// violations, contention. A successful run leaves them all at 0.
bool clean_wire();
const Counters& counters();
// Calls of one supervisory function started so far, performed or not.
long long rom_calls(RomFunction function);

struct TraceEntry {
  enum Kind { escape, sample } kind;
  uint32_t function;  // line function for escape, modem status for sample
  double time_us;
};
void set_trace(bool on);
const std::vector<TraceEntry>& trace();
void clear_trace();

}  // namespace sim
