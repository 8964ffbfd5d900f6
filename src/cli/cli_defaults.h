// The defaults of a run that come from outside its command line: a bench
// that always uses the same adapter and folder says so once, in the
// environment (PELVANE_PORT, PELVANE_OUTPUT_DIR) or in a small settings file
// (pelvane.conf, "key = value" lines). The command line comes first, then the
// environment, then the file.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace pelvane::cli {

struct CliOptions;

struct DefaultSetting {
  std::string value;
  // Where it came from: "PELVANE_PORT", "/home/ana/.config/pelvane/pelvane.conf
  // line 2"; empty when nothing set it.
  std::string source;
};

struct CliDefaults {
  DefaultSetting port;
  DefaultSetting outputDir;
  std::string configFile;  // where the settings file is looked for; empty: nowhere
  // The settings file exists but cannot be read or holds what it may not;
  // names the file and the line.
  std::string error;
};

using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;

// The defaults from `environment` and the settings file `configFile` (empty:
// none; a file that does not exist sets nothing).
CliDefaults ReadDefaults(const EnvironmentLookup& environment, const std::string& configFile);
// ReadDefaults with the process's environment and the user's pelvane.conf.
CliDefaults SystemDefaults();

// Fills the port and the output folder where the command line left them empty.
void ApplyDefaults(const CliDefaults& defaults, CliOptions& options);

}  // namespace pelvane::cli
