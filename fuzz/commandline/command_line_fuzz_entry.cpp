#include "command_line_fuzz_entry.h"

#include <string>
#include <vector>

#include "commandline/qn_command_line.h"

namespace pelvane::commandline::fuzz {

bool FuzzCommandLine(std::span<const std::uint8_t> data) {
  if (data.empty()) return true;
  const std::uint8_t mode = data[0];
  const std::string text(reinterpret_cast<const char*>(data.data()) + 1, data.size() - 1);
  // No file system: a path "exists" when its length is even, so both
  // answers are reached without touching the disk (an empty path never exists).
  QN_CommandLine line(
      [](const std::string& path) { return !path.empty() && path.size() % 2 == 0; });

  if ((mode & 1) == 0) {
    line.CommandLine(text);
    if (line.CommandLine() != text || line.GnuStyle()) return false;
  } else {
    std::vector<std::string> arguments;
    std::size_t pos = 0;
    for (;;) {
      const std::size_t end = text.find('\0', pos);
      arguments.push_back(text.substr(pos, end == std::string::npos ? end : end - pos));
      if (end == std::string::npos) break;
      pos = end + 1;
    }
    if (mode & 2) arguments.front().insert(0, "--");
    line.ParseArguments(arguments);
    // An option anywhere makes it the GNU form.
    const bool gnu = arguments.front().rfind("--", 0) == 0;
    if (gnu && !line.GnuStyle()) return false;
  }
  // A file flag means a path was named and found.
  if (line.Filename() && (line.FilePath().empty() || line.FilePath().size() % 2 != 0)) return false;
  // Whatever was refused is reported with a code and a text.
  if (line.GetLastError() != 0 && line.GetLastErrorString().empty()) return false;
  return true;
}

}  // namespace pelvane::commandline::fuzz
