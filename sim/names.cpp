// tolvern-sim's --help, written from the name tables, and chip faults from --fault settings.
#include "sim/names.h"

namespace sim::names {

namespace {

constexpr std::size_t width = 92;

// "  label   " then text, every further line of text indented to the same column.
void item(std::string* out, const std::string& label, std::size_t column, std::string_view text) {
  std::string line = "  " + label;
  std::size_t start = 0;
  do {
    const std::size_t end = text.find('\n', start);
    const std::string_view part = text.substr(start, end == std::string_view::npos ? end : end - start);
    line.resize(column, ' ');
    *out += line;
    *out += part;
    *out += '\n';
    line.clear();
    start = end == std::string_view::npos ? end : end + 1;
  } while (start != std::string_view::npos);
}

// The names of a table, comma-separated (last_separator before the last), wrapped before
// the width with the continuation lines starting at column.
template <typename T, std::size_t N>
std::string names(const Named<T> (&table)[N], std::size_t column, const std::string& last_separator = ", ") {
  std::string text;
  std::size_t length = column;
  for (std::size_t i = 0; i < N; ++i) {
    const std::string separator = i == 0 ? "" : (i + 1 == N ? last_separator : ", ");
    const std::string word = table[i].name;
    if (i != 0 && length + separator.size() + word.size() > width) {
      text += separator.substr(0, separator.size() - 1) + "\n";  // the line ends after the comma
      length = column;
    } else {
      text += separator;
      length += separator.size();
    }
    text += word;
    length += word.size();
  }
  return text;
}

}  // namespace

ChipFaultSpec chip_fault_from_settings(ChipFault kind, const FaultSettings& s) {
  ChipFaultSpec f;
  f.kind = kind;
  f.function = s.function;
  f.nth_call = s.nth;
  f.block = s.block;
  f.position = s.position;
  f.count = s.count;
  f.vectors = s.vectors;
  switch (kind) {
    case ChipFault::no_answer_after_power_on: f.nth_power_on = s.nth; break;
    case ChipFault::wrong_status: f.status = s.value; break;
    case ChipFault::corrupt_written_block:
    case ChipFault::corrupt_read_block: f.xor_mask = s.value; break;
    case ChipFault::checksum_off: f.offset = s.value; break;
    case ChipFault::buffer_byte_stuck: f.stuck_value = s.value; break;
    case ChipFault::late_answer:
    case ChipFault::answer_without_clock: f.delay_us = s.value; break;
    default: break;
  }
  return f;
}

std::string help_text() {
  std::string out =
      "usage: tolvern-sim [world options] [tool switches]\n"
      "\n"
      "Runs Tolvern against a simulated passive adapter and PSoC 1 chip. Arguments that begin\n"
      "with \"--\" describe the world; all others (-C<n>, -D, -F, -L, -T, -V) go to the tool\n"
      "unchanged (tolvern(1) describes them).\n"
      "Started with a path, the tool sees this binary's own path as its program name, so\n"
      "Tolvern.log and Tolvern*.dat are looked for in the directory tolvern-sim lives in;\n"
      "started by a bare name (through PATH), in the current directory. The exit status is\n"
      "the tool's exit code. The manual page tolvern-sim(1) has examples.\n"
      "\n"
      "World options:\n";
  for (const WorldOption& o : world_options) {
    std::string label = o.name;
    if (*o.argument != '\0') label += std::string("=") + o.argument;
    item(&out, label, 27, o.help);
  }
  out += "\nThe simulated adapter and chip are strict by default; these settings change that:\n";
  for (const Setting& o : world_settings) {
    std::string label = o.name;
    if (*o.argument != '\0') label += std::string("=") + o.argument;
    item(&out, label, 26, o.help);
  }
  out += "\nPort kinds (--ports):\n";
  for (const auto& k : port_kinds) item(&out, k.name, 12, k.help);
  out += "\nChip faults: NAME[:KEY=VALUE,...]\n";
  for (const auto& f : chip_faults) item(&out, f.name, 28, f.help);
  item(&out, "KEY", 8, "function  supervisory function it applies to: a number or");
  item(&out, "", 18, names(rom_functions, 18));
  item(&out, "", 8, "nth       only that call of the function (1-based; default every call)");
  item(&out, "", 8, "block, position, count, value, vectors   as the fault names them");
  item(&out, "e.g.", 8,
       "no-busy:function=write-block,nth=3   wrong-status:function=2,value=3\n"
       "corrupt-written-block:block=5,position=3,value=0x10   checksum-off:count=0,value=1\n"
       "silence-after-vectors:vectors=20000   late-answer:function=erase-all,value=300000\n"
       "wrong-status:function=protect,value=1 (a protect whose status is not 0)");
  out += "\nSerial-call failures: call:KIND[,nth=N][,error=E][,sticky][,line=FUNCTION][,port=N]\n";
  item(&out, "KIND", 8, names(call_kinds, 8));
  item(&out, "nth", 8, "the Nth call of that kind fails (default 1); sticky: every call from the Nth on");
  item(&out, "error", 8, "the Windows error number left behind (default 31)");
  item(&out, "line", 8, "for escape: count only " + names(line_functions, 8, " or "));
  item(&out, "port", 8, "count only the calls on COM port N (1..99)");
  item(&out, "e.g.", 8, "call:escape,nth=100,error=5   call:modem-status,nth=2000,sticky");
  return out;
}

}  // namespace sim::names
