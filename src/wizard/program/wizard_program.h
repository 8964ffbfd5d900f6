// The wizard program put together: the owner thread's message loop on Qt, the
// upload controller with the application layer, the command line and the
// window. main() runs one; the end-to-end tests run one with their own
// answers to the questions.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/iqx_app.h"
#include "commandline/qn_command_line.h"
#include "core/class_registry.h"
#include "core/message_loop.h"
#include "upload/qn_upload_process.h"
#include "wizard/logic/startup.h"
#include "wizard/program/upload_backend.h"
#include "wizard/ui/frm_wizard.h"
#include "wizard/ui/message_box_prompt.h"
#include "wizard/ui/qt_message_loop.h"

namespace pelvane::wizard {

// What start-up needs from a parsed command line.
StartupOptions OptionsFrom(const commandline::QN_CommandLine& commandLine, bool given);

class WizardProgram {
 public:
  // `arguments` without the program's name. `prompt` answers the questions;
  // message boxes on the window when none is given. Needs a QApplication.
  explicit WizardProgram(const std::vector<std::string>& arguments,
                         package::QN_Prompt* prompt = nullptr);
  ~WizardProgram();
  WizardProgram(const WizardProgram&) = delete;
  WizardProgram& operator=(const WizardProgram&) = delete;

  const commandline::QN_CommandLine& CommandLine() const { return commandLine_; }
  // Shows the window and applies the command line.
  StartupOutcome Open();

  frmWizard& Window() { return *window_; }
  upload::QN_UploadProcess& Process() { return *process_; }
  QtMessageLoop& Loop() { return loop_; }

 private:
  commandline::QN_CommandLine commandLine_;
  bool given_ = false;
  // The loop is installed before the controller exists, so that the session
  // it creates for a run relays its notices through Qt.
  QtMessageLoop loop_;
  core::ScopedMessageLoop scopedLoop_;
  core::ClassRegistry<app::IQX_App> apps_;
  MessageBoxPrompt boxes_;
  package::QN_Prompt* prompt_;
  std::unique_ptr<upload::QN_UploadProcess> process_;
  std::unique_ptr<UploadBackend> backend_;
  std::unique_ptr<frmWizard> window_;
};

}  // namespace pelvane::wizard
