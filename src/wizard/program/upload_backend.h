// The wizard's backend in the program: the upload controller and the package
// archives on disk.
#pragma once

#include "upload/qn_upload_process.h"
#include "wizard/ui/wizard_backend.h"

namespace pelvane::wizard {

class UploadBackend final : public WizardBackend {
 public:
  explicit UploadBackend(upload::QN_UploadProcess& process) : process_(process) {}

  bool IsPackage(const std::string& path) override;
  std::string ArchiveComment(const std::string& path) override;
  std::string PackageNotes(const std::string& path) override;
  std::optional<std::string> FinalText(const std::string& path) override;

  void SetView(upload::QN_UploadView* view) override { process_.SetView(view); }
  bool UploadWizard_Running() override { return process_.UploadWizard_Running(); }
  void PackagePath(const std::string& path) override { process_.PackagePath(path); }
  void Filename(const std::string& member) override { process_.Filename(member); }
  void DisplayConfiguration() override { process_.DisplayConfiguration(); }
  bool DisplayReadMe() override { return process_.DisplayReadMe(); }
  void ComPort(const std::string& port) override { process_.ComPort(port); }
  std::string ComPort() const override { return process_.ComPort(); }
  void FirmwareLanguage(const std::string& language) override {
    process_.FirmwareLanguage(language);
  }
  std::string FirmwareLanguage() const override { return process_.FirmwareLanguage(); }
  void OutputFolder(const std::string& folder) override { process_.OutputFolder(folder); }
  void Verify(bool verify) override { process_.Verify(verify); }
  bool Upload() override { return process_.Upload(); }
  bool Check(upload::RunOperation operation) override;
  std::vector<std::string> CheckOutcome() const override { return process_.OutcomeLines(); }
  void Cancel() override { process_.Cancel(); }
  bool RestartInstrument() const override { return process_.RestartInstrument(); }
  bool TransferOnly() const override { return process_.TransferOnly(); }
  std::int32_t GetLastError() const override { return process_.GetLastError(); }
  std::string GetLastErrorString() const override { return process_.GetLastErrorString(); }
  std::string FailureHint() const override { return process_.Hint(); }

  std::vector<std::string> Ports() const override;
  std::string DefaultPort() const override;
  std::vector<std::string> FirmwareLanguages() const override;
  std::string DefaultFirmwareLanguage() const override;

 private:
  upload::QN_UploadProcess& process_;
};

}  // namespace pelvane::wizard
