// What a package author should fix before shipping a firmware package, found
// by loading it with the wizard's own loader and looking at what an upload
// would then do with it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pelvane::pkg {

struct CheckReport {
  bool loaded = false;                // the wizard could load the configuration at all
  std::vector<std::string> problems;  // each a sentence naming the entry at fault
  // Worth knowing, but the upload copes (a download name that Pelvane shortens).
  std::vector<std::string> warnings;
  // What the members an upload sends hold once unpacked, each counted once
  // (the most of any firmware language): what a run keeps in memory.
  std::int64_t sentMembers = 0;
  std::int64_t sentBytes = 0;
};

CheckReport CheckPackage(const std::string& path);

// The largest program block and read answer one frame carries: 255 payload
// bytes less the 9-byte program header or the 10-byte read answer header.
inline constexpr int kMaxProgramBlock = 246;
inline constexpr int kMaxReadAnswer = 245;

}  // namespace pelvane::pkg
