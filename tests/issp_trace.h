// ISSP traffic read back out of the simulated world's trace of line calls: clock pulses with
// the data level the host drove, the samples taken after each, and whole vectors.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "issp/acquire.h"
#include "issp/vectors.h"
#include "output/error_record.h"
#include "platform/platform.h"
#include "serial/port.h"
#include "sim/world.h"

namespace issp_trace {

struct Pulse {
  int data;                       // break level at the rising clock edge
  std::vector<uint32_t> samples;  // modem status of every sample before the next pulse
};

// Pulses of the whole trace; brk is the break level before its first entry.
inline std::vector<Pulse> pulses(int brk = 0) {
  std::vector<Pulse> out;
  for (const sim::TraceEntry& e : sim::trace()) {
    if (e.kind == sim::TraceEntry::sample) {
      if (!out.empty()) out.back().samples.push_back(e.function);
    } else if (e.function == platform::SETBREAK || e.function == platform::CLRBREAK) {
      brk = e.function == platform::SETBREAK ? 1 : 0;
    } else if (e.function == platform::SETDTR) {
      out.push_back(Pulse{brk, {}});
    }
  }
  return out;
}

inline std::string bits(const std::vector<Pulse>& p, size_t from, size_t count) {
  std::string s;
  for (size_t i = from; i < from + count && i < p.size(); ++i) s += p[i].data ? '1' : '0';
  return s;
}

inline std::string w(uint32_t address, uint32_t data, char kind = 'w') {
  char text[16];
  std::snprintf(text, sizeof text, "%c %03X=%02X", kind, address, data);
  return text;
}

// Up to `count` vectors from pulse `from` as "w 2F7=00" / "r 0F8=3A" (bit 9: register space),
// skipping the zero clocks a wait leaves between them.
inline std::vector<std::string> decode(const std::vector<Pulse>& p, size_t from, size_t count) {
  std::vector<std::string> out;
  // A byte the host drove, or (sampled) one the target shifted out on the data line.
  auto byte = [&](size_t at, bool sampled) {
    uint32_t v = 0;
    for (size_t k = at; k < at + 8; ++k) {
      const auto& s = p[k].samples;
      v = v * 2 + (sampled ? (!s.empty() && (s.back() & platform::MS_CTS_ON)) : p[k].data != 0);
    }
    return v;
  };
  for (size_t i = from; out.size() < count; i += 22) {
    while (i < p.size() && p[i].data == 0) ++i;
    if (i + 22 > p.size()) break;
    const bool read = p[i + 2].data == 1;
    out.push_back(w((static_cast<uint32_t>(p[i + 1].data) << 9) | byte(i + 3, false),
                    read ? byte(i + 12, true) : byte(i + 11, false), read ? 'r' : 'w'));
  }
  return out;
}

// A fresh simulated world, every module the engine touches back at start, COM1 open.
inline bool fresh_com1() {
  sim::reset();
  output::reset_error_record();
  serial::reset_port_state();
  issp::reset_vectors();
  issp::reset_acquire();
  return serial::open_port(1) == 1;
}

}  // namespace issp_trace
