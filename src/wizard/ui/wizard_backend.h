// What the wizard window needs from the rest of the program: the package
// archives it lists and the upload controller it drives. The program passes
// the real controller (UploadBackend); tests of the screens pass their own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "upload/run_operation.h"
#include "upload/upload_view.h"

namespace pelvane::wizard {

class WizardBackend {
 public:
  virtual ~WizardBackend() = default;

  // The package archives.
  // True when the file is an archive holding "QXCONFIG.INI".
  virtual bool IsPackage(const std::string& path) = 0;
  // The archive comment; empty when it has none.
  virtual std::string ArchiveComment(const std::string& path) = 0;
  // The first 256 characters of "QXNOTES.TXT"; empty when it has none.
  virtual std::string PackageNotes(const std::string& path) = 0;
  // The whole of "Final.txt"; nothing when the package has none.
  virtual std::optional<std::string> FinalText(const std::string& path) = 0;

  // The upload controller.
  virtual void SetView(upload::QN_UploadView* view) = 0;
  virtual bool UploadWizard_Running() = 0;
  virtual void PackagePath(const std::string& path) = 0;
  // Loads the configuration member of the current package; the outcome is in
  // GetLastError.
  virtual void Filename(const std::string& member) = 0;
  virtual void DisplayConfiguration() = 0;
  virtual bool DisplayReadMe() = 0;
  virtual void ComPort(const std::string& port) = 0;
  virtual std::string ComPort() const = 0;
  virtual void FirmwareLanguage(const std::string& language) = 0;
  virtual std::string FirmwareLanguage() const = 0;
  // The folder the read-back files go to; empty: the current folder.
  virtual void OutputFolder(const std::string& folder) = 0;
  // Read each programmed file back and compare it after its checksum matched.
  virtual void Verify(bool verify) = 0;
  virtual bool Upload() = 0;
  // A look at the instrument that changes nothing in it (Identify,
  // VerifyOnly): the same run as Upload, after which the wizard stays where
  // it is; true when it went through.
  virtual bool Check(upload::RunOperation operation) = 0;
  // What the last check found, as the user reads it (the memories and their
  // codes, whether the instrument holds the package).
  virtual std::vector<std::string> CheckOutcome() const = 0;
  virtual void Cancel() = 0;
  virtual bool RestartInstrument() const = 0;
  virtual bool TransferOnly() const = 0;
  virtual std::int32_t GetLastError() const = 0;
  virtual std::string GetLastErrorString() const = 0;
  // What the user can do about the last run's failure (the hint the
  // command-line runner prints); empty after a success.
  virtual std::string FailureHint() const = 0;

  // The lists of the loaded configuration, and its preselected entries.
  virtual std::vector<std::string> Ports() const = 0;
  virtual std::string DefaultPort() const = 0;
  virtual std::vector<std::string> FirmwareLanguages() const = 0;
  virtual std::string DefaultFirmwareLanguage() const = 0;
};

}  // namespace pelvane::wizard
