// What the package selection shows about a package before it is loaded.
#pragma once

#include <string>

#include "package/package_archive.h"

namespace pelvane::package {

inline constexpr const char* kNotAPackageMessage = "File is not a valid Firmware Package";

// The archive comment when there is one, otherwise the full path.
std::string PackageDisplayName(const PackageArchive& archive);
// The first kNotesLength characters of "QXNOTES.TXT" as UTF-8 (a file that is
// not valid UTF-8 is read as Windows-1252); empty without notes.
std::string PackageNotes(const PackageArchive& archive);

}  // namespace pelvane::package
