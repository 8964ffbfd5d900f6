#include "ports/serial_line/serial_line.h"

#include <cctype>

namespace pelvane::ports::serial_line {

std::string DescribeParameters(const LineParameters& p) {
  std::string text = std::to_string(p.baud) + ",";
  if (p.parity == 0)
    text += "(none)";
  else
    text += std::isprint(static_cast<unsigned char>(p.parity)) ? p.parity : '?';
  return text + "," + std::to_string(p.dataBits) + "," + std::to_string(p.stopBits);
}

std::string ParameterFault(const LineParameters& p, int fewestDataBits) {
  if (std::string_view("NOEMS").find(p.parity) == std::string_view::npos)
    return "unknown parity letter";
  if (p.dataBits < fewestDataBits || p.dataBits > 8)
    return "data bits not " + std::to_string(fewestDataBits) + " to 8";
  if (p.stopBits != 1 && p.stopBits != 2) return "stop bits not 1 or 2";
  if (p.baud <= 0) return "baud rate not above 0";
  return {};
}

std::string DescribeAdapter(const AdapterFacts& facts) {
  std::string text;
  const auto add = [&text](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
  if (!facts.driver.empty()) add("driver " + facts.driver);
  switch (facts.lowLatency) {
    case LowLatency::kKept:
      add("low latency kept");
      break;
    case LowLatency::kRefused:
      add("low latency refused");
      break;
    case LowLatency::kIgnored:
      add("low latency ignored");
      break;
    case LowLatency::kUnknown:
      break;
  }
  if (facts.latencyTimerMs >= 0)
    add("latency timer " + std::to_string(facts.latencyTimerMs) + " ms");
  return text;
}

SystemProblem RefusedParameters(std::string_view device, const LineParameters& parameters,
                                std::string_view why) {
  return {ProblemKind::kRejected,
          std::string(device) + ": line parameters " + DescribeParameters(parameters) +
              " refused: " + std::string(why),
          std::string(kRefusedParametersHint)};
}

}  // namespace pelvane::ports::serial_line
