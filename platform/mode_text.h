// The device-control string of BuildCommDCBW, read as Windows NT reads it, shared by the back
// ends that have no system to ask. Two forms, told apart by a comma anywhere in the text:
//   old  "[COMn[:]] baud,parity,data,stop[,x|p]"  (baud 11 30 60 12 24 48 96 19 are the
//        mode command's abbreviations of 110 ... 19200)
//   new  "[COMn[:]] baud=N parity=P data=D stop=S xon=on|off to=on|off odsr= octs= dtr= rts=
//        idsr=", keys in any order, each followed by a space or the end
// On success the fields the text names are stored; on refusal only DCBlength changes, as on
// Windows, and the caller reports invalid parameter (87). Nothing here allocates.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace platform {

namespace mode_text_detail {

constexpr uint32_t dcb_size = 28;  // sizeof(DCB) on Windows

inline char16_t lower(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

// Case-blind prefix test against an ASCII word.
inline bool starts_with(const char16_t* s, const char* word) {
  for (; *word != '\0'; ++s, ++word) {
    if (lower(*s) != static_cast<char16_t>(*word)) return false;
  }
  return true;
}

inline const char16_t* skip_spaces(const char16_t* s) {
  while (*s == u' ') ++s;
  return s;
}

// Decimal digits; a value beyond 32 bits saturates, as wcstoul does.
inline const char16_t* number(const char16_t* s, uint32_t* value) {
  if (*s < u'0' || *s > u'9') return nullptr;
  uint64_t v = 0;
  for (; *s >= u'0' && *s <= u'9'; ++s) {
    v = v * 10 + static_cast<uint64_t>(*s - u'0');
    if (v > 0xFFFFFFFFu) v = 0xFFFFFFFFu + uint64_t{1};
  }
  *value = v > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
  return s;
}

inline const char16_t* parity(const char16_t* s, uint8_t* out) {
  switch (lower(*s)) {
    case u'n': *out = 0; break;
    case u'o': *out = 1; break;
    case u'e': *out = 2; break;
    case u'm': *out = 3; break;
    case u's': *out = 4; break;
    default: return nullptr;
  }
  return s + 1;
}

inline const char16_t* byte_size(const char16_t* s, uint8_t* out) {
  uint32_t v = 0;
  s = number(s, &v);
  if (s == nullptr || v < 5 || v > 8) return nullptr;
  *out = static_cast<uint8_t>(v);
  return s;
}

inline const char16_t* stop_bits(const char16_t* s, uint8_t* out) {
  if (s[0] == u'1' && s[1] == u'.' && s[2] == u'5') {
    *out = 1;
    return s + 3;
  }
  uint32_t v = 0;
  s = number(s, &v);
  if (s == nullptr || (v != 1 && v != 2)) return nullptr;
  *out = v == 1 ? 0 : 2;
  return s;
}

inline const char16_t* on_off(const char16_t* s, bool* out) {
  if (starts_with(s, "on")) {
    *out = true;
    return s + 2;
  }
  if (starts_with(s, "off")) {
    *out = false;
    return s + 3;
  }
  return nullptr;
}

inline void set_bit(Dcb* dcb, uint32_t bit, bool on) { dcb->flags = on ? (dcb->flags | bit) : (dcb->flags & ~bit); }

inline void set_control(Dcb* dcb, uint32_t field, uint32_t value) {
  dcb->flags = (dcb->flags & ~field) | dcb_place(value, field);
}

// An optional "COMn" naming the port, then ':' or spaces; otherwise no leading space.
inline const char16_t* start(const char16_t* s) {
  if (!starts_with(s, "com")) return *s == u' ' ? nullptr : s;
  s += 3;
  if (*s < u'1' || *s > u'9') return nullptr;
  while (*s >= u'0' && *s <= u'9') ++s;
  if (*s != u':' && *s != u' ') return nullptr;
  s = skip_spaces(s);
  if (*s == u':') s = skip_spaces(s + 1);
  return s;
}

// A comma, with spaces allowed on either side.
inline const char16_t* comma(const char16_t* s) {
  s = skip_spaces(s);
  if (*s != u',') return nullptr;
  return skip_spaces(s + 1);
}

inline bool old_form(const char16_t* s, Dcb* dcb) {
  s = number(s, &dcb->BaudRate);
  if (s == nullptr) return false;
  switch (dcb->BaudRate) {
    case 11: case 30: case 60: dcb->BaudRate *= 10; break;
    case 12: case 24: case 48: case 96: dcb->BaudRate *= 100; break;
    case 19: dcb->BaudRate = 19200; break;
    default: break;
  }
  if ((s = comma(s)) == nullptr || (s = parity(s, &dcb->Parity)) == nullptr) return false;
  if ((s = comma(s)) == nullptr || (s = byte_size(s, &dcb->ByteSize)) == nullptr) return false;
  if ((s = comma(s)) == nullptr || (s = stop_bits(s, &dcb->StopBits)) == nullptr) return false;
  char16_t handshake = 0;
  s = skip_spaces(s);
  if (*s == u',') {
    s = skip_spaces(s + 1);
    if (*s != 0) handshake = lower(*s++);
    s = skip_spaces(s);
  }
  // NT fills the flow control from the handshake letter, or its absence; Parity alone says
  // the parity, fParity is left as it was.
  bool x = false, p = false;
  switch (handshake) {
    case 0: break;
    case u'x': x = true; break;
    case u'p': p = true; break;
    default: return false;
  }
  set_bit(dcb, dcb_in_x, x);
  set_bit(dcb, dcb_out_x, x);
  set_bit(dcb, dcb_outx_cts_flow, p);
  set_bit(dcb, dcb_outx_dsr_flow, p);
  set_control(dcb, dcb_dtr_control, p ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE);
  set_control(dcb, dcb_rts_control, p ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE);
  return *s == 0;
}

inline bool new_form(const char16_t* s, Dcb* dcb) {
  bool baud = false, stop = false, on = false;
  while (*s != 0) {
    s = skip_spaces(s);
    if (starts_with(s, "baud=")) {
      baud = true;
      s = number(s + 5, &dcb->BaudRate);
    } else if (starts_with(s, "parity=")) {
      s = parity(s + 7, &dcb->Parity);
    } else if (starts_with(s, "data=")) {
      s = byte_size(s + 5, &dcb->ByteSize);
    } else if (starts_with(s, "stop=")) {
      stop = true;
      s = stop_bits(s + 5, &dcb->StopBits);
    } else if (starts_with(s, "to=")) {
      s = on_off(s + 3, &on);  // the write timeout only: no field of the block
    } else if (starts_with(s, "xon=")) {
      if ((s = on_off(s + 4, &on)) != nullptr) {
        set_bit(dcb, dcb_out_x, on);
        set_bit(dcb, dcb_in_x, on);
      }
    } else if (starts_with(s, "odsr=")) {
      if ((s = on_off(s + 5, &on)) != nullptr) set_bit(dcb, dcb_outx_dsr_flow, on);
    } else if (starts_with(s, "octs=")) {
      if ((s = on_off(s + 5, &on)) != nullptr) set_bit(dcb, dcb_outx_cts_flow, on);
    } else if (starts_with(s, "dtr=")) {
      if ((s = on_off(s + 4, &on)) != nullptr) set_control(dcb, dcb_dtr_control, on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE);
    } else if (starts_with(s, "rts=")) {
      if ((s = on_off(s + 4, &on)) != nullptr) set_control(dcb, dcb_rts_control, on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE);
    } else if (starts_with(s, "idsr=")) {
      if ((s = on_off(s + 5, &on)) != nullptr) set_bit(dcb, dcb_dsr_sensitivity, on);
    } else {
      return false;  // also a trailing space: nothing follows it
    }
    if (s == nullptr || (*s != 0 && *s != u' ')) return false;
  }
  // Without stop=, one stop bit, or two for an explicit 110 baud.
  if (!stop) dcb->StopBits = (baud && dcb->BaudRate == 110) ? 2 : 0;
  return true;
}

}  // namespace mode_text_detail

// Fills *dcb from the device-control string text as BuildCommDCBW does; false (and *dcb
// unchanged but for DCBlength) when the text is refused.
inline bool dcb_from_mode_text(const char16_t* text, Dcb* dcb) {
  namespace d = mode_text_detail;
  dcb->DCBlength = d::dcb_size;
  Dcb work = *dcb;
  const char16_t* s = d::start(text);
  if (s == nullptr) return false;
  bool has_comma = false;
  for (const char16_t* c = s; *c != 0; ++c) has_comma = has_comma || *c == u',';
  if (!(has_comma ? d::old_form(s, &work) : d::new_form(s, &work))) return false;
  *dcb = work;
  return true;
}

}  // namespace platform
