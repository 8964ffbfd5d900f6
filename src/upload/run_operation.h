// What a run does with the instrument. Every operation but Update only looks
// at it: the transfer program, the package's queries and reads, a checksum
// and the restart, never an erase or a program command.
#pragma once

#include <string_view>

namespace pelvane::upload {

enum class RunOperation {
  Update,      // the full update: read back, erase, program, checksum, restart
  Identify,    // the manufacturer and device code of every memory, then restart
  Backup,      // the package's read-back (download) step alone, then restart
  Read,        // ranges the user names, each into a file, then restart
  VerifyOnly,  // every program's range read back and compared, then restart
};

inline constexpr bool ReadOnly(RunOperation operation) {
  return operation != RunOperation::Update;
}

// "update", "identify", "backup", "read", "verify-only": for records.
std::string_view OperationName(RunOperation operation);

}  // namespace pelvane::upload
