// The upload's action lines with the time each arrived. The list on the upload
// step is only shown with the advanced display, but the lines are always kept,
// so that a technician can save them from the finished step for the
// instrument's records.
#pragma once

#include <chrono>
#include <cstdint>
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

  // Writes Format() to `path` whole, replacing the file (the save dialog
  // asked). On failure returns false, leaves the file as it was and names
  // the cause in `error` ("Cannot write /x/y: Permission denied").
  bool Save(const std::string& path, std::string* error) const;

 private:
  std::vector<Entry> entries_;
};

// Every run of the wizard leaves its trace (core/trace.h) in a folder of
// logs, so that a failure can be diagnosed after the window is closed; the
// traces hold the instrument's calibration bytes, so only their owner may
// read them. The folder keeps the newest, at most this many, and together
// at most this many bytes (besides the run's own trace): one run with a large
// program, its read-back and a verify traces tens of megabytes.
inline constexpr std::size_t kRunLogsKept = 20;
inline constexpr std::uintmax_t kRunLogsBytes = 100 * 1024 * 1024;

// $XDG_STATE_HOME/pelvane/logs, or ~/.local/state/pelvane/logs; empty when
// neither variable names a folder.
std::filesystem::path RunLogFolder();

// A new file name in `folder` for a run starting at `time`
// ("run-20261209-142501.log"; "-2", "-3" ... when taken), after removing the
// oldest logs so that with the new one `kept` remain and the older ones hold
// no more than `keptBytes` together. The folder is created. Empty, with the
// reason in `error`, when the folder cannot be made.
std::filesystem::path NextRunLog(const std::filesystem::path& folder,
                                 std::chrono::system_clock::time_point time, std::size_t kept,
                                 std::uintmax_t keptBytes, std::string* error);

}  // namespace pelvane::wizard
