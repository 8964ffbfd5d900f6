// The upload's action lines with the time each arrived. The list on the upload
// step is only shown with the advanced display, but the lines are always kept,
// so that a technician can save them from the finished step for the
// instrument's records.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace pelvane::wizard {

class ActionLog {
 public:
  using Clock = std::chrono::system_clock;

  struct Entry {
    Clock::time_point time;
    std::string text;
  };

  void Add(std::string text, Clock::time_point time = Clock::now());
  void Clear() { entries_.clear(); }
  const std::vector<Entry>& Entries() const { return entries_; }
  bool Empty() const { return entries_.empty(); }

  // One line per entry: local time "YYYY-MM-DD HH:MM:SS.mmm", two blanks, the
  // text. A line break inside a text continues on an indented line, so that
  // every line of the file still starts with a time or a blank.
  std::string Format() const;

  // Writes Format() to `path`, replacing the file. On failure returns false
  // and names the cause in `error` ("Cannot write /x/y: Permission denied").
  bool Save(const std::string& path, std::string* error) const;

 private:
  std::vector<Entry> entries_;
};

// Every run of the wizard leaves its trace (core/trace.h) in a folder of
// logs, so that a failure can be diagnosed after the window is closed.
inline constexpr std::size_t kRunLogsKept = 20;

// $XDG_STATE_HOME/pelvane/logs, or ~/.local/state/pelvane/logs; empty when
// neither variable names a folder.
std::filesystem::path RunLogFolder();

// A new file name in `folder` for a run starting at `time`
// ("run-20261209-142501.log"; "-2", "-3" ... when taken), after removing the
// oldest logs so that with the new one `kept` remain. The folder is created.
// Empty, with the reason in `error`, when the folder cannot be made.
std::filesystem::path NextRunLog(const std::filesystem::path& folder,
                                 std::chrono::system_clock::time_point time, std::size_t kept,
                                 std::string* error);

}  // namespace pelvane::wizard
