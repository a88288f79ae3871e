// Whole runs in the simulated world as every driver makes them: sim::run_tool, which tolvern-sim,
// the benchmark and the tests share, and the tolvern-sim program run as a child process (the
// flash dump, the summary, world options reaching the world, the refusal of bad world options).
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/run.h"
#include "image/container.h"
#include "output/keyboard.h"
#include "platform/platform.h"
#include "sim/names.h"
#include "sim/tool_run.h"
#include "sim/world.h"
#include "tests/harness.h"

namespace {

struct Child {
  int status;  // exit status, or -1 when the child did not exit normally
  std::string out;
  std::string err;
};

Child run_sim(const std::string& dir, const std::string& args) {
  const std::string out = dir + "/out.txt";
  const std::string err = dir + "/err.txt";
  const std::string command = std::string(TOLVERN_SIM) + " " + args + " </dev/null >" + out +
                              " 2>" + err;
  const int raw = std::system(command.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, harness::read_file(out), harness::read_file(err)};
}

std::string embedded_image() {
  image::reset_image();
  image::load_embedded_container();
  EXPECT_EQ(image::image_verify(), 0);  // also decodes the image
  std::string bytes;
  for (int i = 0; i < static_cast<int>(image::image_size); ++i)
    bytes.push_back(static_cast<char>(image::image_byte(i)));
  return bytes;
}

// World options reach the world: the exit status and the summary show what the tool met.
TEST(SimTool, OutcomesOfWholeRuns) {
  const harness::TempDir tmp;
  const std::string dir = tmp.path();
  const struct {
    std::string args;  // after --summary, and --confirm unless they --cancel
    int status;
    const char* summary_line;
  } rows[] = {
      {"--cancel -C1", 1, "erase-all 0"},
      {"--usb=FT232R:4 -F -C4", 0, "USB cable: "},
      {"--usb=CH340:4 -F", 50, "erase-all 0"},
      // With -T the scripted key ends the line test after one cycle, not at a prompt.
      {"--cancel -T -C1", 1, "DTR = 0\r\n"},
      {"--fault=wrong-status:function=write-block,value=3 -C1", 101, "write-block 1 "},
      {"--dump-flash=" + dir + "/flash.bin --ports=2:plain,4:busy,5:adapter", 0, "flash equals image: yes"},
      {"--fault=call:escape,nth=100,error=5 -C1", 5, "erase-all 0"},
      // "value" is each kind's own setting: a status, an XOR mask, a stuck byte, an offset.
      {"--fault=corrupt-written-block:block=5,position=3,value=0x10 -C1", 101, "write-block 6 "},
      {"--fault=buffer-byte-stuck:position=7,value=0x5A -C1", 101, "write-block 0 "},
      // The README's figure: the last start delay's first clock lands just past 4002 us.
      {"--window-us=4002 -C1", 10, "erase-all 0"},
      {"--window-us=4003 -C1", 0, "flash equals image: yes"},
      // An echo that is stuck or slower than the probe's 100 ms: no adapter found.
      {"--dsr-stuck=1", 1, "erase-all 0"},
      {"--dsr-delay-us=103000", 1, "erase-all 0"},
      {"--fault=read-block-untouched:nth=7 -C1", 101, "read-block 7 "},
      {"--fault=corrupt-read-block:block=5,position=3,value=0x01,nth=134 -C1", 101, "read-block 134 "},
      {"--fault=checksum-off:count=0,value=1 -C1", 101, "checksum 255 calibrate 1"},
      // A chip that boots for longer than the tool's 1 s watch of the data line: stage 2.
      {"--power-up-high-us=1100000 -C1", 10, "erase-all 0"},
      // A chip that answers late but within the tool's poll limits, with free and with slow
      // serial calls.
      {"--fault=late-answer:function=erase-all,value=400000 -C1", 0, "timing violations 0, contention 0"},
      {"--latency-us=15 --fault=late-answer:function=write-block,nth=1,value=1500000 -C1", 0,
       "flash equals image: yes"},
      {"--lenient-init --lenient-parameters --no-protection --min-half-period-us=0 --min-release-us=0 "
       "--power-reset-off-us=0 --fail-on-contention -C1", 0, "flash equals image: yes"},
      // A dump that cannot be written must not leave a successful run looking complete.
      {"--dump-flash=" + dir + "/missing/flash.bin -C1", 2, "flash equals image: yes"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args);
    const bool cancel = row.args.rfind("--cancel", 0) == 0;
    const Child c = run_sim(dir, (cancel ? "--summary " : "--confirm --summary ") + row.args);
    EXPECT_EQ(c.status, row.status) << c.out << c.err;
    EXPECT_NE(c.out.find(row.summary_line), std::string::npos) << c.out;
  }
  EXPECT_TRUE(harness::read_file(dir + "/flash.bin") == embedded_image()) << "the dump";
}

TEST(SimTool, BadWorldOptionsRunNothing) {
  const harness::TempDir tmp;
  const std::string dir = tmp.path();
  for (const char* bad : {"--bogus", "--fault=nonsense", "--fault=no-busy:colour=3",
                          "--fault=call:escape,nth=0", "--ports=1:toaster", "--ports=0:adapter",
                          "--latency-us=abc", "--window-us=-5", "--confirm --cancel",
                          "--dump-flash=", "--lenient-init=1", "--dsr-stuck=2",
                          "--min-release-us=x"}) {
    SCOPED_TRACE(bad);
    const Child c = run_sim(dir, std::string(bad) + " -C1");
    EXPECT_EQ(c.status, 2);
    EXPECT_EQ(c.err.rfind("tolvern-sim:", 0), 0u) << c.err;
    EXPECT_TRUE(c.out.empty()) << c.out;  // the tool never ran
  }
}

// The program name and the switches reach the tool (the log lands beside the program), and
// the answer key is pressed at the last-chance prompt; the flash check sees every byte.
TEST(ToolRun, AnswersThePromptAndChecksTheFlash) {
  const struct { const char* name; int answer; int32_t exit_code; bool programmed; } rows[] = {
      {"ENTER", output::key_enter, 0, true},
      {"ESC", output::key_esc, 1, false},
      {"no answer: the closed keyboard reads as ESC", sim::no_answer, 1, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const harness::TempDir dir;
    sim::reset();
    platform::console_write("stale", 5);  // an earlier run's console is not this run's
    EXPECT_EQ(sim::run_tool(dir / "tolvern", {"-C1", "-L"}, row.answer), row.exit_code);
    EXPECT_EQ(sim::console_output().find("stale"), std::string::npos);
    EXPECT_NE(harness::read_file(dir / "Tolvern.log").find(app::last_chance_prompt()), std::string::npos);
    EXPECT_EQ(sim::flash_equals_image(), row.programmed);
    if (row.programmed) {
      sim::flash_mut()[8191] ^= 0x01;
      EXPECT_FALSE(sim::flash_equals_image()) << "the last byte";
    }
  }
}

}  // namespace
