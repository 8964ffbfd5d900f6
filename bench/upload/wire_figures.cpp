#include "wire_figures.h"

#include <cstdlib>
#include <regex>

namespace pelvane::bench {

namespace {
std::optional<std::uint64_t> Number(const std::string& digits) {
  if (digits.empty() || digits.size() > 19) return std::nullopt;
  return std::strtoull(digits.c_str(), nullptr, 10);
}
}  // namespace

std::optional<LineBytes> ParseSimSummaryBytes(const std::string& summary) {
  static const std::regex line(R"((^|\n)bytes received: (\d+), sent: (\d+))");
  std::smatch m;
  if (!std::regex_search(summary, m, line)) return std::nullopt;
  const auto in = Number(m[2]);
  const auto out = Number(m[3]);
  if (!in || !out) return std::nullopt;
  return LineBytes{*in, *out};
}

std::optional<std::uint64_t> ParseSimSummaryViolations(const std::string& summary) {
  static const std::regex line(R"((^|\n)protocol violations: (\d+))");
  std::smatch m;
  if (!std::regex_search(summary, m, line)) return std::nullopt;
  return Number(m[2]);
}

double WireBoundSeconds(const LineBytes& bytes, long baud) {
  if (baud <= 0) return 0.0;
  return static_cast<double>(bytes.Total()) * kBitsPerByte / static_cast<double>(baud);
}

double RunFigures::Ratio() const {
  const double bound = WireBound();
  return bound > 0 ? host.wallSeconds / bound : 0.0;
}

double RunFigures::HostCpuShare() const {
  return host.wallSeconds > 0 ? host.cpuSeconds / host.wallSeconds : 0.0;
}

double RunFigures::ProgramBytesPerSecond() const {
  return host.wallSeconds > 0 ? static_cast<double>(programBytes) / host.wallSeconds : 0.0;
}

double RunFigures::HostCpuPerMiB() const {
  return programBytes > 0 ? host.cpuSeconds * 1048576.0 / static_cast<double>(programBytes) : 0.0;
}

}  // namespace pelvane::bench
