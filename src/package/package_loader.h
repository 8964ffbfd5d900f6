// Loading a firmware package's configuration into a PackageConfiguration,
// and the configuration summary shown before an upload.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "package/package_configuration.h"
#include "package/prompt.h"
#include "package/qn_error.h"

namespace pelvane::package {

class QN_PackageLoader : public QN_ErrorHolder {
 public:
  // Loads the configuration member of the package at packagePath into
  // config, replacing everything it held (its temporary copy is removed).
  // On failure returns false with the code and text in this loader's error;
  // config then holds what was read up to the failure and notLoaded is true.
  // `prompt` is handed to the download entries for their Validate question
  // and must outlive config.
  bool Load(const std::string& packagePath, QN_Prompt& prompt, PackageConfiguration& config,
            const std::string& member = kConfigurationMember);

  // Rebuilds the program list for a firmware language (upper-cased and made
  // the selected language): [FILES] PROGRAM... then the language's section,
  // continuing the numbering. Returns false with code 10 (a bad entry).
  bool ReloadPrograms(PackageConfiguration& config, const std::string& language);
  // The same for the selected language.
  bool ReloadPrograms(PackageConfiguration& config);

  // Reads one key by the package rules: default "NA", cut at ";", trimmed;
  // missing, empty or "NA" gives "" and sets code 6 (never clears an error).
  std::string ReadKey(const PrivateProfile& profile, const std::string& configurationPath,
                      const std::string& section, const std::string& key);
};

// Round half to even, as the progress weight is rounded after each addition.
std::int64_t RoundHalfEven(double value);

// The connection instruction (always) and, when advanced, the detail pieces,
// in order. The wizard appends them without separators; other callers may
// print one per line. With `nameDevice` the instruction also names the device
// a COM name opens on this computer ("COM1 (/dev/ttyS0)" on Linux), as a run
// tells the technician; a description of the package alone leaves it out, so
// that it reads the same on every computer.
std::vector<std::string> ConfigurationSummary(const PackageConfiguration& config, bool advanced,
                                              bool nameDevice = false);

}  // namespace pelvane::package
