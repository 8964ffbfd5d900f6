#include "cli/run_summary.h"

#include <cmath>
#include <cstdio>

#include "upload/report_text.h"

namespace pelvane::cli {

namespace {

// "7.7 s (8.3 KiB/s)"
std::string TimeAndRate(double seconds, std::int64_t bytes) {
  char text[64];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  std::string line = text;
  if (bytes > 0 && seconds > 0) {
    const double rate = static_cast<double>(bytes) / seconds;
    if (rate >= 1024)
      std::snprintf(text, sizeof text, " (%.1f KiB/s)", rate / 1024);
    else
      std::snprintf(text, sizeof text, " (%.0f bytes/s)", rate);
    line += text;
  }
  return line;
}

}  // namespace

std::string SummaryLine(const CliOptions& options, const upload::RunStatistics& s,
                        std::size_t memories) {
  using upload::RunOperation;
  using upload::SizeText;
  const double t = s.durationSeconds;
  if (options.transferOnly) return "Started the transfer program in " + TimeAndRate(t, 0);
  switch (options.operation) {
    case RunOperation::Update: {
      std::string line =
          "Programmed " + SizeText(s.bytesProgrammed) + " in " + TimeAndRate(t, s.bytesProgrammed);
      if (s.bytesReadBack > 0) line += ", read back " + SizeText(s.bytesReadBack);
      if (s.verified) line += ", verified";
      return line;
    }
    case RunOperation::Identify:
      return "Identified " + std::to_string(memories) + (memories == 1 ? " memory" : " memories") +
             " in " + TimeAndRate(t, 0);
    case RunOperation::Backup:
    case RunOperation::Read:
      return "Read back " + SizeText(s.bytesReadBack) + " in " + TimeAndRate(t, s.bytesReadBack);
    case RunOperation::VerifyOnly:
      return "Compared " + SizeText(s.bytesVerified) + " in " + TimeAndRate(t, s.bytesVerified);
  }
  return {};
}

void AddStatistics(Json& object, const upload::RunStatistics& s) {
  // Milliseconds are as fine as the run's own clock is worth.
  object["durationSeconds"] = std::round(s.durationSeconds * 1000.0) / 1000.0;
  object["bytesProgrammed"] = s.bytesProgrammed;
  object["bytesReadBack"] = s.bytesReadBack;
  object["bytesVerified"] = s.bytesVerified;
  object["resends"] = s.resends;
}

}  // namespace pelvane::cli
