// Puts a read-back on disk so that it is never lost: the bytes go to a
// temporary file created exclusively beside the target, are flushed to disk,
// and the file is renamed over the name only when it is complete. A link of
// that name is replaced, never written through. A file of that name is
// replaced only when the user agreed to it; one that appeared meanwhile (a
// second run in the same folder) is kept and the bytes go beside it. A read
// of erased flash (only 0xFF) never replaces a file that holds other data:
// the old file stays and the new bytes are kept beside it, never replacing
// an earlier erased read either.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace pelvane::upload {

struct ReadBackWrite {
  bool ok = false;
  std::string error;    // why it failed (errno text and the file)
  std::string written;  // where the bytes went
  // The read was erased flash and the existing file held other data: it was
  // kept as it was, and its bytes are in `kept`.
  bool keptExisting = false;
  std::vector<std::uint8_t> kept;
};

// `replace`: the user agreed to replace the file that has the name.
ReadBackWrite WriteReadBackFile(const std::string& target, std::span<const std::uint8_t> data,
                                bool replace);

// The name the bytes of an erased read go to beside `target`.
std::string ErasedReadName(const std::string& target);

}  // namespace pelvane::upload
