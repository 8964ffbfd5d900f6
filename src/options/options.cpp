#include "options/options.h"

#include <sstream>

namespace pelvane::options {

namespace {

std::string NameOf(const Option& option) {
  return std::string("--") + option.name;
}

// One parse. Each argument goes to `take` as soon as it is read, so the first
// error, the parser's own or one that `take` finds, ends the parse.
class Reader {
 public:
  Reader(std::span<const Option> table, const std::vector<std::string>& args, const Take& take)
      : table_(table), args_(args), take_(take) {}

  std::string Run() {
    bool plain = false;  // after "--"
    for (; next_ < args_.size(); ++next_) {
      const std::string& arg = args_[next_];
      std::string error;
      if (!plain && arg == "--")
        plain = true;
      else if (plain || arg.size() < 2 || arg[0] != '-')  // "-" alone is plain too
        error = take_({nullptr, arg});
      else if (arg[1] == '-')
        error = Long(arg);
      else
        error = Letters(arg);
      if (!error.empty()) return error;
    }
    return "";
  }

 private:
  // "--name", "--name=VALUE" or "--name VALUE".
  std::string Long(std::string_view arg) {
    const std::size_t equals = arg.find('=');
    const std::string written(arg.substr(0, equals));
    const Option* option = Find([&](const Option& o) { return written.substr(2) == o.name; });
    if (option == nullptr) return "unknown option " + written;
    if (equals == arg.npos)
      return option->value == nullptr ? take_({option, ""}) : Separate(*option, written);
    if (option->value == nullptr) return written + " takes no value";
    return take_({option, std::string(arg.substr(equals + 1))});
  }

  // "-h", flags grouped as in "-hv", and a letter's value attached ("-pVALUE")
  // or separate ("-p VALUE").
  std::string Letters(std::string_view arg) {
    for (std::size_t at = 1; at < arg.size(); ++at) {
      const Option* option =
          Find([&](const Option& o) { return o.letter != 0 && o.letter == arg[at]; });
      const std::string written = std::string("-") + arg[at];
      if (option == nullptr) return "unknown option " + written;
      if (option->value != nullptr)
        return at + 1 < arg.size() ? take_({option, std::string(arg.substr(at + 1))})
                                   : Separate(*option, written);
      if (std::string error = take_({option, ""}); !error.empty()) return error;
    }
    return "";
  }

  // A value in the next argument, whatever that starts with.
  std::string Separate(const Option& option, const std::string& written) {
    if (next_ + 1 == args_.size()) return written + " needs a value";
    return take_({&option, args_[++next_]});
  }

  const Option* Find(const auto& matches) const {
    for (const Option& option : table_)
      if (matches(option)) return &option;
    return nullptr;
  }

  std::span<const Option> table_;
  const std::vector<std::string>& args_;
  const Take& take_;
  std::size_t next_ = 0;
};

}  // namespace

std::string Parse(std::span<const Option> table, const std::vector<std::string>& args,
                  const Take& take) {
  return Reader(table, args, take).Run();
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
