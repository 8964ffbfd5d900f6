#include "package/package_info.h"

namespace pelvane::package {

std::string PackageDisplayName(const PackageArchive& archive) {
  std::string comment = archive.Comment();
  return comment.empty() ? archive.Path() : comment;
}

std::string PackageNotes(const PackageArchive& archive) {
  std::string notes;
  if (archive.CountMembers(kNotesMember) < 1) return notes;
  if (!archive.ReadMemberText(kNotesMember, 0, kNotesLength, notes)) notes.clear();
  return notes;
}

}  // namespace pelvane::package
