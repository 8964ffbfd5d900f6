// What the package items need to know about the package archive: whether a
// member exists and how large it is. The archive implements it; tests may
// supply their own.
#pragma once

#include <cstdint>
#include <string>

namespace pelvane::package {

class MemberDirectory {
 public:
  virtual ~MemberDirectory() = default;
  // Number of members of that name (matched without regard to case).
  virtual int CountMembers(const std::string& name) const = 0;
  // Size in bytes of the member; 0 when it is absent.
  virtual std::int64_t MemberSize(const std::string& name) const = 0;
};

}  // namespace pelvane::package
