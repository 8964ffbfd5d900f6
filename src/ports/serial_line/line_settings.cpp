#include "ports/serial_line/line_settings.h"

#include "ports/serial_line/line_errors.h"

namespace pelvane::ports::serial_line {

LineSettings::LineSettings(SerialLine& line) : line_(line) {
  haveSaved_ = line_.GetLineParameters(&saved_) == kLineOk;
  line_.SetLineParameters(current_);
}

LineSettings::~LineSettings() {
  if (haveSaved_) line_.SetLineParameters(saved_);
}

int LineSettings::Set(const LineParameters& parameters) {
  const int code = line_.SetLineParameters(parameters);
  if (code == kLineOk) current_ = parameters;
  return code;
}

FlowSettings::FlowSettings(SerialLine& line) : line_(line) {
  line_.GetFlowControl(&type_, &kind_);
}

FlowSettings::~FlowSettings() {
  line_.SetFlowControl(type_, kind_);
}

}  // namespace pelvane::ports::serial_line
