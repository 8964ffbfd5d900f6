// The firmware package archive (a ZIP file, ".QXPKG"), read through libzip.
// The package on disk may be replaced between operations, and nothing here
// keeps it from being replaced: the file is open only while a member is read
// (on Windows an open file could not be replaced or deleted). A directory of
// its member names, made when the file was last read, serves the questions
// about members (so that a package with thousands of entries loads and checks
// in linear time) while the file at its path is the same; otherwise it is
// made afresh. Member names match without regard to case.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/files.h"
#include "package/member_directory.h"

struct zip;  // libzip's archive handle

namespace pelvane::package {

// No member larger than this is read into memory: a package is a few
// megabytes at most, and a bigger size is a damaged or hostile archive.
inline constexpr std::int64_t kMaxMemberBytes = 64 * 1024 * 1024;
// What one upload holds of a package's members in memory, all together (each
// member once, however many entries name it): a package naming a member of
// the largest size many times, or many such members, must not exhaust the
// computer before anything is sent.
inline constexpr std::int64_t kMaxRunMemberBytes = 128 * 1024 * 1024;

inline constexpr const char* kConfigurationMember = "QXCONFIG.INI";
inline constexpr const char* kNotesMember = "QXNOTES.TXT";
inline constexpr const char* kReadmeMember = "Readme.txt";
inline constexpr const char* kFinalMember = "Final.txt";
// The package notes show this many characters at most.
inline constexpr std::int64_t kNotesLength = 256;

class PackageArchive : public MemberDirectory {
 public:
  explicit PackageArchive(std::string path);

  const std::string& Path() const { return path_; }

  // 0 when the member is absent or the archive cannot be read (LastError says why).
  int CountMembers(const std::string& name) const override;
  std::int64_t MemberSize(const std::string& name) const override;
  // Empty when the archive has no comment.
  std::string Comment() const;
  // True when the archive can be opened and holds "QXCONFIG.INI".
  bool IsPackage() const;
  // Up to maxCount bytes of the member from offset, as text; the count read
  // is text.size(). False (text empty) when the member is absent, over
  // kMaxMemberBytes, or cannot be read.
  bool ReadMemberText(const std::string& name, std::int64_t offset, std::int64_t maxCount,
                      std::string& text) const;
  // The whole member. False when absent, over kMaxMemberBytes, or unreadable.
  bool ReadMemberBytes(const std::string& name, std::vector<std::uint8_t>& bytes) const;
  // Reads the whole member through a small buffer, keeping nothing, so that
  // libzip checks its CRC; false (LastError says why) as ReadMemberBytes.
  bool CheckMember(const std::string& name) const;

  // Copies up to buffer.size() bytes of the member from offset into the
  // start of buffer and returns the count copied (fewer when the member ends
  // earlier, 0 when absent or unreadable). One member is kept in memory, so
  // consecutive blocks of a file read the archive once.
  std::int32_t ReadBlock(const std::string& name, std::span<std::uint8_t> buffer,
                         std::int64_t offset);

  // Why the last failed operation failed (empty after success).
  const std::string& LastError() const { return lastError_; }

 private:
  // Per upper-cased member name: the first member of that name, its size, and
  // how many members share the name.
  struct Directory {
    struct Member {
      std::int64_t index = -1;
      std::int64_t size = 0;
      int count = 0;
    };
    std::unordered_map<std::string, Member> byName;
    std::string comment;
    core::FileStamp stamp;  // which file it was made from
  };
  // The directory of the file now at path_; null when it cannot be read.
  const Directory* CurrentDirectory() const;
  // Bytes [offset, offset + count) of the member into `bytes` (null: read
  // and checked only); a read that reaches the member's end checks its CRC.
  bool ReadMember(const std::string& name, std::int64_t offset, std::int64_t count,
                  std::vector<std::uint8_t>* bytes) const;

  std::string path_;
  mutable std::string lastError_;
  mutable std::shared_ptr<const Directory> directory_;
  bool cached_ = false;
  std::string cachedName_;
  std::vector<std::uint8_t> cachedBytes_;
};

}  // namespace pelvane::package
