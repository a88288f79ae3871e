// The switches of tolvern-pack. The table is the whole command line besides INPUT: the parser
// takes exactly these, and the manual page is checked against it.
#pragma once

namespace pack_options {

enum class Option { output, emit_cpp, silicon_id, help, version };

enum class Form {
  plain,     // --help
  separate,  // -o OUTPUT: the value is the next argument
  joined,    // --silicon-id=0xNNNN: the value follows the name in the same argument
};

struct Switch {
  const char* name;  // a joined switch's name ends with '='
  Form form;
  Option option;
};

inline constexpr Switch switches[] = {
    {"-o", Form::separate, Option::output},          {"--emit-cpp", Form::separate, Option::emit_cpp},
    {"--silicon-id=", Form::joined, Option::silicon_id}, {"--help", Form::plain, Option::help},
    {"-h", Form::plain, Option::help},               {"--version", Form::plain, Option::version}};

}  // namespace pack_options
