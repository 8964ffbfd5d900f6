// GNU-style options for every Pelvane program: one parser, one help layout,
// one way to say "--version" and to report a usage error. A program describes
// its options in a table and gets them back one by one in command-line order.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pelvane::options {

struct Option {
  const char* name = "";        // the long name without "--"
  const char* value = nullptr;  // the value's name in --help ("FILE"); nullptr: a flag
  const char* help = "";        // what it does; --help wraps it at 79 columns
  char letter = 0;              // a one-letter form ("-h"); 0: none
  const char* group = nullptr;  // a heading in --help, printed where it changes
};

struct Argument {
  const Option* option = nullptr;  // nullptr: a plain argument
  std::string value;               // the option's value, or the plain argument
  bool Is(std::string_view name) const { return option != nullptr && name == option->name; }
};

// Takes one argument; returns the text of a usage error, or "" to go on.
using Take = std::function<std::string(const Argument&)>;

// Reads `args` (without the program's name): "--name VALUE" and
// "--name=VALUE" for an option with a value (which may start with "-"),
// "--name" for a flag, the one-letter forms, plain arguments in between, and
// "--" before plain arguments that start with "-". Names are case-sensitive
// and must be given whole, so that a new option never breaks a script that
// abbreviated an old one. Stops at the first usage error, the parser's own or
// one that `take` returns, and returns its text; "" when there was none.
std::string Parse(std::span<const Option> table, const std::vector<std::string>& args,
                  const Take& take);

// The table as --help lines: the option with its value's name, its
// description from column 26, group headings where the group changes.
std::string HelpLines(std::span<const Option> table);

// The project's version, as the build names it.
std::string_view ProjectVersion();

// "pelvane-xyz 1.2.3\n", what --version prints.
std::string VersionLine(std::string_view program);

// A usage error as every program prints it on standard error.
std::string UsageErrorText(std::string_view program, std::string_view message);

}  // namespace pelvane::options
