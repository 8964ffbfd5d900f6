// Writes a firmware package (a ZIP archive) from members held in memory.
// Used by the example package build, the package tool and the tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pelvane::package {

struct PackageMember {
  std::string name;
  std::vector<std::uint8_t> bytes;
};

class PackageWriter {
 public:
  void AddMember(const std::string& name, std::string_view text);
  void AddMember(const std::string& name, std::vector<std::uint8_t> bytes);
  void SetComment(const std::string& comment) { comment_ = comment; }
  const std::vector<PackageMember>& Members() const { return members_; }

  // Writes the archive to path, replacing any file there. Members are stored
  // compressed with a fixed time stamp, so the same input gives the same
  // file. False with Error() set on failure (also for no members at all).
  bool Write(const std::string& path);
  const std::string& Error() const { return error_; }

 private:
  std::vector<PackageMember> members_;
  std::string comment_;
  std::string error_;
};

}  // namespace pelvane::package
