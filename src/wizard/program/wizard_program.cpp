#include "wizard/program/wizard_program.h"

#include "app/flash_app.h"
#include "package/qn_error.h"

namespace pelvane::wizard {

StartupOptions OptionsFrom(const commandline::QN_CommandLine& commandLine, bool given) {
  StartupOptions options;
  options.given = given;
  options.errorCode = commandLine.GetLastError();
  if (options.errorCode != package::kErrOk) options.errorText = commandLine.GetLastErrorString();
  options.advanced = commandLine.Advanced();
  options.fileFlag = commandLine.Filename();
  options.filePath = commandLine.FilePath();
  options.autoStart = commandLine.AutoStart();
  options.portSet = commandLine.PortSet();
  options.port = commandLine.Port();
  options.languageSet = commandLine.FirmwareLanguageSet();
  options.language = commandLine.FirmwareLanguage();
  return options;
}

WizardProgram::WizardProgram(const std::vector<std::string>& arguments, package::QN_Prompt* prompt)
    : scopedLoop_(loop_), apps_(app::DefaultAppRegistry()), prompt_(prompt ? prompt : &boxes_) {
  given_ = !arguments.empty();
  if (given_) commandLine_.ParseArguments(arguments);
  process_ = std::make_unique<upload::QN_UploadProcess>(apps_, prompt_);
  // Read by the controller whenever a run starts, even after a bad switch
  // made the wizard ignore the others.
  process_->TransferOnly(commandLine_.TransferOnly());
  backend_ = std::make_unique<UploadBackend>(*process_);
  window_ = std::make_unique<frmWizard>(*backend_, *prompt_);
  boxes_.SetParent(window_.get());
}

WizardProgram::~WizardProgram() {
  // The window detaches itself from the controller as it goes.
  window_.reset();
  backend_.reset();
  process_.reset();
}

StartupOutcome WizardProgram::Open() {
  return window_->Open(OptionsFrom(commandLine_, given_));
}

}  // namespace pelvane::wizard
