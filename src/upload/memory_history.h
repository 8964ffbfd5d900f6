// The manufacturer and device codes that identify runs saw, kept per package
// in a small file of the user's, so that a later run can say when a unit
// shows other codes (another flash chip, a board of another revision) than
// an earlier unit that ran the same package.
#pragma once

#include <string>
#include <vector>

#include "upload/qn_upload_process.h"

namespace pelvane::upload {

// $XDG_STATE_HOME/pelvane/memory-codes.txt (~/.local/state/... without it) on
// Linux, %LOCALAPPDATA%\Pelvane\memory-codes.txt on Windows; empty when the
// system names no such place.
std::string DefaultMemoryHistoryFile();

class MemoryHistory {
 public:
  // `file` empty: nothing is compared or kept.
  explicit MemoryHistory(std::string file) : file_(std::move(file)) {}

  // One line for each memory whose codes differ from those an earlier run of
  // the package (by its SHA-256) saw; then `seen` replaces them, with the
  // port and time of this run. A file that cannot be read or written costs
  // only the comparison.
  std::vector<std::string> CompareAndRemember(const std::string& packageSha256,
                                              const std::vector<MemoryCodes>& seen,
                                              const std::string& port, const std::string& when);

 private:
  std::string file_;
};

}  // namespace pelvane::upload
