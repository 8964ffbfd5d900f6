// The read-back step: each download range of the instrument's flash into its
// file on the computer, before anything is erased.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "package/qn_error.h"
#include "upload/report_text.h"
#include "upload/upload_engine.h"

namespace pelvane::upload {

bool UploadEngine::DownloadFlashMemories() {
  report_.SetReverse(true);
  bool result = true;
  report_.Action("Download Flash Memories Started");
  bool stopped = false;
  for (const PlanDownload& download : plan_.downloads) {
    const DownloadEnd end = DownloadOne(download);
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

UploadEngine::DownloadEnd UploadEngine::DownloadOne(const PlanDownload& download) {
  const std::string text = "Read File = " + download.filename;
  report_.Action(text);
  report_.StepProgress(text, 0);
  const auto fail = [&](std::int32_t code, const std::string& detail, FailureCause cause) {
    outcome_.Fail(code, detail, cause);
    report_.Action("Read ERROR");
    return DownloadEnd::Failed;
  };
  const auto fileFailed = [&] {
    return fail(package::kErrUploadEntryInvalid,
                " " + std::string(std::strerror(errno)) + " " + download.filename,
                FailureCause::FileNotWritten);
  };
  const auto readFailed = [&](std::int16_t appError) {
    return fail(package::kErrCommunication,
                std::to_string(appError) + " " + Trim(wait_.AppErrorText()),
                FailureCause::InstrumentError);
  };
  // The user agreed to replace an existing file when the package was checked;
  // a longer old file must not keep its tail behind the new bytes.
  std::ofstream file(download.filename, std::ios::binary | std::ios::trunc);
  if (!file) return fileFailed();
  const std::int64_t size = download.length;
  std::int64_t position = 0;
  std::int32_t lastPercent = 0;
  const std::int32_t maxBlock = std::min(plan_.maxProgLen, kMaxReadFrameBlock);
  do {
    const std::int64_t count = std::min<std::int64_t>(maxBlock, size - position);
    if (count > 0) {
      if (!wait_.Exchange(app::HLESEDATEN, [&](app::IQX_App& a) {
            return a.ReadData(static_cast<std::uint8_t>(plan_.architecture),
                              static_cast<std::uint32_t>(download.startAddress + position),
                              static_cast<std::uint32_t>(count));
          })) {
        report_.Action("Read ERROR");
        return DownloadEnd::Failed;
      }
      std::uint32_t length = 0;
      wait_.Guarded([&](app::IQX_App& a) { return a.GetReadDataLength(&length); });
      if (const std::int16_t appError = wait_.AppLastError(); appError != 0)
        return readFailed(appError);
      // The application layer sizes its answer from one byte; anything beyond
      // the block buffer would be a broken answer, not data.
      if (length > blockBuffer_.size())
        return fail(package::kErrReadData, HexText(length), FailureCause::InstrumentError);
      // The position moves only by what an answer delivers, so an empty answer
      // would repeat the same request for ever (each answer arrives, so the
      // idle time-out never ends it). The transfer program answers with the
      // bytes it has read; one that reads nothing at an address will read
      // nothing there again, so the first empty answer fails the step rather
      // than after a count of retries that could not change the outcome.
      if (length == 0)
        return fail(package::kErrReadData,
                    " - no data at address H" + HexText(download.startAddress + position),
                    FailureCause::InstrumentError);
      wait_.Guarded([&](app::IQX_App& a) { return a.GetReadData(blockBuffer_.data()); });
      if (const std::int16_t appError = wait_.AppLastError(); appError != 0)
        return readFailed(appError);
      file.write(reinterpret_cast<const char*>(blockBuffer_.data()),
                 static_cast<std::streamsize>(length));
      if (!file) return fileFailed();
      report_.Advance(1);
      position += length;
    }
    report_.Tick();
    report_.StepShare(text, position, size, &lastPercent);
  } while (position < size && !wait_.StopRequested());
  file.close();
  if (!file) return fileFailed();
  if (wait_.StopRequested()) return DownloadEnd::Cancelled;
  report_.DownloadWritten(download.filename, position);
  return DownloadEnd::Done;
}

}  // namespace pelvane::upload
