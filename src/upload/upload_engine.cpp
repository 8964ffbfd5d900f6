#include "upload/upload_engine.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <map>
#include <vector>

#include "package/package_archive.h"
#include "package/qn_error.h"
#include "ports/kind/port_kind.h"
#include "upload/operation_texts.h"
#include "upload/report_text.h"

namespace pelvane::upload {

namespace {

using M = MessageSize;

// The line a port name opens: the package's rate on a serial port (the
// default line's own 115200 when the name is no serial port of its own),
// none on the GPIB bus.
LineCost LineOf(const std::string& port, const UploadPlan& plan) {
  const ports::PortKindInfo& info = ports::InfoOfPort(port);
  if (info.blockMode) return LineCost(0);
  return LineCost(info.kind == ports::PortKind::Default ? 115200 : plan.baudRate);
}

}  // namespace

UploadEngine::UploadEngine(const QN_UploadProcess::AppRegistry& apps)
    : wait_(apps, outcome_, report_, clock_) {}

void UploadEngine::SetTick(std::chrono::milliseconds tick) {
  report_.SetTick(tick);
  wait_.SetTick(tick);
}

void UploadEngine::Cancel() {
  report_.Cancelled();
  wait_.Stop();
  outcome_.Fail(package::kErrCancelled, "", FailureCause::Cancelled);
}

bool UploadEngine::ValidateConfiguration(UploadPackage& package) {
  bool result = true;
  std::string message;
  const UploadPlan before = package.Plan();
  if (ports::InfoOfPort(port_).needsRate && !SpeedValid(before.baudRate)) {
    result = false;
    message = "\r\nInvalid Communication Speed";
  }
  if (!package.ValidateItems(&message)) result = false;
  if (!result) outcome_.Fail(package::kErrValidation, message, FailureCause::ValidationFailed);
  return result;
}

RunStage UploadEngine::Stage() const {
  if (voltageOn_) return RunStage::VoltageOn;
  if (flashChanged_) return RunStage::FlashChanged;
  return sent_ ? RunStage::FlashUntouched : RunStage::NothingSent;
}

bool UploadEngine::Prepare(UploadPackage& package) {
  if (!ValidateConfiguration(package)) return false;
  plan_ = package.Plan();
  // A block never exceeds what one frame carries (nor the block buffer).
  plan_.maxProgLen = std::clamp<std::int32_t>(plan_.maxProgLen, 0, kMaxProgFrameBlock);
  line_ = LineOf(port_, plan_);
  wait_.SetBaudRate(plan_.baudRate);
  return true;
}

RunEstimate UploadEngine::Estimate() const {
  std::vector<std::int64_t> programSizes;
  for (std::size_t i = 0; i < plan_.programs.size(); ++i) {
    const PlanProgram& program = plan_.programs[i];
    // A read-back written back is as long as its download; a member not
    // read (an operation that does not send it) counts as the package says.
    programSizes.push_back(program.readBack >= 0 || i >= programData_.size() ||
                                   programData_[i] == nullptr
                               ? std::int64_t{program.endAddress} - program.loadAddress
                               : static_cast<std::int64_t>(programData_[i]->size()));
  }
  const std::int64_t transferSize =
      transferProgram_ ? static_cast<std::int64_t>(transferProgram_->size()) : 0;
  return EstimateRun(plan_, {operation_, transferOnly_, verify_}, transferSize, programSizes,
                     line_);
}

bool UploadEngine::Check(UploadPackage& package, RunEstimate* estimate) {
  outcome_.Clear();
  if (!Prepare(package) || !ReadPackageMembers(package)) return false;
  if (estimate != nullptr) *estimate = Estimate();
  return true;
}

bool UploadEngine::Upload(UploadPackage& package) {
  const auto start = Now();
  outcome_.Clear();
  wait_.StartRun();
  sent_ = false;
  flashChanged_ = false;
  voltageOn_ = false;
  report_.StartRun();
  statistics_ = {};
  bool result = true;
  const OperationTexts& texts = TextsOf(operation_);

  if (Prepare(package)) {
    if (report_.WizardMode())
      report_.LockNavigation();
    else
      package.DisplayConfiguration();
    report_.StepProgress(texts.title, 0);
    report_.Action(texts.started);
    // A cancellation that came while the members were read, or while the
    // port opened, is honoured before anything goes out.
    if (ReadPackageMembers(package) && !wait_.TakeStopRequests()) {
      report_.SetEstimate(Estimate().Seconds());
      if (OpenLink() && !wait_.TakeStopRequests() && TransferProgram() && !transferOnly_) {
        report_.Action("Transfer Program Running");
        report_.Animate();
        result = RunSteps();
      }
    }
  }

  if (outcome_.HasError()) result = false;
  if (result) report_.Completed();
  // Every failed run says why; a path that forgot to is a fault of this code.
  if (!result && outcome_.Cause() == FailureCause::None) outcome_.SetCause(FailureCause::Internal);
  CloseLink();

  statistics_.durationSeconds = std::chrono::duration<double>(Now() - start).count();
  statistics_.resends = report_.Facts().resends;
  const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(Now() - start).count();
  report_.Action(CompletedText(elapsed, texts.process));

  if (report_.WizardMode()) {
    // The wizard has shown the result step when the cancellation came.
    if (wait_.StopRequested() && !wait_.IdleTimedOut())
      outcome_.Fail(package::kErrCancelled, "", FailureCause::Cancelled);
    else if (ReadOnly(operation_))
      report_.UnlockNavigation();  // a look at the instrument stays on its step
    else
      report_.ShowResult();
  }
  return result;
}

bool UploadEngine::RunSteps() {
  bool ok = false;
  switch (operation_) {
    case RunOperation::Update:
      if (!(QueryManufacturers() && DownloadFlashMemories() && EraseFlashMemories() &&
            ProgramFlashMemories()))
        return false;
      if (!plan_.continueFlag) Restart();
      return true;
    case RunOperation::Identify:
      ok = QueryManufacturers();
      break;
    case RunOperation::Backup:
    case RunOperation::Read:
      ok = DownloadFlashMemories();
      break;
    case RunOperation::VerifyOnly:
      ok = VerifyFlashMemories();
      break;
  }
  // A look at the instrument ends by handing it back to its own firmware,
  // also when the instrument did not hold the package; after any other
  // failure the transfer program may not answer any more.
  if (ok || outcome_.Cause() == FailureCause::VerifyMismatch) Restart();
  return ok;
}

bool UploadEngine::OpenLink() {
  if (!wait_.CreateApp()) return false;
  const std::string open = ports::OpenString(port_, plan_.baudRate);
  report_.Animate();
  const core::Status status =
      wait_.Guarded([&](app::IQX_App& a) { return a.ExplicitInitialise(open); });
  if (core::Succeeded(status) && wait_.AppLastError() == 0) return true;
  wait_.FailLink(port_, "Communications Port failed to initialise");
  // A port that did not open is neither closed nor shut down.
  wait_.ReleaseApp();
  return false;
}

void UploadEngine::CloseLink() {
  if (!wait_.HasApp()) return;
  report_.Action("Close Communication Channel");
  wait_.Guarded([](app::IQX_App& a) { return a.Close(); });
  report_.Action("Shutdown Application Layer");
  wait_.Guarded([](app::IQX_App& a) { return a.Shutdown(); });
  report_.Action("Shutdown Complete");
  wait_.ReleaseApp();
}

bool UploadEngine::ReadPackageMembers(UploadPackage& package) {
  // Found only while programming, one flipped byte would leave the
  // instrument erased; a transfer program sent in part would start broken.
  const auto damaged = [&](std::int32_t code, const std::string& name, const std::string& error) {
    report_.Action("Package Member ERROR " + name);
    outcome_.Fail(
        code, " - " + (error.empty() ? "the package member " + name + " cannot be read" : error),
        FailureCause::PackageInvalid);
    return false;
  };
  // Each member once, however many entries name it (names match without
  // regard to case, as the archive's do), and all of them within the bound.
  struct Wanted {
    std::string name;
    std::int32_t code;
    MemberBytes bytes;
  };
  std::map<std::string, Wanted> members;
  members.emplace(core::ToUpper(plan_.transfer.filename),
                  Wanted{plan_.transfer.filename, package::kErrTransferProgram, nullptr});
  // Only an update and a verification send or compare the programs.
  const bool programs = !transferOnly_ && (operation_ == RunOperation::Update ||
                                           operation_ == RunOperation::VerifyOnly);
  if (programs)
    for (const PlanProgram& program : plan_.programs)
      if (program.readBack < 0)
        members.emplace(core::ToUpper(program.filename),
                        Wanted{program.filename, package::kErrProgramEntryInvalid, nullptr});
  std::int64_t total = 0;
  for (const auto& [key, member] : members)
    total += std::max<std::int64_t>(package.MemberSize(member.name), 0);
  if (total > package::kMaxRunMemberBytes) {
    report_.Action("Package Member ERROR (" + std::to_string(members.size()) + " members)");
    outcome_.Fail(package::kErrProgramEntryInvalid,
                  " - the members the run sends hold " + std::to_string(total) +
                      " bytes together, more than the " +
                      std::to_string(package::kMaxRunMemberBytes) + " one run may hold",
                  FailureCause::PackageInvalid);
    return false;
  }
  for (auto& [key, member] : members) {
    auto bytes = std::make_shared<std::vector<std::uint8_t>>();
    std::string error;
    if (!package.ReadMember(member.name, bytes.get(), &error))
      return damaged(member.code, member.name, error);
    member.bytes = std::move(bytes);
    // Reading a large package takes a while; a cancellation meanwhile ends it.
    if (wait_.TakeStopRequests()) return false;
  }
  transferProgram_ = members.at(core::ToUpper(plan_.transfer.filename)).bytes;
  programData_.assign(plan_.programs.size(), nullptr);
  if (!programs) return true;
  for (std::size_t i = 0; i < plan_.programs.size(); ++i)
    if (plan_.programs[i].readBack < 0)
      programData_[i] = members.at(core::ToUpper(plan_.programs[i].filename)).bytes;
  return true;
}

bool UploadEngine::TransferProgram() {
  report_.Animate();
  const std::vector<std::uint8_t>& program = *transferProgram_;
  report_.Action("Transfer Program Read (" + plan_.transfer.filename + ")");
  report_.Animate();
  report_.BootMonitorWait(BootMonitorLimit(program.size()));
  sent_ = true;
  app::QUARNEL_ERR verdict = app::PT_TOK;
  const core::Status status = wait_.Guarded([&](app::IQX_App& a) {
    return a.UploadTransferProgram(program.data(), static_cast<std::int32_t>(program.size()),
                                   plan_.transfer.loadAddress, plan_.transfer.execAddress,
                                   &verdict);
  });
  const std::int16_t appError = core::Succeeded(status) ? wait_.AppLastError() : -1;
  // A port failure during the upload leaves the verdict at PT_TOK and only the
  // application layer's last error tells: it must not pass as a success.
  if (verdict == app::PT_TOK && appError == 0) {
    report_.Done(line_.TransferSeconds(static_cast<std::int64_t>(program.size())) +
                 kOpenCloseSeconds);
    return true;
  }
  report_.Action("Transfer Program Failed, Error Code = " +
                 HexText(verdict != app::PT_TOK ? static_cast<std::int32_t>(verdict) : appError));
  outcome_.Fail(package::kErrTransferProgram, wait_.AppErrorText(), TransferFailureCause(verdict));
  return false;
}

std::chrono::milliseconds UploadEngine::BootMonitorLimit(std::size_t bytes) const {
  // The verdict wait starts once the block has left; on a serial line each
  // byte takes 11 bits first (12,000 bytes at 9600 baud: about 14 s). The
  // default line runs at 115200 whatever the package says.
  const ports::PortKindInfo& port = ports::InfoOfPort(port_);
  if (port.gpibBus) return session::kVerdictWait;
  const std::int64_t rate = port.needsRate ? plan_.baudRate : 115200;
  if (rate <= 0) return session::kVerdictWait;
  return session::kVerdictWait +
         std::chrono::milliseconds(static_cast<std::int64_t>(bytes) * 11 * 1000 / rate);
}

FailureCause UploadEngine::TransferFailureCause(app::QUARNEL_ERR verdict) const {
  if (verdict == app::PT_TNORESPONSE) return FailureCause::BootMonitorSilent;
  if (verdict != app::PT_TOK) return FailureCause::BootMonitorRefused;
  // No verdict and a failed port: on the GPIB bus this is how a silent boot
  // monitor shows (the verdict read times out with an error).
  return FailureCause::BootMonitorSilent;
}

bool UploadEngine::QueryManufacturers() {
  for (const PlanMemory& memory : plan_.memories) {
    report_.Animate();
    if (!wait_.Exchange(app::HMANUFACTURER, [&](app::IQX_App& a) {
          return a.QueryManufacturerCode(static_cast<std::uint32_t>(memory.startAddress),
                                         static_cast<std::uint8_t>(plan_.architecture),
                                         static_cast<std::uint8_t>(memory.flashnameIndex));
        })) {
      report_.Action("QueryManufacturerCode ERROR");
      return false;
    }
    report_.Action("Manufacturer H" + HexText(wait_.ManufacturerCode()) + ", Device H" +
                   HexText(wait_.DeviceCode()));
    report_.MemoryIdentified({memory.startAddress, wait_.ManufacturerCode(), wait_.DeviceCode()});
    report_.Done(line_.ExchangeSeconds(M::kQuery, M::kQueryAnswer));
  }
  return true;
}

void UploadEngine::Restart() {
  // The instrument restarts on its answer; any answer (or none) ends the run.
  wait_.Exchange(kAnyAnswer, [](app::IQX_App& a) { return a.ProgEnd(); });
  report_.Done(line_.ExchangeSeconds(M::kProgEnd, M::kProgEndAnswer));
  report_.Action("Instrument Restarted");
}

}  // namespace pelvane::upload
