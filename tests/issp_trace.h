// Reading ISSP traffic back out of the simulated world's trace of line calls: clock pulses
// with the data level the host drove, the samples taken after each, and whole vectors.
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
  double time_us;
};

// Pulses from trace entry `from` on; break_before is the break level before that entry.
inline std::vector<Pulse> pulses(size_t from = 0, int break_before = 0) {
  std::vector<Pulse> out;
  int brk = break_before;
  const auto& t = sim::trace();
  for (size_t i = from; i < t.size(); ++i) {
    const sim::TraceEntry& e = t[i];
    if (e.kind == sim::TraceEntry::sample) {
      if (!out.empty()) out.back().samples.push_back(e.function);
    } else if (e.function == platform::SETBREAK) {
      brk = 1;
    } else if (e.function == platform::CLRBREAK) {
      brk = 0;
    } else if (e.function == platform::SETDTR) {
      out.push_back(Pulse{brk, {}, e.time_us});
    }
  }
  return out;
}

inline std::string bits(const std::vector<Pulse>& p, size_t from, size_t count) {
  std::string s;
  for (size_t i = from; i < from + count && i < p.size(); ++i) s += p[i].data ? '1' : '0';
  return s;
}

// A write or read vector as "w 2F7=00" / "r 0F8=3A" (register addresses with bit 9).
struct Decoded {
  std::vector<std::string> vectors;
  size_t next;  // first pulse not decoded
};

// Decodes vectors from pulse `from`, skipping the zero clocks a wait gives between them, until
// `count` vectors are read or the pulses run out.
inline Decoded decode(const std::vector<Pulse>& p, size_t from, size_t count) {
  Decoded d{{}, from};
  size_t i = from;
  auto field = [&](size_t at, int width) {
    uint32_t v = 0;
    for (int k = 0; k < width; ++k) v = v * 2 + static_cast<uint32_t>(p[at + k].data);
    return v;
  };
  while (d.vectors.size() < count) {
    while (i < p.size() && p[i].data == 0) ++i;
    if (i + 22 > p.size()) break;
    const uint32_t space = static_cast<uint32_t>(p[i + 1].data);
    const bool read = p[i + 2].data == 1;
    const uint32_t address = (space << 9) | field(i + 3, 8);
    uint32_t data = 0;
    if (read) {
      for (int k = 0; k < 8; ++k) {
        const auto& s = p[i + 12 + k].samples;
        data = data * 2 + ((!s.empty() && (s.back() & platform::MS_CTS_ON)) ? 1u : 0u);
      }
    } else {
      data = field(i + 11, 8);
    }
    char text[16];
    std::snprintf(text, sizeof text, "%c %03X=%02X", read ? 'r' : 'w', address, data);
    d.vectors.push_back(text);
    i += 22;
  }
  d.next = i;
  return d;
}

inline std::string w(uint32_t address, uint32_t data) {
  char text[16];
  std::snprintf(text, sizeof text, "w %03X=%02X", address, data);
  return text;
}

// A fresh simulated world with COM1 open, every module the engine touches back at start.
inline void fresh_world() {
  sim::reset();
  output::reset_error_record();
  serial::reset_port_state();
  issp::reset_vectors();
  issp::reset_acquire();
}

inline bool open_com1() { return serial::open_port(1) == 1; }

}  // namespace issp_trace
