// Opening a package file with libzip for reading, the one place where that
// differs by platform: on Windows the file is opened so that others may still
// read, replace or delete it while the archive is open (libzip's own open
// would keep a newer package from being copied over it).
#pragma once

#include <string>

struct zip;

namespace pelvane::package {

// The archive at `path` (UTF-8), read-only; null with libzip's error code in
// `*zipError` when it cannot be opened.
::zip* OpenArchiveFile(const std::string& path, int* zipError);

}  // namespace pelvane::package
