#include "options/options.h"

#include <getopt.h>

#include <mutex>
#include <sstream>
#include <utility>

namespace pelvane::options {

namespace {

// Long options come back from getopt_long as this plus their index in the
// table, clear of every one-letter form.
constexpr int kFirstLong = 256;

// getopt_long keeps its position in globals (optind and friends).
std::mutex& ParserMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string NameOf(const Option& option) {
  return std::string("--") + option.name;
}

const Option* ByLetter(std::span<const Option> table, int letter) {
  for (const Option& option : table)
    if (option.letter != 0 && option.letter == letter) return &option;
  return nullptr;
}

// The option as the user wrote it: "-x" or "--name".
std::string Written(std::span<const Option> table, int code) {
  if (code >= kFirstLong) return NameOf(table[static_cast<std::size_t>(code - kFirstLong)]);
  return std::string("-") + static_cast<char>(code);
}

// getopt_long's loop, under the lock: the arguments up to the first error
// the parser finds, and that error ("" when none).
std::string Scan(std::span<const Option> table, const std::vector<std::string>& args,
                 std::vector<Argument>& found) {
  std::vector<option> longs;
  // "-": plain arguments come back in order as code 1; ":": a missing value
  // is told apart from an unknown option, and getopt_long prints nothing.
  std::string letters = "-:";
  for (std::size_t i = 0; i < table.size(); ++i) {
    const bool hasValue = table[i].value != nullptr;
    longs.push_back({table[i].name, hasValue ? required_argument : no_argument, nullptr,
                     kFirstLong + static_cast<int>(i)});
    if (table[i].letter != 0) {
      letters += table[i].letter;
      if (hasValue) letters += ':';
    }
  }
  longs.push_back({nullptr, 0, nullptr, 0});

  std::vector<std::string> storage{"pelvane"};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& text : storage) argv.push_back(text.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(storage.size());

  std::lock_guard<std::mutex> lock(ParserMutex());
  opterr = 0;
  optind = 0;  // 0, not 1: glibc then forgets everything of an earlier parse
  for (;;) {
    const int code = getopt_long(argc, argv.data(), letters.c_str(), longs.data(), nullptr);
    if (code == -1) break;
    Argument argument;
    if (code == 1) {
      argument.value = optarg;
    } else if (code == ':') {
      return Written(table, optopt) + " needs a value";
    } else if (code == '?') {
      if (optopt >= kFirstLong) return Written(table, optopt) + " takes no value";
      if (optopt != 0) return "unknown option " + Written(table, optopt);
      const std::string written = argv[static_cast<std::size_t>(optind - 1)];
      return "unknown option " + written.substr(0, written.find('='));
    } else if (code >= kFirstLong) {
      argument.option = &table[static_cast<std::size_t>(code - kFirstLong)];
      // getopt_long also takes an unambiguous beginning of a name.
      const bool separateValue = optarg != nullptr && optarg == argv[optind - 1];
      const std::string written = argv[static_cast<std::size_t>(optind - (separateValue ? 2 : 1))];
      const std::string name = written.substr(0, written.find('='));
      if (name != NameOf(*argument.option)) return "unknown option " + name;
      if (optarg != nullptr) argument.value = optarg;
    } else {
      argument.option = ByLetter(table, code);
      if (argument.option == nullptr) return "unknown option " + Written(table, code);
      if (optarg != nullptr) argument.value = optarg;
    }
    found.push_back(std::move(argument));
  }
  // What follows "--".
  for (int i = optind; i < argc; ++i) found.push_back({nullptr, argv[static_cast<std::size_t>(i)]});
  return "";
}

}  // namespace

std::string Parse(std::span<const Option> table, const std::vector<std::string>& args,
                  const Take& take) {
  std::vector<Argument> found;
  const std::string scanError = Scan(table, args, found);
  // Every argument found stands before the parser's error, so an error that
  // `take` finds in one of them comes first.
  for (const Argument& argument : found)
    if (std::string error = take(argument); !error.empty()) return error;
  return scanError;
}

std::string HelpLines(std::span<const Option> table) {
  constexpr std::size_t kColumn = 25;
  constexpr std::size_t kWidth = 79;
  std::ostringstream out;
  const char* group = nullptr;
  for (const Option& option : table) {
    if (option.group != nullptr && (group == nullptr || std::string_view(group) != option.group)) {
      if (out.tellp() > 0) out << '\n';
      out << option.group << '\n';
      group = option.group;
    }
    std::string line = "  ";
    if (option.letter != 0) line += std::string("-") + option.letter + ", ";
    line += NameOf(option);
    if (option.value != nullptr) line += std::string(" ") + option.value;
    if (line.size() + 1 > kColumn) {
      out << line << '\n';
      line.clear();
    }
    std::istringstream words(option.help);
    std::string word;
    bool first = true;
    while (words >> word) {
      if (!first && line.size() + 1 + word.size() > kWidth) {
        out << line << '\n';
        line.clear();
        first = true;
      }
      if (first) {
        line.resize(kColumn, ' ');
        line += word;
        first = false;
      } else {
        line += ' ' + word;
      }
    }
    out << line << '\n';
  }
  return out.str();
}

std::string_view ProjectVersion() {
  return PELVANE_VERSION;
}

std::string VersionLine(std::string_view program) {
  return std::string(program) + " " + std::string(ProjectVersion()) + "\n";
}

std::string UsageErrorText(std::string_view program, std::string_view message) {
  const std::string name(program);
  return name + ": " + std::string(message) + "\nTry '" + name + " --help'.\n";
}

}  // namespace pelvane::options
