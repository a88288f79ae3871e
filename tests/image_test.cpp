// The tool's image reader against containers packed by the shared packing code, and tolvern-pack
// run as a child process on temporary files.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <string>
#include <random>
#include <vector>

#include "image/container.h"
#include "image/container_format.h"
#include "image/keystream.h"
#include "tests/harness.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes random_image(uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes p(image::image_size);
  for (uint8_t& b : p) b = static_cast<uint8_t>(gen());
  return p;
}

// Packs plain and puts the container in the image buffer, as the tool's loader does (after a
// reset of the module, unless told not to).
Bytes load(const Bytes& plain, uint32_t x0, bool reset = true) {
  Bytes c(image::container_size);
  image::pack_container(plain.data(), x0, nullptr, c.data());
  if (reset) image::reset_image();
  std::memcpy(image::image_buffer, c.data(), c.size());
  return c;
}

Bytes read_bytes(const std::string& path) {
  const std::string bytes = harness::read_file(path);
  return Bytes(bytes.begin(), bytes.end());
}

// The programming procedure's order (each block's 64 bytes three times in a row, block after
// block, then the whole image twice more) and image_verify cost a few generator steps per
// byte, not a regeneration from the start. Any other order, and indexes outside the image read
// in between, still give every byte, and the buffer is never written.
TEST(ImageReader, ProcedureOrderCostsFewStepsPerByte) {
  const Bytes plain = random_image(5);
  const Bytes container = load(plain, 0xA5A5F00Du);
  uint64_t before = image::image_counters.generator_steps;
  ASSERT_EQ(image::image_verify(), 0);
  EXPECT_EQ(image::image_counters.generator_steps - before, image::image_size + 1);

  uint64_t most = 0, total = 0, calls = 0;
  auto read = [&](int32_t i) {
    before = image::image_counters.generator_steps;
    ASSERT_EQ(image::image_byte(i), plain[i]) << i;
    const uint64_t steps = image::image_counters.generator_steps - before;
    most = std::max(most, steps);
    total += steps;
    ++calls;
  };
  for (int32_t b = 0; b < 128; ++b) {
    for (int pass = 0; pass < 3; ++pass) for (int32_t k = 0; k < 64; ++k) read(b * 64 + k);
  }
  for (int pass = 0; pass < 2; ++pass) for (int32_t i = 0; i < static_cast<int32_t>(image::image_size); ++i) read(i);
  EXPECT_EQ(calls, 40960u);
  EXPECT_LE(most, 64u);
  EXPECT_LE(total, 2 * calls);
  std::vector<int32_t> order(image::image_size + 1000);
  for (size_t k = 0; k < order.size(); ++k) order[k] = static_cast<int32_t>(k % image::image_size);
  std::shuffle(order.begin(), order.end(), std::mt19937(5));
  for (size_t k = 0; k < order.size(); ++k) {
    ASSERT_EQ(image::image_byte(order[k]), plain[order[k]]) << order[k];
    if (k % 101 == 0) {
      ASSERT_EQ(image::image_byte(k % 2 ? 8192 : -1), -1);
    }
  }
  for (int32_t i : {8192, -1, INT32_MIN, INT32_MAX, 65536 + 5}) EXPECT_EQ(image::image_byte(i), -1) << i;
  EXPECT_EQ(0, std::memcmp(image::image_buffer, container.data(), container.size())) << "buffer written";

  // A reset forgets the kept states along with everything else: the next byte is generated
  // from the start again.
  read(299);
  const uint32_t h = image::header_position;
  load(plain, 0xA5A5F00Du);
  EXPECT_EQ(image::image_counters.generator_steps, 0u);
  image::header_position = h;
  EXPECT_EQ(image::image_byte(300), plain[300]);
  EXPECT_EQ(image::image_counters.generator_steps, 301u);

  // What is kept belongs to one X0: another container put in the buffer without a reset and
  // read at the same place gives its own byte.
  const Bytes other = random_image(6);
  const Bytes second = load(other, 0x0F0F1234u, false);
  image::header_position = image::header_position_for_seed(static_cast<uint16_t>(second[0] | second[1] << 8));
  EXPECT_EQ(image::image_byte(301), other[301]);
}

TEST(ImageReader, CheckCatchesDamageButNotTheTail) {
  const Bytes plain = random_image(99);
  const Bytes good = load(plain, 0x0BADC0DEu);
  const uint32_t h = image::header_position_for_seed(static_cast<uint16_t>(good[0] | good[1] << 8));
  const struct { const char* name; std::vector<uint32_t> offsets; int expected; } cases[] = {
      {"first data byte after the seed", {2}, -1},
      {"last byte before the header", {h - 1}, -1},
      {"first byte after the header", {h + 6}, -1},
      {"last image byte", {8197}, -1},
      {"check value", {h + 4}, -1},
      {"check value low byte", {h + 5}, -1},
      {"all of the last 10 bytes", {8198, 8199, 8200, 8201, 8202, 8203, 8204, 8205, 8206, 8207}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::memcpy(image::image_buffer, good.data(), good.size());
    for (uint32_t o : c.offsets) image::image_buffer[o] ^= 0x5A;
    EXPECT_EQ(image::image_verify(), c.expected);
  }
  EXPECT_EQ(image::image_byte(8191), plain[8191]);
}

// Containers that tests/data/make_known_answer_containers.py built from the format's description
// alone, with none of this project's keystream or packing code: the tool's reader, the packer's
// reader and the packer's writer must all agree with them byte for byte.
TEST(ImageKnownAnswer, ContainersBuiltIndependently) {
  const struct { const char* name; uint32_t x0; uint32_t header; int verify; } cases[] = {
      {"search_repeats", 0x89ABCDEFu, 1872, 0},  // the header search takes a second step
      {"header_at_2", 0x0123F00Du, 2, 0},
      {"header_at_8191", 0xFEDC1234u, 8191, 0},
      {"wrong_check_value", 0x5EED0BADu, 2642, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string base = std::string(TOLVERN_SOURCE_DIR "/tests/data/known_answer/") + c.name;
    const Bytes container = read_bytes(base + ".dat");
    const Bytes plain = read_bytes(base + ".plain");
    ASSERT_EQ(container.size(), image::container_size);
    ASSERT_EQ(plain.size(), image::image_size);

    image::reset_image();
    std::memcpy(image::image_buffer, container.data(), container.size());
    // Read before image_verify, the header is taken at position 2.
    const int early = image::image_byte(1);
    EXPECT_EQ(image::header_position, 2u);
    if (c.header == 2) {
      EXPECT_EQ(early, plain[1]);
    }
    EXPECT_EQ(image::image_verify(), c.verify);
    EXPECT_EQ(image::header_position, c.header);
    EXPECT_EQ(image::check_container(container.data()), c.verify);
    if (c.verify != 0) continue;
    for (int32_t i = 0; i < static_cast<int32_t>(image::image_size); ++i) ASSERT_EQ(image::image_byte(i), plain[i]) << i;
    // The packer's reader regenerates from the start for every byte: a sample, with both
    // sides of the header.
    for (uint32_t i : {0u, 1u, c.header - 1, c.header, 4097u, 8190u, 8191u}) {
      if (i < image::image_size) {
        EXPECT_EQ(image::unpack_byte(container.data(), i), plain[i]) << i;
      }
    }
    Bytes packed(image::container_size);
    image::pack_container(plain.data(), c.x0, container.data() + image::image_size + image::header_size, packed.data());
    EXPECT_EQ(packed, container);
  }
}

using harness::read_file;
using harness::TempDir;
using harness::write_file;
namespace fs = std::filesystem;

// The packer's exit status (-1 when it did not exit normally); its stderr goes to *err, its
// stdout to *out.
int pack(const TempDir& dir, const std::string& args, std::string* err, std::string* out) {
  const std::string err_path = dir / ".stderr";
  const std::string out_path = dir / ".stdout";
  const int raw = std::system(("'" TOLVERN_PACKER "' " + args + " 2>'" + err_path + "' >'" + out_path + "'").c_str());
  *err = read_file(err_path);
  *out = read_file(out_path);
  fs::remove(err_path);
  fs::remove(out_path);
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

std::string record(uint32_t address, uint8_t type, const Bytes& data) {
  Bytes b = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), type};
  b.insert(b.end(), data.begin(), data.end());
  b.push_back(static_cast<uint8_t>(-std::accumulate(b.begin(), b.end(), 0)));
  std::string s = ":";
  for (uint8_t x : b) s += {"0123456789ABCDEF"[x >> 4], "0123456789ABCDEF"[x & 15]};
  return s + "\n";
}

const std::string end_record = ":00000001FF\n";

// No two blocks alike, so that data placed at a wrong address shows.
const Bytes plain = [] {
  Bytes p(image::image_size);
  for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i * 7 + 3 + (i >> 8));
  return p;
}();

// Data records of `size` bytes for plain[from, to), addresses lowered by `bias`.
std::string records(uint32_t from, uint32_t to, uint32_t size, uint32_t bias = 0) {
  std::string s;
  for (uint32_t a = from; a < to; a += size) s += record(a - bias, 0, Bytes(&plain[a], &plain[a] + size));
  return s;
}

// The image a container holds, through the tool's own reader; empty when its check fails.
Bytes unpacked(const std::string& container) {
  if (container.size() != image::container_size) return {};
  image::reset_image();
  std::memcpy(image::image_buffer, container.data(), container.size());
  if (image::image_verify() != 0) return {};
  Bytes b(image::image_size);
  for (uint32_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(image::image_byte(static_cast<int32_t>(i)));
  return b;
}

// The 16-bit sum of the image as PSoC Designer writes it at 0x200000, most significant byte first.
std::string checksum_record(const Bytes& image, int off_by = 0) {
  const int sum = (std::accumulate(image.begin(), image.end(), 0) + off_by) & 0xFFFF;
  return record(0, 4, {0, 0x20}) + record(0, 0, {static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum)});
}

// The last lines of a PSoC Designer file: protection bits at 0x100000, the checksum at 0x200000.
std::string designer_tail(const Bytes& image, int off_by = 0) {
  return record(0, 4, {0, 0x10}) + record(0, 0, Bytes(32, 0x55)) + checksum_record(image, off_by) + end_record;
}

std::string with_line_ends(const std::string& text, const std::string& line_end) {
  std::string s;
  for (char ch : text) s += ch == '\n' ? line_end : std::string(1, ch);
  return s;
}

TEST(Packer, PlainAndHexInputsGiveTheSameImage) {
  const TempDir dir;
  Bytes sparse(image::image_size, 0);
  sparse[0x10] = 0xAB;
  sparse[0x1FFF] = 0xCD;
  std::string crlf_lower;
  for (char ch : with_line_ends(records(0, 8192, 64) + end_record, "\r\n")) {
    crlf_lower += static_cast<char>(std::tolower(ch));
  }
  // A plain image that begins like a record line but is not Intel HEX.
  Bytes colon = plain;
  const std::string record_like = ":0400000001020304F2\n";
  std::copy(record_like.begin(), record_like.end(), colon.begin());
  // notices: lines on stderr, each saying what was ignored or how the input was taken; summary: the one line on stdout,
  // after "tolvern-pack: <input>: "; notice: part of stderr.
  const struct { const char* name; std::string input; const Bytes& image; long notices; const char* summary;
      const char* notice = ""; } cases[] = {
      {"plain image", std::string(plain.begin(), plain.end()), plain, 0,
       "plain image, 8192 flash bytes taken, 0 left unwritten (0x00); check value 0x"},
      {"lower case, CRLF", crlf_lower, plain, 0, "Intel HEX, 8192 flash bytes taken, 0 left unwritten (0x00); check value 0x"},
      {"CR alone", with_line_ends(records(0, 8192, 64) + end_record, "\r"), plain, 0, "Intel HEX, 8192 flash"},
      {"Ctrl-Z padding, no last line end", records(0, 8192, 64) + ":00000001FF" + std::string(100, '\x1A'), plain, 0,
       "Intel HEX, 8192"},
      {"linear base 0, then segment base 0x100", record(0, 4, {0, 0}) + records(0, 0x1000, 16) +
           record(0, 2, {1, 0}) + records(0x1000, 8192, 32, 0x1000) + end_record, plain, 0, "Intel HEX, 8192"},
      {"holes are 0x00", record(0x10, 0, {0xAB}) + record(0x1FFF, 0, {0xCD}) + end_record, sparse, 0,
       "Intel HEX, 2 flash bytes taken, 8190 left unwritten (0x00); check value 0x"},
      {"start address and unknown records", record(0, 3, {0, 0, 1, 0}) + records(0, 8192, 32) +
           record(0, 5, {0, 0, 0, 0}) + record(0, 6, {7}) + end_record, plain, 3, "Intel HEX, 8192"},
      {"PSoC Designer protection and checksum", records(0, 8192, 64) + designer_tail(plain), plain, 1,
       "Intel HEX, 8192 flash bytes taken, 0 left unwritten (0x00), checksum 0x", "protection bits ignored"},
      {"checksum of a file with holes", record(0x10, 0, {0xAB}) + record(0x1FFF, 0, {0xCD}) +
           checksum_record(sparse) + end_record, sparse, 0, "Intel HEX, 2 flash bytes taken, 8190 left unwritten "
           "(0x00), checksum 0x0178 matches; check value 0x"},
      {"other data above the program space", records(0, 8192, 64) + record(0, 4, {0, 0x30}) +
           record(0, 0, {1, 2}) + end_record, plain, 1, "Intel HEX, 8192"},
      {"8192 bytes beginning with ':'", std::string(colon.begin(), colon.end()), colon, 1,
       "plain image, 8192 flash bytes taken, 0 left unwritten (0x00); check value 0x", "taken as a plain 8192-byte image"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(dir / "in", c.input);
    std::string err, out;
    ASSERT_EQ(pack(dir, dir / "in" + " -o " + dir / "out.dat", &err, &out), 0) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), c.notices) << err;
    EXPECT_NE(err.find(c.notice), std::string::npos) << err;
    EXPECT_EQ(out.rfind("tolvern-pack: " + dir / "in" + ": " + c.summary, 0), 0u) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_EQ(unpacked(read_file(dir / "out.dat")), c.image);
  }
}

// A refused run exits non-zero, says why, and leaves the input, the old output and no other file.
TEST(Packer, RefusesBadInputAndWritesNothing) {
  const TempDir dir;
  const std::string image(plain.begin(), plain.end());
  const std::string one = record(0x100, 0, {1, 2, 3, 4});
  const std::string outputs = " -o " + dir / "out.dat" + " --emit-cpp " + dir / "out.cpp";
  const std::string ctrl_z = "\x1A";
  // args: the input "in" and both outputs when empty.
  const struct { const char* name; std::string input; const char* says; int status = 1; std::string args = "";
      } cases[] = {
      {"bad checksum", ":0401000001020304F2\n" + end_record, "checksum"},
      {"overlap", one + record(0x103, 0, {9}) + end_record, "overlaps"},
      {"past the flash end", record(0x1FF0, 0, Bytes(32, 1)) + end_record, "at address 0x2000 lies beyond the "
       "flash (0x0000-0x1FFF): the file was built for a chip with more flash than this tool programs"},
      {"a 16 KB chip's file", records(0, 8192, 64) + record(0x3FC0, 0, Bytes(64, 1)) + end_record,
       "at address 0x3FC0 lies beyond the flash"},
      {"checksum disagrees", records(0, 8192, 64) + designer_tail(plain, 1), "damaged or was edited"},
      {"checksum record of 3 bytes", records(0, 8192, 64) + record(0, 4, {0, 0x20}) + record(0, 0, {0, 0, 0}) +
           end_record, "malformed checksum record"},
      {"two checksum records", records(0, 8192, 64) + checksum_record(plain) + record(0, 0, {0, 0}) + end_record,
       "second checksum record"},
      {"Ctrl-Z before the end record", records(0, 4096, 64) + ctrl_z + records(4096, 8192, 64) + end_record,
       "malformed"},
      {"cut short, then Ctrl-Z", records(0, 4096, 64) + ctrl_z, "end-of-file record"},
      {"missing end record", records(0, 8192, 64), "end-of-file record"},
      {"data after the end record", one + end_record + one, "after the end-of-file"},
      {"odd number of digits", ":0401000001020304F\n" + end_record, "malformed"},
      {"not a hex digit", ":04010000010G0304F2\n" + end_record, "malformed"},
      {"length byte disagrees", ":0501000001020304F1\n" + end_record, "malformed"},
      {"line without a colon", one + "0100000001FE\n" + end_record, "malformed"},
      {"no data at all", end_record, "no data"},
      {"plain image one byte short", image.substr(1), "8192"},
      {"input missing", image, "No such file", 1, dir / "missing" + outputs},
      {"no output named", image, "usage", 2, dir / "in"},
      {"output is the input", image, "overwrite the input", 1, dir / "in" + " -o " + dir / "in"},
      {"SiliconID of five digits", image, "SiliconID is 0x", 2, dir / "in" + outputs + " --silicon-id=0x10000"},
      {"SiliconID without 0x", image, "SiliconID is 0x", 2, dir / "in" + outputs + " --silicon-id=0010"},
      {"SiliconID not hexadecimal", image, "SiliconID is 0x", 2, dir / "in" + outputs + " --silicon-id=0x1G"},
      {"SiliconID empty", image, "SiliconID is 0x", 2, dir / "in" + outputs + " --silicon-id=0x"},
      {"SiliconID twice", image, "unexpected option --silicon-id=0x2", 2,
       dir / "in" + outputs + " --silicon-id=0x1 --silicon-id=0x2"},
      {"-o twice", image, "unexpected option -o", 2, dir / "in" + outputs + " -o " + dir / "other.dat"},
      {"-o without its file", image, "unexpected option -o", 2, dir / "in" + " -o"},
      {"unknown option", image, "unexpected option --output", 2, dir / "in" + outputs + " --output"},
      {"a second input", image, "unexpected argument", 2, dir / "in" + outputs + " " + dir / "in"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(dir / "in", c.input);
    write_file(dir / "out.dat", "previous");
    std::string err, out;
    EXPECT_EQ(pack(dir, c.args.empty() ? dir / "in" + outputs : c.args, &err, &out), c.status);
    EXPECT_NE(err.find(c.says), std::string::npos) << err;
    EXPECT_EQ(out, "");
    EXPECT_EQ(read_file(dir / "in"), c.input);
    EXPECT_EQ(read_file(dir / "out.dat"), "previous");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2)
        << "output or temporary file left behind";
  }
}


// --silicon-id records the part in the unread tail; the summary names it with the check value
// that the tool prints before its prompt.
TEST(Packer, SiliconIdInTheTail) {
  const TempDir dir;
  write_file(dir / "in", std::string(plain.begin(), plain.end()));
  std::string err, out;
  ASSERT_EQ(pack(dir, dir / "in" + " -o " + dir / "out.dat" + " --silicon-id=0x1a2B", &err, &out), 0) << err;
  const std::string c = read_file(dir / "out.dat");
  EXPECT_EQ(c.substr(image::tail_offset), std::string("TvSID\x01\x1A\x2B\xE5\xD4", 10));
  EXPECT_EQ(unpacked(c), plain);
  image::reset_image();
  std::copy(c.begin(), c.end(), image::image_buffer);
  ASSERT_EQ(image::image_verify(), 0);
  EXPECT_NE(out.find(harness::format("; check value 0x%04X, for SiliconID 0x1A2B; wrote ", image::image_check_value())),
            std::string::npos) << out;
  image::reset_image();
}

}  // namespace
