#include "cli/cli_defaults.h"

#include <sstream>
#include <vector>

#include "cli/cli_options.h"
#include "core/files.h"
#include "core/program.h"
#include "core/text.h"

namespace pelvane::cli {

namespace {

// A settings file is a few lines; anything larger is not one.
constexpr std::size_t kConfigLimit = 64 * 1024;

struct Key {
  const char* file;         // the key in pelvane.conf
  const char* environment;  // the variable
  DefaultSetting CliDefaults::*setting;
};
constexpr Key kKeys[] = {{"port", "PELVANE_PORT", &CliDefaults::port},
                         {"output-dir", "PELVANE_OUTPUT_DIR", &CliDefaults::outputDir}};

// Reads "key = value" lines; '#' or ';' starts a comment line. Fills only
// what is not set yet; the first fault ends the reading with its line.
void ReadConfigFile(CliDefaults& defaults) {
  const std::string& file = defaults.configFile;
  std::vector<std::uint8_t> bytes;
  std::string reason;
  switch (core::ReadWholeFile(file, kConfigLimit, &bytes, &reason)) {
    case core::ReadOutcome::kRead:
      break;
    case core::ReadOutcome::kMissing:
      return;
    case core::ReadOutcome::kNotRegular:
      defaults.error = file + " is not a regular file";
      return;
    case core::ReadOutcome::kTooLarge:
      defaults.error = file + " is larger than a settings file can be";
      return;
    case core::ReadOutcome::kFailed:
      defaults.error = file + ": " + reason;
      return;
  }
  std::istringstream lines(std::string(bytes.begin(), bytes.end()));
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    const std::string where = file + " line " + std::to_string(number);
    line = core::Trim(line);
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    const auto equals = line.find('=');
    if (equals == std::string::npos) {
      defaults.error = where + ": \"" + line + "\" is not key = value";
      return;
    }
    const std::string key = core::Trim(line.substr(0, equals));
    const std::string value = core::Trim(line.substr(equals + 1));
    const Key* known = nullptr;
    for (const Key& k : kKeys)
      if (key == k.file) known = &k;
    if (known == nullptr) {
      defaults.error = where + ": unknown key \"" + key + "\" (known: port, output-dir)";
      return;
    }
    if (value.empty()) {
      defaults.error = where + ": " + key + " has no value";
      return;
    }
    DefaultSetting& setting = defaults.*(known->setting);
    if (setting.source.empty()) setting = {value, where};
  }
}

std::string DefaultConfigFile() {
  const std::string folder = core::ConfigFolder();
  if (folder.empty()) return {};
  return core::Utf8FromPath(core::PathFromUtf8(folder) / core::PathFromUtf8("pelvane.conf"));
}

}  // namespace

CliDefaults ReadDefaults(const EnvironmentLookup& environment, const std::string& configFile) {
  CliDefaults defaults;
  defaults.configFile = configFile;
  for (const Key& key : kKeys) {
    const std::optional<std::string> value = environment(key.environment);
    if (value && !value->empty()) defaults.*(key.setting) = {*value, key.environment};
  }
  if (!configFile.empty()) ReadConfigFile(defaults);
  return defaults;
}

CliDefaults SystemDefaults() {
  return ReadDefaults([](const char* name) { return core::EnvironmentValue(name); },
                      DefaultConfigFile());
}

void ApplyDefaults(const CliDefaults& defaults, CliOptions& options) {
  // A station's ports are all on its command line.
  if (options.port.empty() && !options.portsFromList && !defaults.port.value.empty()) {
    options.port = defaults.port.value;
    options.ports = {options.port};
  }
  if (options.outputDir.empty()) options.outputDir = defaults.outputDir.value;
}

}  // namespace pelvane::cli
