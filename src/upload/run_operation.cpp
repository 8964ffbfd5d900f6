#include "upload/run_operation.h"

#include <array>

#include "upload/operation_texts.h"

namespace pelvane::upload {

namespace {

// In the order of the enum.
constexpr std::array<OperationTexts, 5> kTexts = {{
    {"update", "UPLOAD FIRMWARE STARTED", "Upload Firmware", "Firmware Upload Process",
     "The Firmware Upload process failed."},
    {"identify", "IDENTIFY INSTRUMENT STARTED", "Identify Instrument", "Identify Process",
     "Identifying the instrument failed."},
    {"backup", "BACKUP STARTED", "Back Up Instrument Memories", "Backup Process",
     "Backing up the instrument's memories failed."},
    {"read", "READ MEMORY STARTED", "Read Instrument Memory", "Read Process",
     "Reading the instrument's memory failed."},
    {"verify-only", "VERIFY INSTRUMENT STARTED", "Verify Instrument", "Verify Process",
     "Verifying the instrument failed."},
}};

}  // namespace

const OperationTexts& TextsOf(RunOperation operation) {
  const auto index = static_cast<std::size_t>(operation);
  return kTexts[index < kTexts.size() ? index : 0];
}

std::string_view OperationName(RunOperation operation) {
  return TextsOf(operation).name;
}

}  // namespace pelvane::upload
