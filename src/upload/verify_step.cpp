// Verify-only: whether the instrument holds the package, without changing
// anything in it. Each program's range is read back and compared byte for
// byte; an instrument whose transfer program does not read offers the 8-bit
// checksum, which is compared instead.
#include <algorithm>

#include "package/qn_error.h"
#include "upload/report_text.h"
#include "upload/upload_engine.h"

namespace pelvane::upload {

bool UploadEngine::VerifyFlashMemories() {
  report_.Action("Verify Flash Memories Started");
  // The first difference of every program, so that one run tells all.
  std::string differences;
  for (std::size_t i = 0; i < plan_.programs.size(); ++i) {
    const PlanProgram& program = plan_.programs[i];
    // Its bytes are the instrument's own, read back by an update: the
    // package holds nothing to compare them with.
    if (program.readBack >= 0) {
      report_.Action("Verify File = " + program.filename +
                     " skipped: an update writes back what it read from the instrument");
      continue;
    }
    const std::string text = "Verify File = " + program.filename;
    report_.Action(text);
    report_.StepProgress(text, 0);
    std::int64_t at = -1;
    std::span<const std::uint8_t> data;
    if (programData_[i]) data = *programData_[i];
    switch (CompareWithInstrument(program, data, &at)) {
      case Compared::Failed:
        report_.Action("Verify ERROR");
        report_.ProgramReadBack({program.filename, false, -1});
        return false;
      case Compared::Differs:
        report_.Action(at >= 0 ? "Verify ERROR at H" + HexText(at)
                               : "Verify ERROR, the checksum differs");
        report_.ProgramReadBack({program.filename, false, at});
        differences += (differences.empty() ? "" : ", ") +
                       (at >= 0 ? "H" + HexText(at) : std::string("its checksum")) + " (" +
                       program.filename + ")";
        break;
      case Compared::Same:
        report_.Action("Verify OK");
        report_.ProgramReadBack({program.filename, true, -1});
        break;
    }
  }
  report_.Action("Verify Flash Memories Completed");
  if (!differences.empty()) {
    outcome_.Fail(package::kErrVerify, " at " + differences, FailureCause::VerifyMismatch);
    return false;
  }
  statistics_.verified = true;
  return true;
}

UploadEngine::Compared UploadEngine::CompareWithInstrument(const PlanProgram& program,
                                                           std::span<const std::uint8_t> data,
                                                           std::int64_t* differsAt) {
  const auto size = static_cast<std::int64_t>(data.size());
  std::vector<std::uint8_t> read;
  const DownloadEnd end =
      ReadRange(program.loadAddress, size, "Verify File = " + program.filename, &read);
  statistics_.bytesVerified += static_cast<std::int64_t>(read.size());
  if (end == DownloadEnd::Done) {
    const auto differs = std::mismatch(data.begin(), data.end(), read.begin(), read.end());
    if (differs.first == data.end()) return Compared::Same;
    *differsAt = program.loadAddress + (differs.first - data.begin());
    return Compared::Differs;
  }
  // The instrument's error report on the very first read: its transfer
  // program does not read back, and the checksum is all it offers.
  if (end != DownloadEnd::Failed || !read.empty() ||
      outcome_.Error().GetLastError() != package::kErrGeneral)
    return Compared::Failed;
  outcome_.Clear();
  report_.Action("The instrument does not read back: only the 8-bit checksum is compared");
  std::uint32_t byteSum = 0;
  for (const std::uint8_t byte : data) byteSum += byte;
  wait_.ClearChecksum();
  const bool answered = wait_.Exchange(app::HCHECKSUM, [&](app::IQX_App& a) {
    return a.Checksum(static_cast<std::uint8_t>(plan_.architecture),
                      static_cast<std::uint32_t>(program.loadAddress),
                      static_cast<std::uint32_t>(size));
  });
  if (!answered || !wait_.ChecksumDelivered()) {
    if (answered)
      outcome_.Fail(package::kErrCommunication, "checksum not delivered",
                    FailureCause::InstrumentError);
    report_.Action("Error getting Checksum");
    return Compared::Failed;
  }
  const std::uint32_t host = byteSum & 0xFF;
  const std::uint32_t target = wait_.TargetChecksum();
  report_.Action("Checksum, Target = H" + HexText(target) + " Host = H" + HexText(host));
  return target == host ? Compared::Same : Compared::Differs;
}

}  // namespace pelvane::upload
