#include "commandline/qn_command_line.h"

#include <filesystem>
#include <utility>

#include "package/item_parsing.h"

namespace pelvane::commandline {

namespace {

bool ExistsOnDisk(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
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
    std::string element = package::Trim(elements[i]);
    if (element == "TRANSFERONLY") {
      transferOnly_ = true;
    } else if (element == "AUTOSTART") {
      autoStart_ = true;
    } else if (StartsWith(element, "PORT")) {
      portSet_ = true;
      port_ = element.substr(4);
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

void QN_CommandLine::ParseArguments(const std::vector<std::string>& arguments) {
  if (arguments.empty()) return;
  std::string joined;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i) joined += ' ';
    joined += arguments[i];
  }
  if (StartsWith(arguments.front(), "--")) {
    commandLine_ = joined;
    gnuStyle_ = true;
    ParseGnu(arguments);
    return;
  }
  CommandLine(joined);
}

void QN_CommandLine::SetFile(const std::string& path) {
  filePath_ = path;
  fileFlag_ = fileExists_(path);
  if (!fileFlag_) BadSwitch(" --file " + path + ": no such file");
}

void QN_CommandLine::ParseGnu(const std::vector<std::string>& arguments) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string option = arguments[i];
    std::string value;
    bool hasValue = false;
    if (std::size_t eq = option.find('='); StartsWith(option, "--") && eq != std::string::npos) {
      value = option.substr(eq + 1);
      option = option.substr(0, eq);
      hasValue = true;
    }
    auto takeValue = [&]() {
      if (hasValue) return true;
      if (i + 1 < arguments.size()) {
        value = arguments[++i];
        return true;
      }
      BadSwitch(" " + option + ": a value is missing");
      return false;
    };
    auto noValue = [&]() {
      if (hasValue) BadSwitch(" " + option + ": takes no value");
      return !hasValue;
    };
    if (option == "--file") {
      if (takeValue()) SetFile(value);
    } else if (option == "--port") {
      if (takeValue()) {
        portSet_ = true;
        port_ = value;
      }
    } else if (option == "--language") {
      if (takeValue()) {
        firmwareLanguageSet_ = true;
        firmwareLanguage_ = value;
      }
    } else if (option == "--autostart") {
      if (noValue()) autoStart_ = true;
    } else if (option == "--transfer-only") {
      if (noValue()) transferOnly_ = true;
    } else if (option == "--advanced") {
      if (noValue()) advanced_ = true;
    } else if (option == "--help") {
      if (noValue()) help_ = true;
    } else if (option == "--version") {
      if (noValue()) version_ = true;
    } else if (StartsWith(option, "-")) {
      BadSwitch(" " + option + ": unknown option");
    } else {
      BadSwitch(" " + option + ": unexpected argument");
    }
  }
}

std::string QN_CommandLine::Usage(const std::string& programName) {
  return "Usage: " + programName +
         " [options]\n"
         "  --file PATH        open the firmware package at PATH\n"
         "  --port NAME        preselect the port (a name of the package's PORTS,\n"
         "                     a device path such as /dev/ttyUSB0, or GPIB)\n"
         "  --language NAME    preselect the firmware language\n"
         "  --autostart        start the upload at once (needs --file)\n"
         "  --transfer-only    upload and start only the transfer program\n"
         "  --advanced         show every detail of the configuration and the upload\n"
         "  --help             show this text\n"
         "  --version          show the program version\n"
         "The legacy form is accepted as well: /FPATH /PORTNAME /FIRMWARE_LANGUAGENAME\n"
         "/AUTOSTART /TRANSFERONLY /ADV_DISPLAY\n";
}

}  // namespace pelvane::commandline
