#include "upload/run_operation.h"

#include <array>

#include "upload/operation_texts.h"

namespace pelvane::upload {

namespace {

// In the order of the enum.
constexpr std::array<OperationTexts, 5> kTexts = {{
    {"update", "UPLOAD FIRMWARE STARTED", "Upload Firmware", "Firmware Upload Process"},
    {"identify", "IDENTIFY INSTRUMENT STARTED", "Identify Instrument", "Identify Process"},
    {"backup", "BACKUP STARTED", "Back Up Instrument Memories", "Backup Process"},
    {"read", "READ MEMORY STARTED", "Read Instrument Memory", "Read Process"},
    {"verify-only", "VERIFY INSTRUMENT STARTED", "Verify Instrument", "Verify Process"},
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
