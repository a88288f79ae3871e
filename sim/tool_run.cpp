#include "sim/tool_run.h"

#include "app/run.h"
#include "image/container.h"
#include "output/codepage.h"
#include "sim/state.h"
#include "sim/world.h"

namespace sim {

namespace {

// The tool's own code holds nothing with a destructor, so a process end in its midst (a
// signal's emergency stop) can come back here as the exit status.
int32_t run_until_exit(int argc, char** argv) {
  std::jmp_buf exit_point;
  detail::emergency_exit = &exit_point;
  const int ended = setjmp(exit_point);
  const int32_t code = ended != 0 ? ended : app::tolvern_main(argc, argv);
  detail::emergency_exit = nullptr;
  return code;
}

}  // namespace

int32_t run_tool(const std::string& program, const std::vector<std::string>& args,
                 int answer_key) {
  clear_console_output();
  if (answer_key != no_answer) {
    std::string prompt = app::last_chance_prompt();
    output::to_console_codepage(prompt.data());
    push_keys_after(prompt, {answer_key});
  }
  std::vector<std::string> storage;
  storage.reserve(args.size() + 1);
  storage.push_back(program);
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  return run_until_exit(static_cast<int>(storage.size()), argv.data());
}

bool flash_equals_image() {
  const auto& bytes = flash();
  for (int i = 0; i < static_cast<int>(bytes.size()); ++i) {
    if (image::image_byte(i) != bytes[static_cast<std::size_t>(i)]) return false;
  }
  return true;
}

}  // namespace sim
