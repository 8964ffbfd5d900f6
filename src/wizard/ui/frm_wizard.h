// The wizard window: five steps (choose a package, read its notes, confirm
// port and firmware language, upload, result) with a navigation bar below.
// It drives the upload controller through WizardBackend and is the
// controller's view of the upload while a run lasts.
//
// Threading: GUI thread only. An upload runs inside ShowStep(3, next); the
// controller's waits keep the event loop turning, so the window repaints and
// Cancel is pressed while Upload is on the stack. Everything that would start
// a second run or destroy the window under the running one is held back until
// the run has returned.
#pragma once

#include <QDialog>
#include <QString>
#include <array>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "package/prompt.h"
#include "ports/devices/serial_devices.h"
#include "upload/run_operation.h"
#include "upload/upload_view.h"
#include "wizard/logic/action_log.h"
#include "wizard/logic/navigation.h"
#include "wizard/logic/startup.h"
#include "wizard/ui/transfer_animation.h"

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QVBoxLayout;

namespace pelvane::wizard {

class HelpWindow;
class WizardBackend;

class frmWizard final : public QDialog, public upload::QN_UploadView, private StartupHost {
  Q_OBJECT

 public:
  // Asks for a file: (caption, filter, suggested path) -> chosen path, empty
  // when the user cancelled. Tests put their own in place of the dialogs.
  using FileChooser = std::function<QString(const QString&, const QString&, const QString&)>;

  // `prompt` shows the message boxes; both must outlive the window.
  frmWizard(WizardBackend& backend, package::QN_Prompt& prompt, QWidget* parent = nullptr);
  ~frmWizard() override;

  // The opening sequence: captions are loaded already; tells the controller
  // that it runs inside the wizard and applies the command line. An upload
  // started with "AUTOSTART" runs inside this call.
  StartupOutcome Open(const StartupOptions& options);

  void ShowStep(int step, Direction direction) override;
  // Navigation button press by index 0..4 (Help, Cancel, Back, Next, Exit).
  void PressNavigation(NavButton button);

  int CurrentStep() const { return currentStep_; }
  bool FinishFlag() const { return finishFlag_; }
  bool HelpShown() const { return helpShown_; }
  bool UploadRunning() const { return uploadRunning_; }
  int PackageCount() const { return static_cast<int>(packagePaths_.size()); }
  const ActionLog& Actions() const { return actions_; }
  HelpWindow* Help() const { return help_; }

  void SetOpenFileChooser(FileChooser chooser) { openChooser_ = std::move(chooser); }
  void SetSaveFileChooser(FileChooser chooser) { saveChooser_ = std::move(chooser); }
  // Asks for the folder of the read-back files: (caption, "", current) -> folder.
  void SetFolderChooser(FileChooser chooser) { folderChooser_ = std::move(chooser); }
  // The folder searched for packages when step 0 is entered (default: the
  // current folder).
  void SetSearchFolder(const QString& folder) { searchFolder_ = folder; }
  // A folder to look for serial devices in by name, instead of the machine's
  // device list (tests and screenshots use a folder of their own).
  void SetDeviceFolder(const QString& folder) { deviceFolder_ = folder; }

  // Adds a package to the list as the Browse button does, with its messages.
  void BrowsePackage();
  void SaveLog();

  // QN_UploadView
  void ShowWizard() override;
  void ShowAction(const std::string& text) override;
  void ShowCancellation(const std::string& text) override;
  void ShowStepProgress(const std::string& text, int percent) override;
  void ShowOverallProgress(std::int32_t value, std::int32_t weight) override;
  void ShowAnimationFrame(int frame) override;
  void EnableNavigation(bool enabled) override;
  void ShowResult() override;
  void ShowReadMe(const std::string& text) override;
  void ClearSummary() override;
  void AppendSummary(const std::string& piece) override;
  bool AdvancedDisplay() const override { return advancedDisplay_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override;  // Escape

 private:
  // StartupHost
  package::PromptAnswer Ask(const std::string& text, const std::string& caption,
                            package::PromptButtons buttons) override;
  void SetAdvancedDisplay(bool on) override;
  void AddPackage(const std::string& path) override;
  bool LoadConfiguration() override;
  std::string LoadError() const override;
  std::vector<std::string> PortEntries() const override;
  std::vector<std::string> LanguageEntries() const override;
  void SelectPort(const std::string& text) override;
  void SelectLanguage(const std::string& text) override;
  void AddPortEntry(const std::string& path) override;
  void DisplayConfiguration() override;

  void BuildUi();
  // A step's frame with its title on top; the step's controls go into the
  // layout it returns.
  QVBoxLayout* NewStepFrame(int step);
  QFrame* BuildSelectStep();
  QFrame* BuildIntroductionStep();
  QFrame* BuildSettingsStep();
  // The settings step's groups: port and languages, the read-back folder and
  // verification, the look at the instrument.
  void AddConnectionChoices(QFrame* frame, QVBoxLayout* layout);
  void AddOutputChoices(QFrame* frame, QVBoxLayout* layout);
  void AddInstrumentCheck(QFrame* frame, QVBoxLayout* layout);
  QFrame* BuildUploadStep();
  QFrame* BuildFinishedStep();

  void ApplyNavigation();
  void OnHelp();
  void OnCancel();
  void OnNext();
  void OnExit();
  void OnPackageSelected();
  // The path of the package selected in the list; null when none is.
  const std::string* SelectedPackage() const;
  void OnPortChosen();
  void OnLanguageChosen();
  void SyncListsToController();
  void SearchFolderForPackages();
  bool TryAddPackage(const std::string& path);
  void FillListsFromConfiguration();
  void FillSerialDevices();
  void UpdatePortDescription();
  void RunUploadStep();
  // Identify or Verify Only from the Settings step: a run that changes
  // nothing, whose outcome shows on the step itself.
  void RunCheck(upload::RunOperation operation);
  std::string ResultText(bool ok, const std::optional<std::string>& finalText) const;

  WizardBackend& backend_;
  package::QN_Prompt& prompt_;
  FileChooser openChooser_;
  FileChooser saveChooser_;
  FileChooser folderChooser_;
  QString searchFolder_;
  QString deviceFolder_;  // empty: the machine's devices, refreshed as they come and go
  ports::SerialDeviceMonitor deviceMonitor_;

  int currentStep_ = 0;
  bool advancedDisplay_ = false;
  bool finishFlag_ = false;
  bool helpShown_ = false;
  bool packageFromCommandLine_ = false;
  bool uploadRunning_ = false;
  bool checkRunning_ = false;  // the run is Identify's or Verify Only's
  bool finishedRun_ = false;   // a run ended and its result is on the Finished step
  bool closeAfterUpload_ = false;
  // The path of each entry of the package list, by the number its row holds.
  std::vector<std::string> packagePaths_;
  std::map<std::string, std::string> portDescriptions_;
  ActionLog actions_;
  AnimationFrames frames_;

  QStackedWidget* steps_ = nullptr;
  std::array<QFrame*, kStepCount> fraStep_{};
  std::array<QLabel*, kStepCount> lblStep_{};
  std::array<QPushButton*, kNavButtonCount> cmdNav_{};
  QListWidget* lstPackages_ = nullptr;
  QPushButton* cmdBrowse_ = nullptr;
  QLabel* lblNotes_ = nullptr;
  QPlainTextEdit* txtReadme_ = nullptr;
  QComboBox* cmbPorts_ = nullptr;
  QLabel* lblPortDescription_ = nullptr;
  QComboBox* cmbFirmwareLanguage_ = nullptr;
  QComboBox* cmbHelpLanguage_ = nullptr;
  QLabel* lblHelpLanguage_ = nullptr;
  QLineEdit* txtOutputFolder_ = nullptr;  // empty: the current folder
  QCheckBox* chkVerify_ = nullptr;        // remembered with QSettings
  QPushButton* cmdIdentify_ = nullptr;
  QPushButton* cmdVerifyOnly_ = nullptr;
  QProgressBar* pboxCheck_ = nullptr;  // how far Identify or Verify Only is
  QLabel* lblCheck_ = nullptr;         // what it found
  QLabel* lblConfirm_ = nullptr;
  QProgressBar* pboxEntireProcess_ = nullptr;
  QLabel* lblActionText_ = nullptr;
  QProgressBar* pboxStep_ = nullptr;
  QListWidget* lstStep_ = nullptr;
  QLabel* imgStep3_ = nullptr;
  QLabel* lblFinished_ = nullptr;
  QLabel* lblHint_ = nullptr;  // a failed run's hint
  QPushButton* cmdSaveLog_ = nullptr;
  QLabel* lblRunLog_ = nullptr;  // where the run's trace was written
  HelpWindow* help_ = nullptr;
};

}  // namespace pelvane::wizard
