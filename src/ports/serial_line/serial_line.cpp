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

SystemProblem RefusedParameters(std::string_view device, const LineParameters& parameters,
                                std::string_view why) {
  return {ProblemKind::kRejected,
          std::string(device) + ": line parameters " + DescribeParameters(parameters) +
              " refused: " + std::string(why),
          std::string(kRefusedParametersHint)};
}

}  // namespace pelvane::ports::serial_line
