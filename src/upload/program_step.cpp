// The program step: each program file in blocks, then the instrument's
// checksum of what it holds against the host's.
#include <algorithm>
#include <climits>
#include <vector>

#include "package/qn_error.h"
#include "upload/report_text.h"
#include "upload/upload_engine.h"

namespace pelvane::upload {

bool UploadEngine::ProgramFlashMemories() {
  bool result = true;
  report_.Action("Program Flash Memories Started");
  for (std::size_t i = 0; i < plan_.programs.size(); ++i) {
    const PlanProgram& program = plan_.programs[i];
    // A read-back of this run is written back as it was read.
    const auto readBack = static_cast<std::size_t>(program.readBack);
    std::span<const std::uint8_t> data;
    if (program.readBack >= 0 && readBack < readBack_.size())
      data = readBack_[readBack];
    else if (programData_[i])
      data = *programData_[i];
    const ProgramEnd end = ProgramOne(program, data);
    if (end == ProgramEnd::Failed) return false;
    if (end == ProgramEnd::Stopped) {
      result = false;
      break;
    }
  }
  report_.Action("Program Flash Memories Completed");
  return result;
}

UploadEngine::ProgramEnd UploadEngine::ProgramOne(const PlanProgram& program,
                                                  std::span<const std::uint8_t> data) {
  const std::string text = "Program File = " + program.filename;
  report_.Action(text);
  report_.StepProgress(text, 0);
  if (!SwitchVoltage(true)) return ProgramEnd::Failed;
  // The range of the bytes that go out, whatever the package said at load.
  const auto end = static_cast<std::int32_t>(std::min<std::int64_t>(
      std::int64_t{program.loadAddress} + static_cast<std::int64_t>(data.size()), INT32_MAX));
  const PlanMemory* memory = MemoryHolding(program.loadAddress, end);
  if (memory == nullptr) {
    outcome_.Fail(package::kErrFlashRange,
                  RangeText("program " + program.filename, program.loadAddress, end),
                  FailureCause::RangeOutsideMemory);
    report_.Action("Program Configuration ERROR");
    return ProgramEnd::Stopped;
  }
  const auto size = static_cast<std::int64_t>(data.size());
  std::int64_t position = 0;
  std::uint32_t byteSum = 0;
  std::int32_t blockCount = 0;
  std::int32_t lastPercent = 0;
  const auto maxBlock = static_cast<std::size_t>(std::max(plan_.maxProgLen, 0));
  do {
    blockCount += 1;
    const auto count = static_cast<std::size_t>(std::min<std::int64_t>(maxBlock, size - position));
    std::copy_n(data.begin() + position, count, blockBuffer_.begin());
    for (std::size_t i = 0; i < count; ++i) byteSum += blockBuffer_[i];
    if (count > 0 && !ProgramBlock(static_cast<std::uint32_t>(program.loadAddress + position),
                                   {blockBuffer_.data(), count},
                                   static_cast<std::uint8_t>(memory->flashnameIndex))) {
      report_.Action("Prog ERROR");
      return ProgramEnd::Failed;
    }
    position += static_cast<std::int64_t>(count);
    statistics_.bytesProgrammed += static_cast<std::int64_t>(count);
    report_.StepBytes(static_cast<std::int64_t>(count));
    report_.Done(line_.ExchangeSeconds(MessageSize::kProgHeader + static_cast<int>(count),
                                       MessageSize::kProgAnswer));
    report_.Tick();
    report_.StepShare(text, position, size, &lastPercent);
  } while (position < size && !wait_.StopRequested());

  if (!SwitchVoltage(false)) return ProgramEnd::Failed;
  if (wait_.StopRequested()) return ProgramEnd::Stopped;

  if (!ChecksumMatches(program, size, byteSum & 0xFF, blockCount)) return ProgramEnd::Failed;
  if (verify_ && !Verify(program, data)) return ProgramEnd::Failed;
  return ProgramEnd::Done;
}

bool UploadEngine::ChecksumMatches(const PlanProgram& program, std::int64_t size,
                                   std::uint32_t host, std::int32_t blockCount) {
  report_.Action("Checksum( H" + std::to_string(plan_.architecture) + " , H" +
                 HexText(program.loadAddress) + " , H" + HexText(size) + " )");
  // The value of an earlier file must never be compared with this one's.
  wait_.ClearChecksum();
  const bool answered = wait_.Exchange(app::HCHECKSUM, [&](app::IQX_App& a) {
    return a.Checksum(static_cast<std::uint8_t>(plan_.architecture),
                      static_cast<std::uint32_t>(program.loadAddress),
                      static_cast<std::uint32_t>(size));
  });
  // An HERROR that reports no error ends the wait without a checksum.
  if (answered && !wait_.ChecksumDelivered())
    outcome_.Fail(package::kErrCommunication, "checksum not delivered",
                  FailureCause::InstrumentError);
  if (!answered || !wait_.ChecksumDelivered()) {
    report_.Action("Error getting Checksum");
    return false;
  }
  report_.Done(line_.ExchangeSeconds(MessageSize::kChecksum, MessageSize::kChecksumAnswer));
  const std::uint32_t target = wait_.TargetChecksum();
  report_.Action("Checksum, Target = H" + HexText(target));
  report_.ProgramVerified({program.filename, blockCount, host, target});
  if (target != host) {
    outcome_.Fail(package::kErrChecksum,
                  ", Target = H" + HexText(target) + " Host = H" + HexText(host) + " (" +
                      program.filename + ")",
                  FailureCause::ChecksumMismatch);
    report_.Action("Checksum Error,  Target = H" + HexText(target) + " Host = H" + HexText(host));
    return false;
  }
  report_.Action("Checksum Matches, Host = H" + HexText(host));
  report_.Action("Block Count = " + std::to_string(blockCount));
  return true;
}

bool UploadEngine::ProgramBlock(std::uint32_t address, std::span<const std::uint8_t> data,
                                std::uint8_t flashType) {
  // Its own copy: reading the range back fills the block buffer.
  const std::vector<std::uint8_t> block(data.begin(), data.end());
  const auto prog = [&](app::IQX_App& a) {
    return a.Prog(address, static_cast<std::int16_t>(block.size()),
                  static_cast<std::uint8_t>(plan_.architecture), flashType, block.data());
  };
  const std::string at = "the block at H" + HexText(address);
  flashChanged_ = true;
  for (int sent = 1;; ++sent) {
    switch (wait_.Ask(app::HPROGDATEN, prog)) {
      case AnswerWait::Reply::kAnswered:
        return true;
      case AnswerWait::Reply::kFailed:
        return false;
      case AnswerWait::Reply::kLost:
        break;
    }
    // Whether the instrument programmed the block, only its flash can say.
    report_.Action("Prog: " + wait_.LostReason() + ", reading " + at + " back");
    std::vector<std::uint8_t> read;
    if (ReadRange(static_cast<std::int32_t>(address), static_cast<std::int64_t>(block.size()), "",
                  &read, kBlockCheckPiece) != DownloadEnd::Done)
      return false;
    if (std::equal(block.begin(), block.end(), read.begin(), read.end())) {
      report_.Action("Prog: " + at + " reads back as sent");
      return true;
    }
    const bool erased =
        std::all_of(read.begin(), read.end(), [](std::uint8_t b) { return b == 0xFF; });
    if (erased && sent == 1) {
      wait_.NoteResend("Prog", at + " reads back erased", 1, 1);
      continue;
    }
    const auto differs = std::mismatch(block.begin(), block.end(), read.begin(), read.end());
    const std::int64_t failed = std::int64_t{address} + (differs.first - block.begin());
    report_.Action(
        "Prog: " + at +
        (erased ? " still reads back erased" : " reads back neither as sent nor erased"));
    outcome_.Fail(package::kErrProgramming, HexText(failed), FailureCause::AnswerCorrupted);
    return false;
  }
}

bool UploadEngine::Verify(const PlanProgram& program, std::span<const std::uint8_t> data) {
  // An 8-bit sum passes two bytes changed in opposite directions; only the
  // bytes themselves show them.
  const std::string text = "Verify File = " + program.filename;
  report_.StepProgress(text, 0);
  std::vector<std::uint8_t> read;
  const DownloadEnd end =
      ReadRange(program.loadAddress, static_cast<std::int64_t>(data.size()), text, &read);
  statistics_.bytesVerified += static_cast<std::int64_t>(read.size());
  if (end != DownloadEnd::Done) {
    report_.Action("Verify ERROR");
    report_.ProgramReadBack({program.filename, false, -1});
    return false;
  }
  const auto differs = std::mismatch(data.begin(), data.end(), read.begin(), read.end());
  if (differs.first != data.end()) {
    const std::int64_t at = program.loadAddress + (differs.first - data.begin());
    report_.Action("Verify ERROR at H" + HexText(at));
    report_.ProgramReadBack({program.filename, false, at});
    outcome_.Fail(package::kErrVerify, " at H" + HexText(at) + " (" + program.filename + ")",
                  FailureCause::VerifyMismatch);
    return false;
  }
  report_.Action("Verify OK");
  report_.ProgramReadBack({program.filename, true, -1});
  statistics_.verified = true;
  return true;
}

}  // namespace pelvane::upload
