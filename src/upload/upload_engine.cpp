#include "upload/upload_engine.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>

#include "core/class_ids.h"
#include "core/message_loop.h"
#include "package/qn_error.h"
#include "upload/report_text.h"

namespace pelvane::upload {

UploadEngine::UploadEngine(const QN_UploadProcess::AppRegistry& apps) : apps_(apps) {}

UploadEngine::~UploadEngine() {
  ReleaseFlashUp();
}

std::string UploadEngine::GetLastErrorString() const {
  return package::ErrorResourceText(errorCode_) + errorString_;
}

void UploadEngine::Fail(std::int32_t code, const std::string& text, FailureCause cause) {
  errorCode_ = code;
  errorString_ = text;
  cause_ = cause;
}

// ---------------------------------------------------------------- reporting

void UploadEngine::ReportAction(const std::string& text) {
  if (WizardMode()) {
    view_->AddStepLine(text);
    return;
  }
  listeners_.Raise([&](QN_UploadProcessEvents& l) {
    std::string copy = text;
    l.ActionUpdate(copy);
  });
}

void UploadEngine::AppendStatus(const std::string& text) {
  if (WizardMode()) {
    view_->AppendStepStatus(text);
    return;
  }
  listeners_.Raise([&](QN_UploadProcessEvents& l) {
    std::string copy = text;
    l.ActionUpdate(copy);
  });
}

void UploadEngine::ReportProgress(const std::string& text, std::int16_t percent) {
  if (WizardMode()) {
    view_->SetActionText(text);
    view_->SetStepProgress(std::clamp<int>(percent, 0, 100));
    return;
  }
  listeners_.Raise([&](QN_UploadProcessEvents& l) {
    std::string copy = text;
    std::int16_t value = percent;
    l.ProgressUpdate(copy, value);
  });
}

void UploadEngine::UpdateEntireProgress(std::int32_t value) {
  if (!WizardMode()) return;
  if (value < 0 || value > progressCounter_) return;
  // Redrawing costs more than the run gains from it: only when the counter has
  // grown by a hundredth of itself.
  if (static_cast<double>(value) <
      static_cast<double>(progressCounter_) / 100.0 + static_cast<double>(lastDrawnProgress_))
    return;
  view_->SetEntireProgress(value, plan_.progressWeight);
  lastDrawnProgress_ = value;
}

void UploadEngine::AnimateTransfer() {
  if (!WizardMode()) return;
  view_->ShowAnimationFrame(animationFrame_);
  if (reverseAnimation_)
    animationFrame_ = animationFrame_ == 0 ? kAnimationFrames - 1 : animationFrame_ - 1;
  else
    animationFrame_ = (animationFrame_ + 1) % kAnimationFrames;
}

void UploadEngine::ReportConfiguration(const std::string& piece, bool first) {
  if (WizardMode()) {
    if (first) view_->ClearConfirmation();
    view_->AppendConfirmation(piece);
    return;
  }
  listeners_.Raise([&](QN_UploadProcessEvents& l) {
    std::string copy = piece;
    l.ActionUpdate(copy);
  });
}

// ---------------------------------------------------------------- control

void UploadEngine::Cancel() {
  if (WizardMode())
    view_->SetStepCaption4("Firmware Upload Cancelled");
  else
    ReportAction("Upload Cancel Received");
  cancelRequested_ = true;
  Fail(package::kErrCancelled, "", FailureCause::Cancelled);
}

bool UploadEngine::ValidateConfiguration(UploadPackage& package) {
  bool result = true;
  std::string message;
  const UploadPlan before = package.Plan();
  if (KindOfPort(port) == PortKind::Serial && !SpeedValid(before.baudRate)) {
    result = false;
    message = "\r\nInvalid Communication Speed";
  }
  if (!package.ValidateItems(&message)) result = false;
  if (!result) errorString_ = message;
  return result;
}

bool UploadEngine::Upload(UploadPackage& package) {
  const auto start = Now();
  progressCounter_ = 0;
  lastDrawnProgress_ = 0;
  cancelRequested_ = false;
  idleTimedOut_ = false;
  errorCode_ = package::kErrOk;
  cause_ = FailureCause::None;
  bool result = true;

  plan_ = package.Plan();  // the progress weight for the bars, also after a failed check
  if (!ValidateConfiguration(package)) {
    errorCode_ = package::kErrValidation;
    cause_ = FailureCause::ValidationFailed;
  } else {
    Fail(package::kErrOk, "", FailureCause::None);
    plan_ = package.Plan();
    // A block never exceeds what one frame carries (nor the block buffer).
    plan_.maxProgLen = std::clamp<std::int32_t>(plan_.maxProgLen, 0, kMaxProgFrameBlock);
    if (WizardMode())
      view_->SetNavigationEnabled(false);
    else
      package.DisplayConfiguration();
    ReportProgress("Upload Firmware", 0);
    ReportAction("UPLOAD FIRMWARE STARTED");
    UpdateEntireProgress(progressCounter_);

    if (CreateFlashUp()) {
      const std::string open = OpenString(port, plan_.baudText);
      AnimateTransfer();
      std::int16_t initError = 0;
      try {
        flashUp_->ExplicitInitialise(open);
        initError = AppLastError();
      } catch (const core::StatusError&) {
        initError = -1;
      }
      if (initError != 0) {
        Fail(package::kErrCommunication, "Communications Port failed to initialise",
             FailureCause::PortUnavailable);
        ReleaseFlashUp();
      } else if (TransferProgram(package) && !transferOnly) {
        ReportAction("Transfer Program Running");
        progressCounter_ += 10;
        UpdateEntireProgress(progressCounter_);
        AnimateTransfer();
        if (QueryManufacturers() && DownloadFlashMemories() && EraseFlashMemories() &&
            ProgramFlashMemories(package)) {
          if (!plan_.continueFlag) Restart();
        } else {
          result = false;
        }
      }
    }
  }

  if (errorCode_ != package::kErrOk) result = false;
  // Every failed run says why; a path that forgot to is a fault of this code.
  if (!result && cause_ == FailureCause::None) cause_ = FailureCause::Internal;
  if (flashUp_) {
    ReportAction("Close Communication Channel");
    try {
      flashUp_->Close();
    } catch (const core::StatusError&) {
    }
    ReportAction("Shutdown Application Layer");
    try {
      flashUp_->Shutdown();
    } catch (const core::StatusError&) {
    }
    ReportAction("Shutdown Complete");
    ReleaseFlashUp();
  }

  const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(Now() - start).count();
  ReportAction(CompletedText(elapsed));

  if (WizardMode()) {
    if (cancelRequested_) {
      Fail(package::kErrCancelled, "", FailureCause::Cancelled);
    } else {
      view_->SetNavigationEnabled(true);
      view_->PressNext();
    }
  }
  return result;
}

bool UploadEngine::CreateFlashUp() {
  flashUp_ = apps_.Create(core::clsid::kFlashApp);
  if (!flashUp_) {
    Fail(package::kErrCommunication,
         "Communications Port failed to initialise (no application layer)", FailureCause::Internal);
    return false;
  }
  flashUpAdvised_ = core::Succeeded(flashUp_->Advise(this, &flashUpCookie_));
  return true;
}

void UploadEngine::ReleaseFlashUp() {
  if (!flashUp_) return;
  if (flashUpAdvised_) flashUp_->Unadvise(flashUpCookie_);
  flashUpAdvised_ = false;
  flashUp_.reset();
}

std::int16_t UploadEngine::AppLastError() {
  std::int16_t code = 0;
  if (!flashUp_) return -1;
  try {
    if (!core::Succeeded(flashUp_->GetLastError(&code))) return -1;
  } catch (const core::StatusError&) {
    return -1;
  }
  return code;
}

std::string UploadEngine::AppErrorText() {
  std::string text;
  if (!flashUp_) return text;
  try {
    flashUp_->GetErrorString(&text);
  } catch (const core::StatusError& e) {
    text = e.what();
  }
  return text;
}

bool UploadEngine::TransferProgram(UploadPackage& package) {
  AnimateTransfer();
  std::vector<std::uint8_t> program;
  if (!package.ReadMember(plan_.transfer.filename, &program)) {
    // Checked before the run, so the archive changed or is damaged: sending
    // nothing (or part of it) would start a broken program in the instrument.
    Fail(package::kErrTransferProgram,
         "- the package member " + plan_.transfer.filename + " cannot be read",
         FailureCause::PackageInvalid);
    return false;
  }
  ReportAction("Transfer Program Read (" + plan_.transfer.filename + ")");
  AnimateTransfer();
  app::QUARNEL_ERR verdict = app::PT_TOK;
  std::int16_t appError = 0;
  try {
    flashUp_->UploadTransferProgram(program.data(), static_cast<std::int32_t>(program.size()),
                                    plan_.transfer.loadAddress, plan_.transfer.execAddress,
                                    &verdict);
    appError = AppLastError();
  } catch (const core::StatusError&) {
    appError = -1;
  }
  // A port failure during the upload leaves the verdict at PT_TOK and only the
  // application layer's last error tells: it must not pass as a success.
  if (verdict != app::PT_TOK || appError != 0) {
    ReportAction("Transfer Program Failed, Error Code = " +
                 HexText(verdict != app::PT_TOK ? static_cast<std::int32_t>(verdict) : appError));
    Fail(package::kErrTransferProgram, AppErrorText(), TransferFailureCause(verdict));
    return false;
  }
  return true;
}

FailureCause UploadEngine::TransferFailureCause(app::QUARNEL_ERR verdict) const {
  if (verdict == app::PT_TNORESPONSE) return FailureCause::BootMonitorSilent;
  if (verdict != app::PT_TOK) return FailureCause::BootMonitorRefused;
  // No verdict and a failed port: on the GPIB bus this is how a silent boot
  // monitor shows (the verdict read times out with an error).
  return FailureCause::BootMonitorSilent;
}

FailureCause UploadEngine::PortFailureCause() const {
  return FailureCause::PortUnavailable;
}

void UploadEngine::InstrumentFailed(std::int32_t code, const std::string& text) {
  Fail(code, text, FailureCause::InstrumentError);
}

void UploadEngine::Restart() {
  // The instrument restarts on its answer; any answer (or none) ends the run.
  Send(0, [](app::IQX_App& a) { return a.ProgEnd(); });
  WaitForResponse();
  ReportAction("Instrument Restarted");
}

// ---------------------------------------------------------------- waiting

namespace {
// "150", or "0.5" for a time-out that tests shorten below a second.
std::string SecondsText(std::chrono::milliseconds time) {
  const auto ms = time.count();
  std::string text = std::to_string(ms / 1000);
  if (ms % 1000 != 0) {
    std::string fraction = std::to_string(1000 + ms % 1000).substr(1);
    while (fraction.back() == '0') fraction.pop_back();
    text += "." + fraction;
  }
  return text;
}
}  // namespace

void UploadEngine::Send(std::uint8_t expectedResponse,
                        const std::function<core::Status(app::IQX_App&)>& send) {
  responseArrived_ = false;
  expectedResponse_ = expectedResponse;
  try {
    const core::Status status = send(*flashUp_);
    if (!core::Succeeded(status)) {
      Fail(package::kErrCommunication, "- " + core::StatusText(status), FailureCause::Internal);
      responseArrived_ = true;
    }
  } catch (const core::StatusError& e) {
    Fail(package::kErrCommunication, std::string("- ") + e.what(), FailureCause::Internal);
    responseArrived_ = true;
  }
}

void UploadEngine::WaitForResponse(const std::function<void()>& onPass) {
  using std::chrono::milliseconds;
  const auto sent = Now();
  core::MessageLoop& loop = core::CurrentMessageLoop();
  while (!responseArrived_ && !cancelRequested_) {
    milliseconds slice = onPass ? tick_ : milliseconds(1000);
    if (idleTimeout_ > kNoIdleTimeout) {
      const auto left = std::chrono::duration_cast<milliseconds>(idleTimeout_ - (Now() - sent));
      slice = std::clamp(left, milliseconds(1), slice);
    }
    loop.ProcessEvents(slice);
    if (onPass) onPass();
    if (!responseArrived_ && !cancelRequested_ && idleTimeout_ > kNoIdleTimeout &&
        Now() - sent >= idleTimeout_) {
      // A dropped answer (its checksum failed, say) ends no wait by itself.
      idleTimedOut_ = true;
      ReportAction("The instrument stopped answering (no answer for " + SecondsText(idleTimeout_) +
                   " seconds)");
      Fail(package::kErrCommunication, "idle time-out: the instrument stopped answering",
           FailureCause::InstrumentSilent);
      cancelRequested_ = true;
    }
  }
}

// ---------------------------------------------------------------- handlers

namespace {
// The error code a step reports when the answer to its command fails.
std::int32_t FailureCodeFor(std::uint8_t expectedResponse) {
  switch (expectedResponse) {
    case app::HPROGPWRON:
      return package::kErrPowerOn;
    case app::HPROGPWROFF:
      return package::kErrPowerOff;
    case app::HLESEDATEN:
      return package::kErrReadData;
    case app::HPROGDATEN:
      return package::kErrProgramming;
    case app::HFLASHERASE:
      return package::kErrFlashErase;
    default:
      return package::kErrCommunication;
  }
}
}  // namespace

void UploadEngine::FlashUp_Response(std::uint8_t enumResponseID) {
  app::IQX_App* app = flashUp_.get();
  if (app == nullptr) return;
  auto failWithAppText = [&] {
    Fail(package::kErrCommunication, Trim(AppErrorText()), FailureCause::InstrumentError);
  };
  // A stray or mismatched answer (a late answer to an earlier command, say)
  // must never count as the reply to the command in flight: its data belongs
  // to another command, so taking it would report codes of zero or let an
  // erase or a program block pass unchecked. It fails the command in flight
  // with that step's own failure code. The instrument's error report keeps
  // its meaning below.
  if (expectedResponse_ != 0 && enumResponseID != expectedResponse_ &&
      enumResponseID != app::HERROR) {
    Fail(FailureCodeFor(expectedResponse_), " - unexpected answer H" + HexText(enumResponseID),
         FailureCause::InstrumentError);
    responseArrived_ = true;
    return;
  }
  try {
    switch (enumResponseID) {
      case app::HMANUFACTURER: {
        if (AppLastError() != 0) {
          failWithAppText();
          break;
        }
        app->GetManufacturerCode(&manufacturerCode_);
        if (AppLastError() != 0) {
          failWithAppText();
          break;
        }
        app->GetFlashType(&deviceCode_);
        if (AppLastError() != 0) failWithAppText();
        break;
      }
      case app::HPROGPWRON: {
        std::int16_t status = 0;
        app->GetStatus(&status);
        if (status != app::kStatusPowerOn) InstrumentFailed(package::kErrPowerOn, HexText(status));
        break;
      }
      case app::HPROGPWROFF: {
        std::int16_t status = 0;
        app->GetStatus(&status);
        if (status != app::kStatusPowerOff)
          InstrumentFailed(package::kErrPowerOff, HexText(status));
        break;
      }
      case app::HLESEDATEN: {
        std::int16_t status = 0;
        app->GetStatus(&status);
        if (status == app::kStatusReadFailed)
          InstrumentFailed(package::kErrReadData, HexText(status));
        break;
      }
      case app::HPROGDATEN: {
        std::uint32_t failAddress = 0;
        std::int16_t status = 0;
        app->GetProgStatus(&failAddress, &status);
        if (status != app::kStatusProgOk)
          InstrumentFailed(package::kErrProgramming, HexText(failAddress));
        break;
      }
      case app::HCHECKSUM: {
        if (AppLastError() != 0) {
          failWithAppText();
          break;
        }
        app->GetChecksum(&targetChecksum_);
        if (AppLastError() != 0) failWithAppText();
        break;
      }
      case app::HFLASHERASE: {
        std::uint32_t failAddress = 0;
        std::int16_t status = 0;
        app->GetEraseStatus(&failAddress, &status);
        if (status != app::kStatusEraseOk)
          InstrumentFailed(package::kErrFlashErase, HexText(failAddress));
        break;
      }
      case app::HERROR: {
        std::int16_t status = 0;
        app->GetStatus(&status);
        if (status != app::kStatusNoError) InstrumentFailed(package::kErrGeneral, HexText(status));
        break;
      }
      default:
        break;
    }
  } catch (const core::StatusError& e) {
    Fail(package::kErrCommunication, std::string("- ") + e.what(), FailureCause::Internal);
  }
  responseArrived_ = true;
}

void UploadEngine::FlashUp_Error(std::int16_t iLastError) {
  Fail(package::kErrCommunication, std::to_string(iLastError) + " " + Trim(AppErrorText()),
       app::IsNoAnswer(iLastError) ? FailureCause::InstrumentSilent : PortFailureCause());
  responseArrived_ = true;
}

// ---------------------------------------------------------------- flash steps

bool UploadEngine::QueryManufacturers() {
  for (const PlanMemory& memory : plan_.memories) {
    AnimateTransfer();
    Send(app::HMANUFACTURER, [&](app::IQX_App& a) {
      return a.QueryManufacturerCode(static_cast<std::uint32_t>(memory.startAddress),
                                     static_cast<std::uint8_t>(plan_.architecture),
                                     static_cast<std::uint8_t>(memory.flashnameIndex));
    });
    WaitForResponse();
    if (errorCode_ != package::kErrOk) {
      ReportAction("QueryManufacturerCode ERROR");
      return false;
    }
    ReportAction("Manufacturer H" + HexText(manufacturerCode_) + ", Device H" +
                 HexText(deviceCode_));
    const MemoryCodes codes{memory.startAddress, manufacturerCode_, deviceCode_};
    listeners_.Raise([&](QN_UploadProcessEvents& l) { l.MemoryIdentified(codes); });
    progressCounter_ += 10;
    UpdateEntireProgress(progressCounter_);
  }
  return true;
}

void UploadEngine::TickAnimation() {
  const auto now = Now();
  if (now - tickStart_ >= tick_) {
    tickStart_ = now;
    AnimateTransfer();
  }
}

void UploadEngine::StepPercent(const std::string& text, std::int64_t position, std::int64_t size,
                               std::int32_t* lastPercent) {
  // An empty file is done at once: its share counts as whole.
  const double share = size > 0 ? static_cast<double>(position) / static_cast<double>(size) : 1.0;
  const auto percent = static_cast<std::int32_t>(std::nearbyint(share * 100.0 - 1.0));
  if (percent > *lastPercent) {
    ReportProgress(text, static_cast<std::int16_t>(percent));
    *lastPercent = percent;
  }
}

bool UploadEngine::DownloadFlashMemories() {
  reverseAnimation_ = true;
  bool result = true;
  ReportAction("Download Flash Memories Started");
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
  reverseAnimation_ = false;
  if (!stopped) ReportAction("Download Flash Memories Completed");
  return result;
}

UploadEngine::DownloadEnd UploadEngine::DownloadOne(const PlanDownload& download) {
  const std::string text = "Read File = " + download.filename;
  ReportAction(text);
  ReportProgress(text, 0);
  // The user agreed to replace an existing file when the package was checked;
  // a longer old file must not keep its tail behind the new bytes.
  std::ofstream file(download.filename, std::ios::binary | std::ios::trunc);
  if (!file) {
    Fail(package::kErrUploadEntryInvalid,
         " " + std::string(std::strerror(errno)) + " " + download.filename,
         FailureCause::FileNotWritten);
    ReportAction("Read ERROR");
    return DownloadEnd::Failed;
  }
  const std::int64_t size = download.length;
  std::int64_t position = 0;
  std::int32_t lastPercent = 0;
  const std::int32_t maxBlock = std::min(plan_.maxProgLen, kMaxReadFrameBlock);
  do {
    const std::int64_t count = std::min<std::int64_t>(maxBlock, size - position);
    if (count > 0) {
      Send(app::HLESEDATEN, [&](app::IQX_App& a) {
        return a.ReadData(static_cast<std::uint8_t>(plan_.architecture),
                          static_cast<std::uint32_t>(download.startAddress + position),
                          static_cast<std::uint32_t>(count));
      });
      WaitForResponse();
      if (errorCode_ != package::kErrOk) {
        ReportAction("Read ERROR");
        return DownloadEnd::Failed;
      }
      std::uint32_t length = 0;
      try {
        flashUp_->GetReadDataLength(&length);
      } catch (const core::StatusError&) {
      }
      if (const std::int16_t code = AppLastError(); code != 0) {
        Fail(package::kErrCommunication, std::to_string(code) + " " + Trim(AppErrorText()),
             FailureCause::InstrumentError);
        ReportAction("Read ERROR");
        return DownloadEnd::Failed;
      }
      // The application layer sizes its answer from one byte; anything beyond
      // the block buffer would be a broken answer, not data.
      if (length > blockBuffer_.size()) {
        InstrumentFailed(package::kErrReadData, HexText(length));
        ReportAction("Read ERROR");
        return DownloadEnd::Failed;
      }
      // The position moves only by what an answer delivers, so an empty answer
      // would repeat the same request for ever (each answer arrives, so the
      // idle time-out never ends it). The transfer program answers with the
      // bytes it has read; one that reads nothing at an address will read
      // nothing there again, so the first empty answer fails the step rather
      // than after a count of retries that could not change the outcome.
      if (length == 0) {
        InstrumentFailed(package::kErrReadData,
                         " - no data at address H" + HexText(download.startAddress + position));
        ReportAction("Read ERROR");
        return DownloadEnd::Failed;
      }
      try {
        flashUp_->GetReadData(blockBuffer_.data());
      } catch (const core::StatusError&) {
      }
      if (const std::int16_t code = AppLastError(); code != 0) {
        Fail(package::kErrCommunication, std::to_string(code) + " " + Trim(AppErrorText()),
             FailureCause::InstrumentError);
        ReportAction("Read ERROR");
        return DownloadEnd::Failed;
      }
      file.write(reinterpret_cast<const char*>(blockBuffer_.data()),
                 static_cast<std::streamsize>(length));
      if (!file) {
        Fail(package::kErrUploadEntryInvalid,
             " " + std::string(std::strerror(errno)) + " " + download.filename,
             FailureCause::FileNotWritten);
        ReportAction("Read ERROR");
        return DownloadEnd::Failed;
      }
      progressCounter_ += 1;
      UpdateEntireProgress(progressCounter_);
      position += length;
    }
    TickAnimation();
    StepPercent(text, position, size, &lastPercent);
  } while (position < size && !cancelRequested_);
  file.close();
  if (!file) {
    Fail(package::kErrUploadEntryInvalid,
         " " + std::string(std::strerror(errno)) + " " + download.filename,
         FailureCause::FileNotWritten);
    ReportAction("Read ERROR");
    return DownloadEnd::Failed;
  }
  if (cancelRequested_) return DownloadEnd::Cancelled;
  const std::string name = download.filename;
  listeners_.Raise([&](QN_UploadProcessEvents& l) { l.DownloadWritten(name, position); });
  return DownloadEnd::Done;
}

const PlanMemory* UploadEngine::MemoryHolding(std::int32_t start, std::int32_t end) const {
  const PlanMemory* found = nullptr;
  for (const PlanMemory& memory : plan_.memories)
    if (memory.startAddress <= start && memory.endAddress >= end) found = &memory;
  return found;
}

bool UploadEngine::EraseFlashMemories() {
  bool result = true;
  ReportAction("Erase Flash Memories Started");
  Send(app::HPROGPWRON, [](app::IQX_App& a) { return a.ProgPowerOn(); });
  WaitForResponse();
  if (errorCode_ != package::kErrOk) {
    ReportAction("Error setting Programming Voltage On");
    return false;
  }
  ReportAction("Programming Voltage On");
  for (const PlanErase& erase : plan_.erases) {
    const PlanMemory* memory = MemoryHolding(erase.eraseAddress, erase.endAddress);
    if (memory == nullptr) {
      result = false;
      cause_ = FailureCause::RangeOutsideMemory;
      ReportAction("FlashErase Configuration Error");
      break;
    }
    ReportAction("FlashDelete Started");
    Send(app::HFLASHERASE, [&](app::IQX_App& a) {
      return a.FlashDelete(static_cast<std::uint8_t>(plan_.architecture),
                           static_cast<std::uint8_t>(memory->flashnameIndex),
                           static_cast<std::uint32_t>(erase.eraseAddress),
                           static_cast<std::uint32_t>(erase.length));
    });
    tickStart_ = Now();
    WaitForResponse([this] {
      const auto now = Now();
      if (now - tickStart_ >= tick_) {
        tickStart_ = now;
        if (progressCounter_ < plan_.eraseMark) {
          progressCounter_ += 10;
          UpdateEntireProgress(progressCounter_);
        }
        AnimateTransfer();
      }
    });
    if (errorCode_ != package::kErrOk) {
      ReportAction("FlashDelete ERROR");
      return false;
    }
    ReportAction("FlashDelete OK");
  }
  Send(app::HPROGPWROFF, [](app::IQX_App& a) { return a.ProgPowerOff(); });
  WaitForResponse();
  if (errorCode_ != package::kErrOk) {
    ReportAction("Error setting Programming Voltage Off");
    return false;
  }
  ReportAction("Programming Voltage Off");
  ReportAction("Erase Flash Memories Completed");
  progressCounter_ = plan_.eraseMark;
  return result;
}

bool UploadEngine::ProgramFlashMemories(UploadPackage& package) {
  bool result = true;
  ReportAction("Program Flash Memories Started");
  for (const PlanProgram& program : plan_.programs) {
    const ProgramEnd end = ProgramOne(package, program);
    if (end == ProgramEnd::Failed) return false;
    if (end == ProgramEnd::Stopped) {
      result = false;
      break;
    }
  }
  ReportAction("Program Flash Memories Completed");
  return result;
}

UploadEngine::ProgramEnd UploadEngine::ProgramOne(UploadPackage& package,
                                                  const PlanProgram& program) {
  const std::string text = "Program File = " + program.filename;
  ReportAction(text);
  ReportProgress(text, 0);
  Send(app::HPROGPWRON, [](app::IQX_App& a) { return a.ProgPowerOn(); });
  WaitForResponse();
  if (errorCode_ != package::kErrOk) {
    ReportAction("Error setting Programming Voltage On");
    return ProgramEnd::Failed;
  }
  ReportAction("Programming Voltage On");
  const PlanMemory* memory = MemoryHolding(program.loadAddress, program.endAddress);
  if (memory == nullptr) {
    cause_ = FailureCause::RangeOutsideMemory;
    ReportAction("Program Configuration ERROR");
    return ProgramEnd::Stopped;
  }
  const std::int64_t size = package.MemberSize(program.filename);
  std::int64_t position = 0;
  std::uint32_t byteSum = 0;
  std::int32_t blockCount = 0;
  std::int32_t lastPercent = 0;
  const auto maxBlock = static_cast<std::size_t>(std::max(plan_.maxProgLen, 0));
  do {
    blockCount += 1;
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::int64_t>(maxBlock, size - position));
    const std::size_t count =
        wanted == 0
            ? 0
            : package.ReadBlock(program.filename,
                                std::span<std::uint8_t>(blockBuffer_.data(), wanted), position);
    for (std::size_t i = 0; i < count; ++i) byteSum += blockBuffer_[i];
    if (count > 0) {
      const auto address = static_cast<std::uint32_t>(program.loadAddress + position);
      Send(app::HPROGDATEN, [&](app::IQX_App& a) {
        return a.Prog(address, static_cast<std::int16_t>(count),
                      static_cast<std::uint8_t>(plan_.architecture),
                      static_cast<std::uint8_t>(memory->flashnameIndex), blockBuffer_.data());
      });
      WaitForResponse();
      if (errorCode_ != package::kErrOk) {
        ReportAction("Prog ERROR");
        return ProgramEnd::Failed;
      }
    } else if (position < size) {
      // The member ended before its size: the archive changed under us.
      Fail(package::kErrProgramEntryInvalid, " " + program.filename, FailureCause::PackageInvalid);
      ReportAction("Prog ERROR");
      return ProgramEnd::Failed;
    }
    position += static_cast<std::int64_t>(count);
    progressCounter_ += 1;
    UpdateEntireProgress(progressCounter_);
    TickAnimation();
    StepPercent(text, position, size, &lastPercent);
  } while (position < size && !cancelRequested_);

  Send(app::HPROGPWROFF, [](app::IQX_App& a) { return a.ProgPowerOff(); });
  WaitForResponse();
  if (errorCode_ != package::kErrOk) {
    ReportAction("Error setting Programming Voltage Off");
    return ProgramEnd::Failed;
  }
  ReportAction("Programming Voltage Off");
  if (cancelRequested_) return ProgramEnd::Stopped;

  ReportAction("Checksum( H" + std::to_string(plan_.architecture) + " , H" +
               HexText(program.loadAddress) + " , H" + HexText(size) + " )");
  Send(app::HCHECKSUM, [&](app::IQX_App& a) {
    return a.Checksum(static_cast<std::uint8_t>(plan_.architecture),
                      static_cast<std::uint32_t>(program.loadAddress),
                      static_cast<std::uint32_t>(size));
  });
  WaitForResponse();
  if (errorCode_ != package::kErrOk) {
    ReportAction("Error getting Checksum");
    return ProgramEnd::Failed;
  }
  ReportAction("Checksum, Target = H" + HexText(targetChecksum_));
  const std::uint32_t host = byteSum & 0xFF;
  const ProgramChecksum record{program.filename, blockCount, host, targetChecksum_};
  listeners_.Raise([&](QN_UploadProcessEvents& l) { l.ProgramVerified(record); });
  if (targetChecksum_ != host) {
    cause_ = FailureCause::ChecksumMismatch;
    ReportAction("Checksum Error,  Target = H" + HexText(targetChecksum_) + " Host = H" +
                 HexText(host));
    return ProgramEnd::Failed;
  }
  ReportAction("Checksum Matches, Host = H" + HexText(host));
  ReportAction("Block Count = " + std::to_string(blockCount));
  return ProgramEnd::Done;
}

}  // namespace pelvane::upload
