#include "upload/read_back_file.h"

#include <algorithm>

#include "core/files.h"

namespace pelvane::upload {

namespace {

// An existing file larger than any read-back is not read to compare: it is
// kept, as a file holding other data would be.
constexpr std::size_t kLargestComparedFile = std::size_t{1} << 30;

bool AllErased(std::span<const std::uint8_t> data) {
  return std::all_of(data.begin(), data.end(), [](std::uint8_t b) { return b == 0xFF; });
}

}  // namespace

std::string ErasedReadName(const std::string& target) {
  return target + ".erased";
}

ReadBackWrite WriteReadBackFile(const std::string& target, std::span<const std::uint8_t> data) {
  ReadBackWrite result;
  std::string destination = target;
  // A retry after a run that erased the flash and then failed reads 0xFF
  // where the calibration was: the backup of the first run is the only copy.
  if (AllErased(data) && !data.empty()) {
    std::vector<std::uint8_t> old;
    const core::ReadOutcome outcome = core::ReadWholeFile(target, kLargestComparedFile, &old);
    if ((outcome == core::ReadOutcome::kRead && !AllErased(old)) ||
        outcome == core::ReadOutcome::kTooLarge) {
      result.keptExisting = true;
      result.kept = std::move(old);
      destination = ErasedReadName(target);
    }
  }
  // The user agreed to replace the file before anything was sent.
  const core::WholeWrite written =
      core::WriteWholeFile(destination, data, core::Overwrite::kAgreed);
  if (!written.ok) {
    result.error = " " + written.error;
    return result;
  }
  result.ok = true;
  result.written = written.written;
  return result;
}

}  // namespace pelvane::upload
