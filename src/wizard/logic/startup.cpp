#include "wizard/logic/startup.h"

#include "core/text.h"
#include "package/qn_error.h"
#include "ports/kind/device_name.h"

namespace pelvane::wizard {

namespace {

using package::PromptAnswer;
using package::PromptButtons;

// Looks for the value among the list's entries, first to last. The lists a
// package fills are upper case, so the value is compared upper-cased; device
// paths are compared as given too (Linux paths are case-sensitive).
bool InList(const std::vector<std::string>& entries, const std::string& value) {
  const std::string upper = core::ToUpper(value);
  for (const std::string& entry : entries)
    if (entry == upper || (ports::IsDevicePath(value) && entry == value)) return true;
  return false;
}

}  // namespace

std::string ConfigurationErrorText(const std::string& loadError) {
  std::string why = loadError;
  why.erase(0, why.find_first_not_of("\r\n "));
  return why.empty() ? "Error Occurred reading configuration file"
                     : "Error Occurred reading configuration file\n\n" + why;
}

StartupOutcome ApplyCommandLine(const StartupOptions& options, StartupHost& host) {
  if (!options.given) {
    host.ShowStep(kStepSelect, Direction::None);
    return StartupOutcome::Running;
  }
  if (options.errorCode != package::kErrOk) {
    if (host.Ask(options.errorText, "Invalid Command Line Switch", PromptButtons::OkCancel) ==
        PromptAnswer::Cancel)
      return StartupOutcome::ExitRequested;
    host.ShowStep(kStepSelect, Direction::None);
    return StartupOutcome::Running;
  }

  if (options.advanced) host.SetAdvancedDisplay(true);

  if (!options.fileFlag) {
    host.ShowStep(kStepSelect, Direction::None);
    return StartupOutcome::Running;
  }

  host.AddPackage(options.filePath);
  if (!host.LoadConfiguration()) {
    if (host.Ask(ConfigurationErrorText(host.LoadError()), kApplicationTitle,
                 PromptButtons::OkCancel) == PromptAnswer::Cancel)
      return StartupOutcome::ExitRequested;
    host.ShowStep(kStepSelect, Direction::None);
    return StartupOutcome::Running;
  }

  if (options.languageSet) {
    if (InList(host.LanguageEntries(), options.language)) {
      host.SelectLanguage(options.language);
    } else if (host.Ask("Invalid Command Line Switch /FIRMWARE_LANGUAGE" +
                            core::ToUpper(options.language),
                        kApplicationTitle, PromptButtons::OkCancel) == PromptAnswer::Cancel) {
      return StartupOutcome::ExitRequested;
    }
  }

  if (options.portSet) {
    if (!InList(host.PortEntries(), options.port) && ports::DevicePresent(options.port))
      host.AddPortEntry(options.port);
    if (InList(host.PortEntries(), options.port)) {
      host.SelectPort(options.port);
    } else if (host.Ask("Invalid Command Line Switch /PORT" + core::ToUpper(options.port),
                        kApplicationTitle, PromptButtons::OkCancel) == PromptAnswer::Cancel) {
      return StartupOutcome::ExitRequested;
    }
  }

  if (options.autoStart) {
    host.DisplayConfiguration();
    host.ShowStep(kStepUpload, Direction::Next);
  } else {
    host.ShowStep(kStepIntroduction, Direction::Next);
  }
  return StartupOutcome::Running;
}

}  // namespace pelvane::wizard
