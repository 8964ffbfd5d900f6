// The transfer program: a member of the package that is uploaded into the
// instrument's RAM and started there. Init string: file, load address,
// execution address.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "package/address_range.h"
#include "package/member_directory.h"
#include "package/qn_error.h"

namespace pelvane::package {

class QN_TransferProgram : public QN_ErrorHolder {
 public:
  // `members` answers whether a file exists in the package; without one no
  // file exists.
  QN_TransferProgram() = default;
  explicit QN_TransferProgram(std::shared_ptr<const MemberDirectory> members);

  bool Init(const std::string& sInitString, const std::string& sSrcPath);

  void Filename(const std::string& name);
  const std::string& Filename() const { return filename_; }
  void LoadAddress(std::int32_t address);
  std::int32_t LoadAddress() const { return range_.Start(); }
  void ExecAddress(std::int32_t address);
  std::int32_t ExecAddress() const { return execAddress_; }
  std::int32_t EndAddress() const { return range_.End(); }
  std::int32_t Length() const { return range_.Length(); }
  bool Validate() const { return valid_; }

 private:
  void ComputeEnd();

  std::shared_ptr<const MemberDirectory> members_;
  std::string filename_;
  AddressRange range_;
  std::int32_t execAddress_ = 0;
  bool valid_ = false;
  bool loadAddressSet_ = false;
  bool execAddressSet_ = false;
  bool fileFound_ = false;
  bool overflow_ = false;
};

}  // namespace pelvane::package
