// The package the end-to-end tests upload into pelvane-sim: the [HOST] and
// [TARGET] keys they all share (a 64 KiB flash at 0x10000, blocks of 100
// bytes, a transfer program), with what each test adds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "package/package_writer.h"
#include "support/test_files.h"

namespace pelvane::test {

struct SimPackage {
  std::string host;     // more [HOST] lines: "CONTINUE=NO\nFIRMWARE_LANGUAGES=...\n"
  std::string target;   // more [TARGET] lines: "MEMORY1=...\nERASE=...\n"
  std::string files;    // the [FILES] section and the language sections
  std::string comment;  // the package's name in the wizard
  std::vector<std::pair<std::string, std::vector<std::uint8_t>>> members;  // besides XFER.BIN

  std::string Configuration() const {
    return "[HOST]\nMAXPROGLEN=100\nPORTS=COM1,GPIB\nUART=COM1\nBAUD=115200\n" + host +
           "TRANSFER=XFER.BIN,0x8000,0x8004\n"
           "[TARGET]\nPROCESSOR=I80X86\nARCHITECTURE=B8\nMEMORY=0x10000,0x10000,AM29F010\n" +
           target + files;
  }

  // Writes the package with `configuration` (empty: Configuration()); the
  // writer's error, or empty when it was written.
  std::string Write(const std::filesystem::path& path,
                    const std::string& configuration = "") const {
    package::PackageWriter writer;
    writer.SetComment(comment);
    writer.AddMember("QXCONFIG.INI", configuration.empty() ? Configuration() : configuration);
    writer.AddMember("XFER.BIN", BytePattern(64, 5, 13, 5));
    for (const auto& [name, bytes] : members) writer.AddMember(name, bytes);
    return writer.Write(path.string()) ? "" : writer.Error();
  }
};

}  // namespace pelvane::test
