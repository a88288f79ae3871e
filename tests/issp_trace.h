// ISSP traffic read back out of the simulated world's trace of line calls: clock pulses with
// the data level the host drove, the samples taken after each, and whole vectors.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
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

// The line switches of the whole trace, in order.
inline std::vector<uint32_t> escapes() {
  std::vector<uint32_t> out;
  for (const sim::TraceEntry& e : sim::trace()) {
    if (e.kind == sim::TraceEntry::escape) out.push_back(e.function);
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

// A supervisory call's writes in wire order: its own ones, the common parameters, the table
// number of a table read, then the function and the start.
struct Write { uint32_t address, data; };
inline std::vector<Write> call_writes(int function, std::vector<Write> own = {}) {
  own.insert(own.end(), {{0x2F7, 0}, {0x2F6, 0}, {0x0F8, 0x3A}, {0x0F9, 0x03}, {0x2F5, 0},
                         {0x2F4, 0x03}, {0x0FB, 0x80}, {0x2F9, 0x30}, {0x2FA, 0x40}});
  if (function == 6) own.push_back({0x0FA, 0});
  own.insert(own.end(), {{0x2F0, static_cast<uint32_t>(function)}, {0x2F8, 0}, {0x2FF, 0x12}});
  return own;
}

// Writes as decode() shows them, appended to `out`.
inline std::vector<std::string> as_text(const std::vector<Write>& v, std::vector<std::string> out = {}) {
  for (const Write& x : v) out.push_back(w(x.address, x.data));
  return out;
}

}  // namespace issp_trace
