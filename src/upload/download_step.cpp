// The read-back step: each download range of the instrument's flash into its
// file on the computer, before anything is erased.
#include <algorithm>

#include "core/sha256.h"
#include "package/qn_error.h"
#include "upload/read_back_file.h"
#include "upload/report_text.h"
#include "upload/upload_engine.h"

namespace pelvane::upload {

bool UploadEngine::DownloadFlashMemories() {
  report_.SetReverse(true);
  bool result = true;
  report_.Action("Download Flash Memories Started");
  bool stopped = false;
  readBack_.assign(plan_.downloads.size(), {});
  for (std::size_t i = 0; i < plan_.downloads.size(); ++i) {
    const DownloadEnd end = DownloadOne(plan_.downloads[i], &readBack_[i]);
    if (end == DownloadEnd::Failed) {
      result = false;
      stopped = true;
      break;
    }
    if (end == DownloadEnd::Cancelled) {
      result = false;
      break;
    }
  }
  report_.SetReverse(false);
  if (!stopped) report_.Action("Download Flash Memories Completed");
  return result;
}

UploadEngine::DownloadEnd UploadEngine::DownloadOne(const PlanDownload& download,
                                                    std::vector<std::uint8_t>* data) {
  const std::string text = "Read File = " + download.filename;
  report_.Action(text);
  if (!download.packageName.empty())
    report_.Action("The package names " + download.packageName + ": written as " +
                   download.filename + " inside the output folder");
  report_.StepProgress(text, 0);
  const auto fail = [&](std::int32_t code, const std::string& detail, FailureCause cause) {
    outcome_.Fail(code, detail, cause);
    report_.Action("Read ERROR");
    return DownloadEnd::Failed;
  };
  // The bytes stay in memory until the whole range has been read: a failed
  // or cancelled read leaves no partial file and an existing one untouched.
  const DownloadEnd end = ReadRange(download.startAddress, download.length, text, data);
  if (end == DownloadEnd::Failed) report_.Action("Read ERROR");
  if (end != DownloadEnd::Done) return end;
  // Whether an existing file may be replaced was asked when the package was checked.
  ReadBackWrite written = WriteReadBackFile(download.filename, *data, download.replace);
  if (!written.ok)
    return fail(package::kErrUploadEntryInvalid, written.error, FailureCause::FileNotWritten);
  const auto bytes = static_cast<std::int64_t>(data->size());
  // The digest of the bytes as written, not of what the file holds later.
  core::Sha256 digest;
  digest.Update(*data);
  const std::string sha256 = digest.FinishHex();
  if (!written.keptExisting && written.written != download.filename)
    report_.Action("Read File = " + download.filename +
                   ": a file of that name appeared during the run and is kept, the read is in " +
                   written.written);
  statistics_.bytesReadBack += bytes;
  if (written.keptExisting) {
    report_.Action("Read File = " + download.filename +
                   " read only erased bytes (FF): the existing file is kept, the read is in " +
                   written.written);
    // Writing back what was read restores the kept backup, not erased flash.
    if (written.kept.size() == data->size()) *data = std::move(written.kept);
  }
  report_.DownloadWritten(written.written, bytes, sha256);
  return DownloadEnd::Done;
}

UploadEngine::DownloadEnd UploadEngine::ReadRange(std::int32_t start, std::int64_t size,
                                                  const std::string& text,
                                                  std::vector<std::uint8_t>* data,
                                                  std::int32_t piece) {
  const auto fail = [&](std::int32_t code, const std::string& detail, FailureCause cause) {
    outcome_.Fail(code, detail, cause);
    return DownloadEnd::Failed;
  };
  const auto readFailed = [&](std::int16_t appError) {
    return fail(package::kErrCommunication,
                std::to_string(appError) + " " + core::Trim(wait_.AppErrorText()),
                FailureCause::InstrumentError);
  };
  data->clear();
  std::int64_t position = 0;
  std::int32_t lastPercent = 0;
  std::int32_t maxBlock = std::min(plan_.maxProgLen, kMaxReadFrameBlock);
  if (piece > 0) maxBlock = std::min(maxBlock, piece);
  do {
    std::int64_t count = std::min<std::int64_t>(maxBlock, size - position);
    if (count > 0) {
      const auto asked = static_cast<std::uint32_t>(start + position);
      bool sent = false;
      if (!wait_.Exchange(app::HLESEDATEN, [&](app::IQX_App& a) {
            // A read sent again after its answer was lost asks for a short
            // piece: on a noisy line a long answer is damaged again as often
            // as not, a short one seldom.
            if (sent) count = std::min<std::int64_t>(count, kBlockCheckPiece);
            sent = true;
            return a.ReadData(static_cast<std::uint8_t>(plan_.architecture), asked,
                              static_cast<std::uint32_t>(count));
          }))
        return DownloadEnd::Failed;
      std::uint32_t length = 0;
      wait_.Guarded([&](app::IQX_App& a) { return a.GetReadDataLength(&length); });
      if (const std::int16_t appError = wait_.AppLastError(); appError != 0)
        return readFailed(appError);
      // An answer longer than asked, or for another address, is some other
      // read's data: written into the file it would corrupt the backup.
      std::uint32_t answered = 0;
      wait_.Guarded([&](app::IQX_App& a) { return a.GetReadDataAddress(&answered); });
      if (length > static_cast<std::uint64_t>(count) || length > blockBuffer_.size())
        return fail(package::kErrReadData,
                    " - H" + HexText(length) + " bytes in the answer to a read of H" +
                        HexText(count) + " at H" + HexText(asked),
                    FailureCause::InstrumentError);
      if (answered != asked)
        return fail(
            package::kErrReadData,
            " - the answer to a read at H" + HexText(asked) + " names H" + HexText(answered),
            FailureCause::InstrumentError);
      // The position moves only by what an answer delivers, so an empty answer
      // would repeat the same request for ever (each answer arrives, so the
      // idle time-out never ends it). The transfer program answers with the
      // bytes it has read; one that reads nothing at an address will read
      // nothing there again, so the first empty answer fails the step rather
      // than after a count of retries that could not change the outcome.
      if (length == 0)
        return fail(package::kErrReadData, " - no data at address H" + HexText(asked),
                    FailureCause::InstrumentError);
      wait_.Guarded([&](app::IQX_App& a) { return a.GetReadData(blockBuffer_.data()); });
      if (const std::int16_t appError = wait_.AppLastError(); appError != 0)
        return readFailed(appError);
      data->insert(data->end(), blockBuffer_.begin(), blockBuffer_.begin() + length);
      report_.StepBytes(length);
      report_.Done(line_.ExchangeSeconds(
          MessageSize::kRead, MessageSize::kReadAnswerHeader + static_cast<int>(length)));
      position += length;
    }
    report_.Tick();
    if (!text.empty()) report_.StepShare(text, position, size, &lastPercent);
  } while (position < size && !wait_.StopRequested());
  return wait_.StopRequested() ? DownloadEnd::Cancelled : DownloadEnd::Done;
}

}  // namespace pelvane::upload
