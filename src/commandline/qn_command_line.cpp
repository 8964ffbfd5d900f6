#include "commandline/qn_command_line.h"

#include <cctype>
#include <filesystem>
#include <utility>

#include "core/files.h"
#include "core/text.h"
#include "options/options.h"
#include "package/item_parsing.h"

namespace pelvane::commandline {

namespace {

bool ExistsOnDisk(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(core::PathFromUtf8(path), ec);
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

QN_CommandLine::QN_CommandLine() : fileExists_(&ExistsOnDisk) {}

QN_CommandLine::QN_CommandLine(FileExists fileExists) : fileExists_(std::move(fileExists)) {
  if (!fileExists_) fileExists_ = &ExistsOnDisk;
}

void QN_CommandLine::BadSwitch(const std::string& text) {
  SetLastError(package::kErrCommandLineSwitch);
  SetLastErrorString(text);
}

void QN_CommandLine::CommandLine(const std::string& text) {
  commandLine_ = text;
  ParseLegacy(text);
}

void QN_CommandLine::ParseLegacy(const std::string& text) {
  std::vector<std::string> elements = package::Split(text, '/');
  // Whatever stands before the first "/" is not a switch and is ignored.
  for (std::size_t i = 1; i < elements.size(); ++i) {
    std::string element = core::Trim(elements[i]);
    if (element == "TRANSFERONLY") {
      transferOnly_ = true;
    } else if (element == "AUTOSTART") {
      autoStart_ = true;
    } else if (StartsWith(element, "PORT")) {
      portSet_ = true;
      port_ = element.substr(4);
      // "/PORT/dev/ttyUSB0": the value is the rest of the argument, slashes
      // and all, up to the blank that ends it.
      if (port_.empty() && elements[i].find_first_of(" \t") == std::string::npos) {
        while (i + 1 < elements.size()) {
          const std::string& part = elements[++i];
          const std::size_t blank = part.find_first_of(" \t");
          port_ += "/" + part.substr(0, blank);
          if (blank != std::string::npos) break;
        }
      }
    } else if (element == "ADV_DISPLAY") {
      advanced_ = true;
    } else if (StartsWith(element, "FIRMWARE_LANGUAGE")) {
      firmwareLanguageSet_ = true;
      firmwareLanguage_ = element.substr(17);
    } else if (StartsWith(element, "F")) {
      filePath_ = element.substr(1);
      if (fileExists_(filePath_)) {
        fileFlag_ = true;
      } else {
        fileFlag_ = false;
        BadSwitch(" /" + element);
      }
    } else {
      BadSwitch(" /" + element);
    }
  }
}

namespace {

constexpr options::Option kOptions[] = {
    {.name = "file", .value = "PATH", .help = "open the firmware package at PATH"},
    {.name = "port",
     .value = "NAME",
     .help = "preselect the port: a name of the package's PORTS, a device path such as "
             "/dev/ttyUSB0, or GPIB"},
    {.name = "language", .value = "NAME", .help = "preselect the firmware language"},
    {.name = "autostart", .help = "start the upload at once (needs a package)"},
    {.name = "transfer-only", .help = "upload and start only the transfer program"},
    {.name = "advanced", .help = "show every detail of the configuration and the upload"},
    {.name = "help", .help = "show this text and exit", .letter = 'h'},
    {.name = "version", .help = "show the program's name and version and exit"},
};

// An argument that starts with a legacy switch. The names count in any case,
// so that a switch in the wrong case is reported as a bad switch rather than
// as a missing file; only the package switch "F" must be upper case, since
// so many paths start with "/f".
bool IsLegacySwitch(const std::string& argument) {
  if (argument.size() < 2 || argument.front() != '/') return false;
  const std::string name = argument.substr(1, argument.find_first_of(" /", 1) - 1);
  const std::string upper = core::ToUpper(name);
  return upper == "TRANSFERONLY" || upper == "AUTOSTART" || upper == "ADV_DISPLAY" ||
         StartsWith(upper, "PORT") || StartsWith(upper, "FIRMWARE_LANGUAGE") ||
         (!name.empty() && name.front() == 'F');
}

}  // namespace

void QN_CommandLine::ParseArguments(const std::vector<std::string>& arguments) {
  if (arguments.empty()) return;
  std::string joined;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i) joined += ' ';
    joined += arguments[i];
  }
  // A file manager passes one path, which may start with "/" and hold blanks;
  // it is a package when it names a file. Otherwise the legacy text is known
  // by its switches, and anything with an option in it is the GNU form.
  bool gnu = arguments.size() == 1 && fileExists_(arguments.front());
  for (const std::string& argument : arguments) gnu = gnu || StartsWith(argument, "-");
  bool legacy = false;
  for (const std::string& argument : arguments) legacy = legacy || IsLegacySwitch(argument);
  if (!gnu && legacy) {
    CommandLine(joined);
    return;
  }
  commandLine_ = joined;
  gnuStyle_ = true;
  ParseGnu(arguments);
}

std::string QN_CommandLine::SetFile(const std::string& path) {
  filePath_ = path;
  fileFlag_ = fileExists_(path);
  return fileFlag_ ? "" : "no such file: " + path;
}

void QN_CommandLine::ParseGnu(const std::vector<std::string>& arguments) {
  bool plainPackage = false;
  const std::string error =
      options::Parse(kOptions, arguments, [&](const options::Argument& a) -> std::string {
        if (a.option == nullptr) {
          if (plainPackage) return "unexpected argument " + a.value;
          plainPackage = true;
          return SetFile(a.value);
        }
        if (a.Is("file")) return SetFile(a.value);
        if (a.Is("port")) {
          portSet_ = true;
          port_ = a.value;
        } else if (a.Is("language")) {
          firmwareLanguageSet_ = true;
          firmwareLanguage_ = a.value;
        } else if (a.Is("autostart")) {
          autoStart_ = true;
        } else if (a.Is("transfer-only")) {
          transferOnly_ = true;
        } else if (a.Is("advanced")) {
          advanced_ = true;
        } else if (a.Is("help")) {
          help_ = true;
        } else if (a.Is("version")) {
          version_ = true;
        }
        return "";
      });
  if (!error.empty()) BadSwitch(": " + error);
}

std::string QN_CommandLine::Usage(const std::string& programName) {
  return "Usage: " + programName + " [OPTIONS] [PACKAGE]\n" +  //
         "       " + programName +
         " [/FPACKAGE] [/PORTNAME] [/FIRMWARE_LANGUAGENAME] [/AUTOSTART]\n"
         "               [/TRANSFERONLY] [/ADV_DISPLAY]\n"
         "\n"
         "Loads new firmware into a measuring instrument, one step after the other.\n"
         "PACKAGE, or --file PATH, opens a firmware package (.qxpkg).\n"
         "\n" +
         options::HelpLines(kOptions) +
         "\n"
         "The legacy switches stand for --file, --port, --language, --autostart,\n"
         "--transfer-only and --advanced; a path given with /F cannot hold \"/\".\n"
         "\n"
         "Exit status: 0 when the window was closed, 1 when a start-up question was\n"
         "answered with Cancel.\n";
}

}  // namespace pelvane::commandline
