// How the ISSP engine reaches the adapter's lines. Two drivers answer: the COM port's modem
// lines, one system call per switch or sample, and an FT232R cable's pins in synchronous
// bit-bang mode, where switches and waits become bytes of one stream and samples come back
// with the next round trip. The engine is written once for both: it takes samples that may
// still be pending and flushes where it must decide.
#pragma once

#include <cstdint>

namespace wire {

// A sample whose value the next flush() stores (the cable); the COM port answers at once.
constexpr int pending = 2;

// One sample of a modem line. The COM port answers at once (level); the cable gives a ticket
// for a slot of its own stream, which the next flush fills and level() reads. The stream
// never writes into the caller's memory, so a sample still queued when its caller has moved
// on (a wait that ended on its event word) harms nothing.
struct Sample {
  int level = 0;
  int64_t ticket = -1;  // -1: answered at once
};

struct Driver {
  // One of platform::SETRTS ... CLRBREAK: 1 done (record emptied), 0 failure (record filled).
  int (*set)(uint32_t function);
  // The same without touching the record: false with the system's number in last_error().
  bool (*set_quiet)(uint32_t function);
  // Whether any bit of mask is set in the modem status: 0 or 1 now (in out->level), pending
  // (out->ticket set; the next flush fills its slot), -1 failure (record filled).
  int (*sample)(uint32_t mask, Sample* out);
  // The level of a flushed ticket's sample: 0 or 1.
  int (*slot_level)(int64_t ticket);
  // Every switch and wait so far on the lines, every pending sample stored: 0, -1 (record).
  int (*flush)();
  // At least us microseconds before the next switch or sample: 0, -1 (record).
  int (*delay_us)(int32_t us);
  // Sleeps with every switch so far on the lines.
  void (*sleep_ms)(uint32_t ms);
  // The CTS change watch of wait-and-poll (serial/lines.h has the results); the word becomes
  // non-zero when CTS was seen high since arming. The COM port's only: a stream watches itself.
  int (*arm_cts_event)();
  void (*disarm_cts_event)();
  volatile uint32_t* (*cts_event_word)();
  // Every sample answers at once (never pending): a check can stop at the first difference
  // without a wasted vector on the wire.
  bool answers_at_once;

  // ---- a stream's own (the cable); nullptr on the COM port, whose waits sample by polls ----
  // Every byte of a stream is a sample: the position of the next one, after the waits so far.
  int64_t (*position)();
  // How many bytes us microseconds take at least.
  int64_t (*bytes_for_us)(int64_t us);
  // Holds the outputs as they stand, sampling every byte, until the read-backs from `from`
  // through `through` have come back or one of them shows CTS at `until`: the position of the
  // first such read-back, not_seen, or -1 failure (record filled). While it waits, bytes
  // written ahead keep the chip sampling.
  int64_t (*watch)(int until, int64_t from, int64_t through);
};

constexpr int64_t not_seen = -2;

extern const Driver com_port;  // serial/wire_com.cpp
extern const Driver ft232r;    // serial/wire_ft232r.cpp

void use(const Driver& driver);
const Driver& driver();

inline int set(uint32_t function) { return driver().set(function); }
inline bool set_quiet(uint32_t function) { return driver().set_quiet(function); }
inline int sample(uint32_t mask, Sample* out) { return driver().sample(mask, out); }
// A sample's level, once flushed.
inline int level(const Sample& s) { return s.ticket < 0 ? s.level : driver().slot_level(s.ticket); }
inline int flush() { return driver().flush(); }
inline int delay_us(int32_t us) { return us > 0 ? driver().delay_us(us) : 0; }
inline void sleep_ms(uint32_t ms) { driver().sleep_ms(ms); }
inline int arm_cts_event() { return driver().arm_cts_event(); }
inline void disarm_cts_event() { driver().disarm_cts_event(); }
inline volatile uint32_t* cts_event_word() { return driver().cts_event_word(); }
inline bool answers_at_once() { return driver().answers_at_once; }
inline bool streams() { return driver().watch != nullptr; }
inline int64_t position() { return driver().position(); }
inline int64_t bytes_for_us(int64_t us) { return driver().bytes_for_us(us); }
inline int64_t watch(int until, int64_t from, int64_t through) { return driver().watch(until, from, through); }

// A sample needed now: 0, 1, or -1 (record filled).
int read(uint32_t mask);

// Back to the COM port's driver.
void reset_wire();

}  // namespace wire
