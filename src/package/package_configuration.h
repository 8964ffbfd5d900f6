// Everything loading a firmware package fills in: the values of the
// configuration member "QXCONFIG.INI" and the package items built from it.
// The upload controller holds one; a new load replaces it whole.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "package/package_archive.h"
#include "package/private_profile.h"
#include "package/qn_download.h"
#include "package/qn_erase.h"
#include "package/qn_memory.h"
#include "package/qn_program.h"
#include "package/qn_transfer_program.h"

namespace pelvane::package {

inline constexpr std::int32_t kDefaultMaxProgramBlockLength = 240;
inline constexpr std::int32_t kMaxProgramBlockLengthCap = 4000;

// A file that is removed when its owner goes away.
class TemporaryFile {
 public:
  // Creates a new unique file whose name starts with `prefix` in the system's
  // folder for temporary files ($TMPDIR, else /tmp; on Windows the user's TEMP).
  // Path() is empty when that failed; Error() says why.
  explicit TemporaryFile(const std::string& prefix);
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  const std::string& Path() const { return path_; }
  const std::string& Error() const { return error_; }
  bool Write(const std::string& text);

 private:
  std::string path_;
  std::string error_;
};

struct PackageConfiguration {
  std::string packagePath;
  // The archive at packagePath; items look their files up in it, and the
  // flash sequence reads program blocks through it (PackageArchive::ReadBlock).
  std::shared_ptr<PackageArchive> archive;

  std::int32_t maxProgramBlockLength = kDefaultMaxProgramBlockLength;  // [HOST] MAXPROGLEN
  std::vector<std::string> ports;                                      // [HOST] PORTS
  std::string port;                                                    // [HOST] UART
  std::string keyText;  // [HOST] key named by the port; empty when missing
  // The key text of the package's serial port (UART, or the first serial
  // entry of PORTS when UART is GPIB). A serial device the package does not
  // list (/dev/ttyUSB0, this computer's COM7) stands in for that port and
  // starts the boot monitor with its key.
  std::string serialKeyText;
  std::string baudText;  // [HOST] BAUD as written (upper-cased), shown in the summary
  std::int32_t baudRate = 0;
  std::string processorName;  // [TARGET] PROCESSOR
  std::int32_t processorCode = 0;
  std::int32_t processorFactor = 1;
  std::string architectureName;  // [TARGET] ARCHITECTURE
  std::int32_t architectureCode = 0;
  bool continueFlag = true;  // [HOST] CONTINUE: false only for "NO"

  QN_TransferProgram transferProgram;
  std::vector<QN_Memory> memories;
  std::vector<QN_Erase> erases;
  std::vector<QN_Download> downloads;
  std::vector<QN_Program> programs;

  std::vector<std::string> firmwareLanguages;  // upper-cased
  std::string firmwareLanguage;                // the selected one

  std::int32_t progressWeight = 0;
  std::int32_t eraseMark = 0;
  std::int32_t programBase = 0;

  // The temporary copy of "QXCONFIG.INI"; removed with this configuration.
  std::string configurationPath;
  std::shared_ptr<TemporaryFile> configurationCopy;
  // The parsed configuration, for reloading the program list.
  std::shared_ptr<const PrivateProfile> profile;

  bool notLoaded = true;
  // Every step before the program list succeeded, so reloading the program
  // list for another language may complete the load.
  bool baseLoaded = false;
};

}  // namespace pelvane::package
