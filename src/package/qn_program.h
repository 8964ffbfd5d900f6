// One program file of the package to write into flash. Init string: load
// address, member name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "package/address_range.h"
#include "package/member_directory.h"
#include "package/qn_error.h"

namespace pelvane::package {

class QN_Program : public QN_ErrorHolder {
 public:
  QN_Program() = default;
  explicit QN_Program(std::shared_ptr<const MemberDirectory> members);

  bool Init(const std::string& sInitString, const std::string& sSrcPath);

  void Filename(const std::string& name);
  const std::string& Filename() const { return filename_; }
  // Recomputes the end address every time once the file has been found.
  void LoadAddress(std::int32_t address);
  std::int32_t LoadAddress() const { return range_.Start(); }
  // Stores the length and makes the item valid: a file produced by a
  // download of the same run takes that download's length this way.
  void Length(std::int32_t length);
  std::int32_t Length() const { return range_.Length(); }
  std::int32_t EndAddress() const { return range_.End(); }
  bool Validate() const { return valid_; }

 private:
  std::shared_ptr<const MemberDirectory> members_;
  std::string filename_;
  AddressRange range_;
  bool valid_ = false;
  bool loadAddressSet_ = false;
  bool fileFound_ = false;
  bool overflow_ = false;
};

}  // namespace pelvane::package
