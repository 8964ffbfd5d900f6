#include "upload/qn_upload_process.h"

#include <algorithm>
#include <filesystem>

#include "core/files.h"
#include "core/sha256.h"
#include "package/package_loader.h"
#include "package/prompt.h"
#include "ports/kind/device_name.h"
#include "ports/kind/port_kind.h"
#include "upload/memory_history.h"
#include "upload/report_text.h"
#include "upload/upload_engine.h"

namespace pelvane::upload {

namespace {

// Without a prompt nobody can agree to anything.
class NoPrompt final : public package::QN_Prompt {
 public:
  package::PromptAnswer Ask(const std::string&, const std::string&,
                            package::PromptButtons buttons) override {
    return buttons == package::PromptButtons::YesNo ? package::PromptAnswer::No
                                                    : package::PromptAnswer::Ok;
  }
};

bool EqualNoCase(const std::string& a, const std::string& b) {
  return core::ToUpper(a) == core::ToUpper(b);
}

}  // namespace

class QN_UploadProcess::Impl final : public UploadPackage {
 public:
  explicit Impl(const AppRegistry& apps) : engine(apps) {}

  package::QN_Prompt& Prompt() { return prompt != nullptr ? *prompt : noPrompt; }

  package::PackageArchive& Archive() {
    if (!config.archive || config.archive->Path() != packagePath)
      config.archive = std::make_shared<package::PackageArchive>(packagePath);
    return *config.archive;
  }

  // UploadPackage
  bool ValidateItems(std::string* message) override {
    bool result = true;
    auto fail = [&](const std::string& text) {
      result = false;
      *message += "\r\n" + text;
    };
    if (config.notLoaded) {
      fail("No firmware package loaded");
      return false;
    }
    // The loader refuses MAXPROGLEN below 1 (code 5), so a loaded package
    // never fails here; the guard stays because a block length of 0 would
    // make the run repeat an empty block for ever.
    if (config.maxProgramBlockLength < 1)
      fail("Invalid Maximum Program Block Length " + std::to_string(config.maxProgramBlockLength));
    for (const package::QN_Memory& memory : config.memories)
      if (!memory.Validate()) fail(memory.GetLastErrorString());
    if (!config.transferProgram.Validate()) fail(config.transferProgram.GetLastErrorString());
    const RunOperation operation = engine.Operation();
    if (operation == RunOperation::Update || operation == RunOperation::Backup) {
      const std::string entryInvalid = package::ErrorResourceText(package::kErrUploadEntryInvalid);
      for (std::size_t i = 0; i < config.downloads.size(); ++i) {
        package::QN_Download& download = config.downloads[i];
        download.OutputFolder(outputFolder);
        // Each read-back of a run gets a file of its own, and none replaces the
        // package (a name such as ..\fw\self.qxpkg run from the package's
        // folder). Names that differ only in case are one file on Windows, and
        // a package must mean the same everywhere.
        const std::string name = package::LastNameComponent(download.Filename());
        const auto same = std::find_if(
            config.downloads.begin(), config.downloads.begin() + static_cast<std::ptrdiff_t>(i),
            [&](const package::QN_Download& earlier) {
              return EqualNoCase(package::LastNameComponent(earlier.Filename()), name);
            });
        if (same != config.downloads.begin() + static_cast<std::ptrdiff_t>(i))
          fail(entryInvalid + " " + same->Filename() + " and " + download.Filename() +
               " would both be written as " + download.OutputPath());
        else if (core::SameFile(download.OutputPath(), packagePath))
          fail(entryInvalid + " " + download.Filename() + " would replace the package itself");
        else if (!download.Validate(Prompt()))
          fail(download.GetLastErrorString());
      }
    }
    if (operation == RunOperation::Read && !ValidateReads(fail)) result = false;
    if (operation != RunOperation::Update && operation != RunOperation::VerifyOnly) return result;
    for (package::QN_Program& program : config.programs) {
      for (const package::QN_Download& download : config.downloads) {
        if (EqualNoCase(download.Filename(), program.Filename())) {
          program.Length(download.Length());
          break;
        }
      }
      if (!program.Validate()) fail(program.GetLastErrorString());
    }
    return result;
  }

  // The ranges the user asked to read: each inside one of the package's
  // memories, each file as a download's (asked before it is replaced).
  template <class Fail>
  bool ValidateReads(const Fail& fail) {
    reads.clear();
    if (readRanges.empty()) fail("No range to read");
    for (const std::string& range : readRanges) {
      package::QN_Download read;
      if (!read.Init(range, "")) {
        fail("Read range " + range + " is not START,LENGTH,FILE");
        continue;
      }
      // A file named with a folder goes there: the user chose it, not a package.
      const std::filesystem::path file = core::PathFromUtf8(read.Filename());
      read.OutputFolder(file.has_parent_path() ? core::Utf8FromPath(file.parent_path())
                                               : outputFolder);
      read.Filename(core::Utf8FromPath(file.filename()));
      const std::int64_t end = std::int64_t{read.StartAddress()} + read.Length();
      const bool inside = std::any_of(
          config.memories.begin(), config.memories.end(), [&](const package::QN_Memory& m) {
            return m.StartAddress() <= read.StartAddress() && m.EndAddress() >= end;
          });
      if (!inside) {
        fail("Read range H" + HexText(read.StartAddress()) + " to H" + HexText(end) +
             " lies in no flash memory of the package");
        continue;
      }
      if (core::SameFile(read.OutputPath(), packagePath)) {
        fail("Read range " + range + " would replace the package itself");
        continue;
      }
      if (!read.Validate(Prompt())) fail(read.GetLastErrorString());
      reads.push_back(read);
    }
    return !readRanges.empty() && reads.size() == readRanges.size();
  }

  UploadPlan Plan() override {
    UploadPlan plan;
    plan.maxProgLen = config.maxProgramBlockLength;
    plan.architecture = config.architectureCode;
    plan.continueFlag = config.continueFlag;
    plan.baudRate = config.baudRate;
    plan.transfer = {config.transferProgram.Filename(), config.transferProgram.LoadAddress(),
                     config.transferProgram.ExecAddress()};
    for (const auto& m : config.memories)
      plan.memories.push_back({m.FlashnameIndex(), m.StartAddress(), m.EndAddress()});
    for (const auto& e : config.erases)
      plan.erases.push_back({e.EraseAddress(), e.Length(), e.EndAddress()});
    if (engine.Operation() == RunOperation::Read) {
      for (const auto& r : reads)
        plan.downloads.push_back(
            {r.OutputPath(), r.StartAddress(), r.Length(), std::string(), r.ReplaceAgreed()});
    } else {
      for (const auto& d : config.downloads)
        plan.downloads.push_back({d.OutputPath(), d.StartAddress(), d.Length(),
                                  d.NameMoved() ? d.Filename() : std::string(), d.ReplaceAgreed()});
    }
    for (const auto& p : config.programs) {
      PlanProgram program{p.Filename(), p.LoadAddress(), p.EndAddress()};
      // A file a download of the same run produces is written back from
      // that read-back, as the validation gave it that download's length.
      for (std::size_t i = 0; i < config.downloads.size(); ++i) {
        if (EqualNoCase(config.downloads[i].Filename(), p.Filename())) {
          program.readBack = static_cast<std::int32_t>(i);
          program.endAddress = static_cast<std::int32_t>(std::min<std::int64_t>(
              std::int64_t{p.LoadAddress()} + config.downloads[i].Length(), INT32_MAX));
          break;
        }
      }
      plan.programs.push_back(program);
    }
    return plan;
  }

  void DisplayConfiguration() override {
    const bool advanced = engine.WizardMode() && engine.View()->AdvancedDisplay();
    bool first = true;
    for (const std::string& piece :
         package::ConfigurationSummary(config, advanced, /*nameDevice=*/true)) {
      engine.Report().SummaryPiece(piece, first);
      first = false;
    }
  }

  bool ReadMember(const std::string& name, std::vector<std::uint8_t>* bytes,
                  std::string* error) override {
    if (Archive().ReadMemberBytes(name, *bytes)) return true;
    *error = Archive().LastError();
    return false;
  }

  std::int64_t MemberSize(const std::string& name) override { return Archive().MemberSize(name); }

  UploadEngine engine;
  package::PackageConfiguration config;
  package::QN_PackageLoader loader;
  package::QN_Prompt* prompt = nullptr;
  NoPrompt noPrompt;
  std::string packagePath;
  std::string language;
  std::string outputFolder;
  std::vector<std::string> readRanges;
  std::vector<package::QN_Download> reads;
  std::string historyFile = DefaultMemoryHistoryFile();
  std::vector<std::string> historyNotes;  // of the last identify run
};

QN_UploadProcess::QN_UploadProcess(const AppRegistry& apps, package::QN_Prompt* prompt)
    : impl_(std::make_unique<Impl>(apps)) {
  impl_->prompt = prompt;
}

QN_UploadProcess::~QN_UploadProcess() = default;

std::int32_t QN_UploadProcess::GetLastError() const {
  return impl_->engine.GetLastError();
}
std::string QN_UploadProcess::GetLastErrorString() const {
  return impl_->engine.GetLastErrorString();
}
void QN_UploadProcess::SetLastError(std::int32_t code) {
  impl_->engine.SetLastError(code);
}
void QN_UploadProcess::SetLastErrorString(const std::string& text) {
  impl_->engine.SetLastErrorString(text);
}

void QN_UploadProcess::ComPort(const std::string& port) {
  Impl& d = *impl_;
  d.engine.SetPort(port);
  d.config.port = port;
  std::string key;
  d.loader.Error().Clear();
  if (d.config.profile)
    key = d.loader.ReadKey(*d.config.profile, d.config.configurationPath, "HOST", port);
  else
    d.loader.SetLastError(package::kErrKeyNotFound);
  if (d.loader.GetLastError() != package::kErrOk) {
    key.clear();
    d.engine.SetLastError(package::kErrOk);
  }
  // A device the package does not list stands in for the package's serial
  // port: "the number 5" would send the technician to the wrong key.
  const std::string name = ports::CanonicalPortName(core::Trim(port));
  const auto& listed = d.config.ports;
  if (key.empty() && ports::IsSerialPort(name) &&
      std::find(listed.begin(), listed.end(), name) == listed.end())
    key = d.config.serialKeyText;
  d.config.keyText = key;
  DisplayConfiguration();
}

const std::string& QN_UploadProcess::ComPort() const {
  return impl_->engine.Port();
}

void QN_UploadProcess::FirmwareLanguage(const std::string& language) {
  Impl& d = *impl_;
  d.language = core::ToUpper(core::Trim(language));
  if (d.config.notLoaded && !d.config.baseLoaded) return;
  if (!d.loader.ReloadPrograms(d.config, d.language)) {
    d.engine.SetLastError(d.loader.GetLastError());
    d.engine.SetLastErrorString(d.loader.Error().LastErrorDetail());
    d.Prompt().Ask("error in language selection", "Pelvane", package::PromptButtons::Ok);
  }
  DisplayConfiguration();
}

const std::string& QN_UploadProcess::FirmwareLanguage() const {
  return impl_->language;
}

void QN_UploadProcess::Cancel() {
  impl_->engine.Cancel();
}

bool QN_UploadProcess::DisplayReadMe() {
  Impl& d = *impl_;
  QN_UploadView* view = d.engine.View();
  if (view != nullptr) view->ShowReadMe("");
  package::PackageArchive& archive = d.Archive();
  if (archive.CountMembers(package::kReadmeMember) < 1) return false;
  // Read in one piece: every piece reads the member from its start, so a
  // large text in the text box's pieces would take time that grows with its
  // square.
  std::string text;
  archive.ReadMemberText(package::kReadmeMember, 0, archive.MemberSize(package::kReadmeMember),
                         text);
  if (view != nullptr) view->ShowReadMe(text);
  return true;
}

bool QN_UploadProcess::UploadWizard_Running() {
  impl_->engine.SetWizardRunning();
  if (QN_UploadView* view = impl_->engine.View()) view->ShowWizard();
  return true;
}

void QN_UploadProcess::Filename(const std::string& member) {
  Impl& d = *impl_;
  const bool ok = d.loader.Load(d.packagePath, d.Prompt(), d.config, core::Trim(member));
  d.engine.SetLastError(ok ? package::kErrOk : d.loader.GetLastError());
  d.engine.SetLastErrorString(ok ? std::string() : d.loader.Error().LastErrorDetail());
  d.engine.SetPort(d.config.port);
  d.language = d.config.firmwareLanguage;
}

void QN_UploadProcess::DisplayConfiguration() {
  impl_->DisplayConfiguration();
}

bool QN_UploadProcess::Upload() {
  Impl& d = *impl_;
  d.historyNotes.clear();
  const bool ok = d.engine.Upload(d);
  if (ok && d.engine.Operation() == RunOperation::Identify) {
    MemoryHistory history(d.historyFile);
    d.historyNotes =
        history.CompareAndRemember(core::FileSha256(d.packagePath), d.engine.Facts().memories,
                                   d.engine.Port(), UtcTimeText(std::chrono::system_clock::now()));
  }
  return ok;
}

void QN_UploadProcess::Operation(RunOperation operation) {
  impl_->engine.SetOperation(operation);
}

RunOperation QN_UploadProcess::Operation() const {
  return impl_->engine.Operation();
}

void QN_UploadProcess::ReadRanges(const std::vector<std::string>& ranges) {
  impl_->readRanges = ranges;
}

bool QN_UploadProcess::Check(RunEstimate* estimate) {
  return impl_->engine.Check(*impl_, estimate);
}

RunStatistics QN_UploadProcess::Statistics() const {
  return impl_->engine.Statistics();
}

void QN_UploadProcess::MemoryHistoryFile(const std::string& file) {
  impl_->historyFile = file;
}

std::vector<std::string> QN_UploadProcess::OutcomeLines() const {
  const Impl& d = *impl_;
  const RunFacts& facts = d.engine.Facts();
  std::vector<std::string> lines;
  switch (d.engine.Operation()) {
    case RunOperation::Update:
      break;
    case RunOperation::Identify:
      for (const MemoryCodes& m : facts.memories)
        lines.push_back("Memory at H" + HexText(m.startAddress) + ": Manufacturer H" +
                        HexText(m.manufacturer) + ", Device H" + HexText(m.device));
      lines.insert(lines.end(), d.historyNotes.begin(), d.historyNotes.end());
      break;
    case RunOperation::Backup:
    case RunOperation::Read:
      for (const auto& [file, bytes] : facts.downloads)
        lines.push_back("Read " + SizeText(bytes) + " into " + file);
      break;
    case RunOperation::VerifyOnly: {
      std::string differences;
      for (const VerifyResult& r : facts.verified)
        if (!r.ok)
          differences +=
              (differences.empty() ? "" : ", ") + r.filename +
              (r.mismatchAddress >= 0 ? " differs at H" + HexText(r.mismatchAddress) : " differs");
      if (d.engine.Cause() == FailureCause::None)
        lines.push_back(kHoldsPackageText);
      else if (!differences.empty())
        lines.push_back(std::string(kDoesNotHoldPackageText) + ": " + differences);
      break;
    }
  }
  return lines;
}

bool QN_UploadProcess::RestartInstrument() const {
  return !impl_->config.continueFlag;
}

core::Status QN_UploadProcess::Advise(QN_UploadProcessEvents* listener, core::Cookie* cookie) {
  return impl_->engine.Advise(listener, cookie);
}

core::Status QN_UploadProcess::Unadvise(core::Cookie cookie) {
  return impl_->engine.Unadvise(cookie);
}

void QN_UploadProcess::PackagePath(const std::string& path) {
  impl_->packagePath = path;
}
const std::string& QN_UploadProcess::PackagePath() const {
  return impl_->packagePath;
}
void QN_UploadProcess::OutputFolder(const std::string& folder) {
  impl_->outputFolder = folder;
}
const std::string& QN_UploadProcess::OutputFolder() const {
  return impl_->outputFolder;
}
void QN_UploadProcess::Verify(bool verify) {
  impl_->engine.SetVerify(verify);
}
void QN_UploadProcess::SetView(QN_UploadView* view) {
  impl_->engine.SetView(view);
}
void QN_UploadProcess::SetPrompt(package::QN_Prompt* prompt) {
  impl_->prompt = prompt;
}
void QN_UploadProcess::TransferOnly(bool transferOnly) {
  impl_->engine.SetTransferOnly(transferOnly);
}
bool QN_UploadProcess::TransferOnly() const {
  return impl_->engine.TransferOnly();
}
void QN_UploadProcess::SetClock(Clock clock) {
  impl_->engine.SetClock(std::move(clock));
}
void QN_UploadProcess::SetTick(std::chrono::milliseconds tick) {
  impl_->engine.SetTick(tick);
}
void QN_UploadProcess::SetIdleTimeout(std::chrono::milliseconds timeout) {
  impl_->engine.SetIdleTimeout(timeout);
}
void QN_UploadProcess::Resend(bool resend) {
  impl_->engine.SetResend(resend);
}
bool QN_UploadProcess::IdleTimedOut() const {
  return impl_->engine.IdleTimedOut();
}
FailureCause QN_UploadProcess::Cause() const {
  return impl_->engine.Cause();
}
std::string QN_UploadProcess::Hint(std::optional<FailureCause> cause) const {
  HintContext context;
  context.port = ports::KindOfPort(impl_->engine.Port());
  context.bootKey = impl_->config.keyText;
  context.portHint = impl_->engine.PortHint();
  context.stage = impl_->engine.Stage();
  return CauseHint(cause.value_or(impl_->engine.Cause()), context);
}
RunStage QN_UploadProcess::Stage() const {
  return impl_->engine.Stage();
}
bool QN_UploadProcess::Loaded() const {
  return !impl_->config.notLoaded;
}
const package::PackageConfiguration& QN_UploadProcess::Configuration() const {
  return impl_->config;
}

}  // namespace pelvane::upload
