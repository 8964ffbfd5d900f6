#include "upload/read_back_file.h"

#include <algorithm>

#include "core/files.h"

namespace pelvane::upload {

namespace {

bool AllErased(std::span<const std::uint8_t> data) {
  return std::all_of(data.begin(), data.end(), [](std::uint8_t b) { return b == 0xFF; });
}

}  // namespace

std::string ErasedReadName(const std::string& target) {
  return target + ".erased";
}

ReadBackWrite WriteReadBackFile(const std::string& target, std::span<const std::uint8_t> data,
                                bool replace) {
  ReadBackWrite result;
  std::string destination = target;
  core::Overwrite overwrite = replace ? core::Overwrite::kAgreed : core::Overwrite::kNever;
  // A retry after a run that erased the flash and then failed reads 0xFF
  // where the calibration was: the backup of the first run is the only copy.
  if (AllErased(data) && !data.empty()) {
    // A file larger than the read is not read to compare (nor held): it is
    // kept, as a file holding other data would be.
    std::vector<std::uint8_t> old;
    const core::ReadOutcome outcome = core::ReadWholeFile(target, data.size(), &old);
    if ((outcome == core::ReadOutcome::kRead && !AllErased(old)) ||
        outcome == core::ReadOutcome::kTooLarge) {
      result.keptExisting = true;
      result.kept = std::move(old);
      destination = ErasedReadName(target);
      overwrite = core::Overwrite::kNever;
    }
  }
  const core::WholeWrite written = core::WriteWholeFile(destination, data, overwrite);
  if (!written.ok) {
    result.error = " " + written.error;
    return result;
  }
  result.ok = true;
  result.written = written.written;
  return result;
}

}  // namespace pelvane::upload
