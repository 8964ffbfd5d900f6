// The program's command line: legacy "/SWITCH" text or GNU-style options,
// parsed into flags and values. It only parses; the wizard and the
// command-line runner decide what the switches do.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "package/qn_error.h"

namespace pelvane::commandline {

class QN_CommandLine : public package::QN_ErrorHolder {
 public:
  using FileExists = std::function<bool(const std::string&)>;

  // File tests go to the file system unless another test is given.
  QN_CommandLine();
  explicit QN_CommandLine(FileExists fileExists);

  // Legacy text: every "/" starts a switch, so a path holding "/" needs the
  // GNU form. Stores the text and parses it; never stops early, and a later
  // bad switch replaces the error text of an earlier one.
  void CommandLine(const std::string& text);
  const std::string& CommandLine() const { return commandLine_; }

  // The program's arguments (without the program name). A single argument
  // naming a file is the package; arguments holding a legacy switch and no
  // option are joined with blanks and parsed as legacy text; anything else is
  // the GNU form, options with at most one plain argument, the package, and
  // the first usage error is the one reported. An empty list sets nothing.
  void ParseArguments(const std::vector<std::string>& arguments);

  bool Filename() const { return fileFlag_; }
  const std::string& FilePath() const { return filePath_; }
  bool AutoStart() const { return autoStart_; }
  bool TransferOnly() const { return transferOnly_; }
  bool PortSet() const { return portSet_; }
  const std::string& Port() const { return port_; }
  bool Advanced() const { return advanced_; }
  bool FirmwareLanguageSet() const { return firmwareLanguageSet_; }
  const std::string& FirmwareLanguage() const { return firmwareLanguage_; }

  // Not the legacy form.
  bool GnuStyle() const { return gnuStyle_; }
  bool HelpRequested() const { return help_; }
  bool VersionRequested() const { return version_; }

  // The GNU options, one per line, for --help.
  static std::string Usage(const std::string& programName);

 private:
  void ParseLegacy(const std::string& text);
  void ParseGnu(const std::vector<std::string>& arguments);
  // The error text when the file does not exist, else "".
  std::string SetFile(const std::string& path);
  void BadSwitch(const std::string& text);

  FileExists fileExists_;
  std::string commandLine_;
  std::string filePath_;
  bool transferOnly_ = false;
  bool fileFlag_ = false;
  bool autoStart_ = false;
  std::string port_;
  bool portSet_ = false;
  bool firmwareLanguageSet_ = false;
  std::string firmwareLanguage_;
  bool advanced_ = false;
  bool gnuStyle_ = false;
  bool help_ = false;
  bool version_ = false;
};

}  // namespace pelvane::commandline
