#include "app/run.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/command_line.h"
#include "app/connection_loop.h"
#include "app/endings.h"
#include "app/firmware.h"
#include "app/line_test.h"
#include "app/procedure.h"
#include "app/program_directory.h"
#include "image/container.h"
#include "issp/acquire.h"
#include "issp/power.h"
#include "issp/vectors.h"
#include "output/error_record.h"
#include "output/keyboard.h"
#include "output/messages.h"
#include "output/progress.h"
#include "platform/cp1251_literal.h"
#include "platform/platform.h"
#include "serial/cable.h"
#include "serial/discovery.h"
#include "serial/ft232r.h"
#include "serial/port.h"
#include "serial/timing.h"
#include "serial/wire.h"

namespace app {

namespace {

constexpr int empty_argument_line = 3387;
constexpr const char* log_name = "Tolvern.log";
constexpr const char* data_pattern = "Tolvern*.dat";

char program_directory[path_capacity];
char log_path[path_capacity];
char data_path[path_capacity];

// Room for a directory and a file name that do not fit a path buffer, so that the refusal
// can still name the whole path.
constexpr std::size_t long_path_capacity = 2 * path_capacity + 16;

// base + name into out (path_capacity bytes); false when the whole path would not fit.
bool join_path(const char* base, const char* name, char* out) {
  const std::size_t a = std::strlen(base);
  const std::size_t b = std::strlen(name);
  if (a + b > path_capacity - 1) return false;
  std::memcpy(out, base, a);
  std::memcpy(out + a, name, b + 1);
  return true;
}

Step file_error(int error_number, const char* path) {
  set_exit_code(1);
  char shown[long_path_capacity];
  platform::path_to_message_text(path, shown, sizeof shown);
  output::show_message(RU("\r\n\r\nОшибка %d при работе с файлом:\r\n%s\r\n\a"), error_number, shown);
  return stop(Ending::shutdown);
}

// A path that would not fit its buffer is refused as a file error naming the whole path.
Step path_too_long(const char* base, const char* name) {
  char whole[long_path_capacity];
  output::format_text(whole, sizeof whole, "%s%s", base, name);
  return file_error(ENAMETOOLONG, whole);
}

Step unclear_error(uint32_t code) {
  set_exit_code(static_cast<int32_t>(code));
  output::show_message(RU("\r\nНепонятная ошибка ( код %lu ).\r\n"), static_cast<unsigned long>(code));
  return stop(Ending::shutdown);
}

// A fresh log beside the program.
Step start_log() {
  output::show_message("%s", RU("Используется файл журнала.\r\n\r\n"));
  if (!join_path(program_directory, log_name, log_path)) {
    return path_too_long(program_directory, log_name);
  }
  if (std::remove(log_path) != 0) {
    const int error_number = errno;
    if (error_number != ENOENT) {
      set_exit_code(2);
      output::show_message("%s", RU("\r\nНевозможно стереть файл журнала.\r\n\a"));
      return stop(Ending::cleanup);
    }
  }
  if (!output::log_create(log_path)) return file_error(errno, log_path);
  output::set_log_enabled(true);
  return go_on;
}

void counter_check_failed() {
  // The failed delay or query has recorded the system's number, or 10 where the system gave
  // none (a negative reading, a zero frequency): never report "error 0".
  uint32_t code = static_cast<uint32_t>(output::error_code());
  if (code == 0) code = platform::last_error();
  platform::sleep_ms(1);
  output::show_message(RU("High-Resolution Performance Counter не работает, ошибка %lu.\r\n"),
                       static_cast<unsigned long>(code));
}

// Not fatal unless the counter fails right after working.
Step check_counter() {
  if (serial::delay_us(1000) != 0) {
    counter_check_failed();
    return go_on;
  }
  const int64_t frequency = serial::counter_frequency();
  if (frequency <= 0) {
    counter_check_failed();
    return go_on;
  }
  output::show_message(RU("High-Resolution Performance Counter: частота %lld тиков в секунду.\r\n"),
                       static_cast<long long>(frequency));
  int64_t ticks = 0;
  if (!platform::query_counter(&ticks)) {
    uint32_t code = platform::last_error();
    if (code == 0) code = platform::err::bad_environment;  // never an exit code of 0
    return unclear_error(code);
  }
  return go_on;
}

// With -D: the first Tolvern*.dat beside the program into the image buffer.
Step load_data_file() {
  char pattern[long_path_capacity];
  output::format_text(pattern, sizeof pattern, "%s%s", program_directory, data_pattern);
  char name[path_capacity];
  if (!platform::find_first_file(pattern, name, sizeof name)) {
    set_exit_code(3);
    output::show_message("%s", RU("\r\nФайл данных не найден."));
    return stop(Ending::cleanup);
  }
  if (!join_path(program_directory, name, data_path)) return path_too_long(program_directory, name);


  std::FILE* file = std::fopen(data_path, "rb");
  if (file == nullptr) return file_error(errno, data_path);
  run_state.data_file = file;
  if (std::fseek(file, 0, SEEK_END) != 0) {
    return file_error(errno, data_path);
  }
  const long length = std::ftell(file);
  if (length < 0) {
    return file_error(errno, data_path);
  }
  if (std::fseek(file, 0, SEEK_SET) != 0) {
    return file_error(errno, data_path);
  }
  if (length != static_cast<long>(image::container_size)) {
    set_exit_code(111);
    output::show_message("%s", RU("\r\nНеверная длина файла данных.\r\n"));
    return stop(Ending::shutdown);
  }
  errno = 0;
  if (std::fread(image::image_buffer, 1, image::container_size, file) != image::container_size) {
    return file_error(errno, data_path);
  }
  run_state.data_file = nullptr;
  if (std::fclose(file) != 0) {
    return file_error(errno, data_path);
  }
  output::show_message("%s", RU("\r\nРабота с внешним файлом данных.\r\n"));
  return go_on;
}

// After the identity: ESC cancels, ENTER goes on to programming, anything else is ignored.
Step last_chance() {
  // Keys pressed before the prompt are dropped just before it appears rather than just
  // after: the same for an operator, and a key that answers the prompt is never lost.
  output::flush_keyboard();
  output::show_message("%s", last_chance_prompt());
  for (bool first_pass = true;; first_pass = false) {
    // Also drops the second code of a two-code key.
    if (!first_pass) output::flush_keyboard();
    while (output::key_waiting() == 0) {
    }
    const int key = output::read_key();
    if (key == output::key_enter) return go_on;
    if (key == output::key_esc) {
      output::show_message("%s", RU("\r\n\r\nРабота прервана.\r\n"));
      if (issp::target_power_off(0) != 0) return stop(Ending::record);
      set_exit_code(1);
      return stop(Ending::cleanup);
    }
  }
}


// The port given with -C, or the one adapter found among the system's ports, opened.
Step open_the_port() {
  int32_t port_number = options.forced_port;
  if (port_number >= 1) {
    output::show_message(RU("\r\nПринудительная работа с портом COM%d\r\n\r\n"), port_number);
  } else {
    port_number = serial::find_adapter();
    if (port_number == serial::adapter_enumeration_failed) return stop(Ending::record);
    if (port_number <= 0) {
      set_exit_code(1);
      return stop(Ending::shutdown);
    }
  }
  output::show_message(RU("Открываем порт COM%d"), port_number);
  if (serial::open_port(port_number) == 0) return stop(Ending::record);
  output::show_message("%s", RU(" - успешно.\r\n"));
  return go_on;
}

// With -F: the FT232R cable (the one behind COM n with -C n), open and its adapter checked.
Step open_the_cable() {
  const int r = serial::open_cable(options.forced_port);
  if (r == 0) return stop(Ending::record);
  if (r < 0) {
    set_exit_code(-r);
    return stop(Ending::shutdown);
  }
  return go_on;
}

// The run from the command line to the ending it takes.
Ending run_sequence(int argc, char** argv) {
  const char* program_name = (argc > 0 && argv != nullptr) ? argv[0] : nullptr;
  if (!get_program_directory(program_name, program_directory)) {
    return unclear_error(platform::last_error()).ending;
  }

  output::show_message("\r\n");
  std::memcpy(log_path, program_directory, sizeof log_path);
  std::memcpy(data_path, program_directory, sizeof data_path);
  options = RunOptions{};
  output::set_log_enabled(false);

  switch (parse_command_line(argc, argv)) {
    case ParseResult::ok:
      break;
    case ParseResult::invalid:
      set_exit_code(127);
      output::show_message("%s", RU("\r\nНеверные параметры.\r\n"));
      return Ending::cleanup;
    case ParseResult::empty_argument:
      set_exit_code(10);
      output::show_message(RU("\r\nНепонятная ошибка в строке %d программы.\r\n"), empty_argument_line);
      return Ending::shutdown;
  }

  if (options.log) {
    const Step s = start_log();
    if (s.done) return s.ending;
  }
  Step s = check_counter();
  if (s.done) return s.ending;

  if (options.data_file) {
    s = load_data_file();
    if (s.done) return s.ending;
  } else {
    image::load_embedded_container();
  }
  // A container that records a SiliconID it cannot state soundly is refused like a damaged one.
  uint16_t expected_silicon_id = 0;
  if (image::image_verify() != 0 || image::image_expected_silicon_id(&expected_silicon_id) < 0) {
    set_exit_code(112);
    output::show_message("%s", RU("\r\nНеверные исходные данные.\r\n"));
    return Ending::shutdown;
  }

  if (options.cable) {
    s = open_the_cable();
  } else {
    s = open_the_port();
  }
  if (s.done) return s.ending;

  if (options.test_mode) return run_line_test();

  output::flush_keyboard();
  if (run_connection_loop() == 0) return Ending::record;
  s = check_silicon_id();
  if (s.done) return s.ending;
  show_firmware(options.data_file ? data_path + std::strlen(program_directory) : nullptr);
  if (options.verify_only) return run_verify_only();
  s = last_chance();
  if (s.done) return s.ending;
  return run_programming_procedure();
}

}  // namespace

const char* last_chance_prompt() {
  return RU("  Последний шанс отказаться. Нажмите ESC для отмены или ENTER для продолжения.");
}

void reset_modules() {
  output::reset_messages();
  output::reset_progress();
  output::reset_error_record();
  serial::reset_port_state();
  serial::reset_discovery();
  wire::reset_wire();
  ft232r::reset_ft232r();
  serial::reset_cable();
  issp::reset_vectors();
  issp::reset_acquire();
  image::reset_image();
  reset_run_state();
  options = RunOptions{};
  program_directory[0] = '\0';
  log_path[0] = '\0';
  data_path[0] = '\0';
}

int32_t tolvern_main(int argc, char** argv) {
  reset_modules();
  set_exit_code(0);
  platform::set_last_error(0);
  return finish(run_sequence(argc, argv));
}

}  // namespace app
