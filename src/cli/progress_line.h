// Where the whole run is, for the person at the bench and for the log read
// afterwards: one line with the overall percentage, the current step and
// file, the step's bytes per second and the time left.
//
// On a terminal the line is redrawn in place, at most ten times a second,
// and without escape sequences where the terminal cannot take them
// (TERM=dumb, NO_COLOR). Into a log (standard output that is no terminal)
// it goes as a plain line at every tenth of the run or every 10 seconds, so
// that a long run is not silent there.
#pragma once

#include <chrono>
#include <functional>
#include <iosfwd>
#include <string>

#include "upload/qn_upload_process.h"

namespace pelvane::cli {

class ProgressLine {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  struct Outputs {
    std::ostream* terminal = nullptr;  // redrawn in place; null: none
    bool escapes = true;               // the terminal takes "\033[K"
    std::ostream* log = nullptr;       // plain lines; null: none
  };

  explicit ProgressLine(
      Outputs outputs, Clock clock = [] { return std::chrono::steady_clock::now(); });

  void Update(const upload::RunProgress& progress);
  // Takes the line off the terminal before other text goes there.
  void Clear();

  // "45% Program File = MAIN.BIN, 8.3 KiB/s, 0:12 left"
  static std::string Text(const upload::RunProgress& progress);

 private:
  Outputs outputs_;
  Clock clock_;
  bool shown_ = false;
  std::size_t shownWidth_ = 0;
  std::chrono::steady_clock::time_point lastDrawn_{};
  std::chrono::steady_clock::time_point lastLogged_{};
  int loggedTenths_ = 0;
  bool logStarted_ = false;
};

}  // namespace pelvane::cli
