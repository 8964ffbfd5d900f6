// The upload's action lines with the time each arrived. The list on the upload
// step is only shown with the advanced display, but the lines are always kept,
// so that a technician can save them from the finished step for the
// instrument's records.
#pragma once

#include <chrono>
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

}  // namespace pelvane::wizard
