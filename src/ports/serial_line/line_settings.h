// Holders that save a line's settings when created and put them back when
// destroyed, so that whoever used the line before finds it as it was.
#pragma once

#include "ports/serial_line/serial_line.h"

namespace pelvane::ports::serial_line {

// Starts the line at 1200 baud, no parity, 8 data bits, 1 stop bit.
class LineSettings {
 public:
  static constexpr LineParameters kInitial{1200, 'N', 8, 1};

  explicit LineSettings(SerialLine& line);
  ~LineSettings();
  LineSettings(const LineSettings&) = delete;
  LineSettings& operator=(const LineSettings&) = delete;

  // Applies and remembers new parameters; a refused set changes nothing and
  // returns the line's code.
  int Set(const LineParameters& parameters);
  const LineParameters& Current() const { return current_; }
  const LineParameters& Saved() const { return saved_; }

 private:
  SerialLine& line_;
  LineParameters current_ = kInitial;
  LineParameters saved_ = kInitial;
  bool haveSaved_ = false;
};

class FlowSettings {
 public:
  explicit FlowSettings(SerialLine& line);
  ~FlowSettings();
  FlowSettings(const FlowSettings&) = delete;
  FlowSettings& operator=(const FlowSettings&) = delete;

 private:
  SerialLine& line_;
  int type_ = 0;
  int kind_ = 0;
};

}  // namespace pelvane::ports::serial_line
