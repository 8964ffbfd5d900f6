// What a run moved and how long it took, as the line a technician reads at
// the end ("Programmed 64 KiB in 7.7 s (8.3 KiB/s), read back 1000 bytes,
// verified") and as the fields of the JSON result and the report.
#pragma once

#include <string>

#include "cli/cli_options.h"
#include "cli/json_text.h"
#include "upload/qn_upload_process.h"

namespace pelvane::cli {

std::string SummaryLine(const CliOptions& options, const upload::RunStatistics& statistics,
                        std::size_t memories);

// durationSeconds, bytesProgrammed, bytesReadBack, bytesVerified, resends.
void AddStatistics(Json& object, const upload::RunStatistics& statistics);

}  // namespace pelvane::cli
