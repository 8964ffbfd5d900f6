#include "package/package_info.h"

#include <cstdint>

#include "package/text_encoding.h"

namespace pelvane::package {

namespace {

// The bytes of a UTF-8 sequence that a cut left incomplete at the end.
std::size_t IncompleteTail(const std::string& text) {
  for (std::size_t back = 1; back <= 3 && back <= text.size(); ++back) {
    const auto byte = static_cast<std::uint8_t>(text[text.size() - back]);
    if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
    return length > back ? back : 0;
  }
  return 0;
}

}  // namespace

std::string PackageDisplayName(const PackageArchive& archive) {
  std::string comment = archive.Comment();
  return comment.empty() ? archive.Path() : comment;
}

std::string PackageNotes(const PackageArchive& archive) {
  std::string notes;
  if (archive.CountMembers(kNotesMember) < 1) return notes;
  // Enough bytes for kNotesLength characters of four bytes each; a character
  // the read cut in two is dropped, so that valid UTF-8 stays valid.
  constexpr std::int64_t kMostBytes = kNotesLength * 4;
  if (!archive.ReadMemberText(kNotesMember, 0, kMostBytes, notes)) return "";
  if (static_cast<std::int64_t>(notes.size()) == kMostBytes)
    notes.resize(notes.size() - IncompleteTail(notes));
  notes = ToUtf8(notes);
  // Cut at kNotesLength characters, never inside one.
  std::size_t characters = 0;
  for (std::size_t i = 0; i < notes.size(); ++i) {
    if ((static_cast<std::uint8_t>(notes[i]) & 0xC0) == 0x80) continue;
    if (characters++ == static_cast<std::size_t>(kNotesLength)) {
      notes.resize(i);
      break;
    }
  }
  return notes;
}

}  // namespace pelvane::package
