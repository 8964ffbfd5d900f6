// One flash memory of the instrument. Init string: start, length, flash name.
#pragma once

#include <cstdint>
#include <string>

#include "package/address_range.h"
#include "package/qn_error.h"

namespace pelvane::package {

// Flash type index of a flash name (exact, case-sensitive); 0 when the name
// is not in the table.
std::int32_t FlashNameIndex(const std::string& name);

class QN_Memory : public QN_ErrorHolder {
 public:
  bool Init(const std::string& sInitString);

  void Flashname(const std::string& name);
  const std::string& Flashname() const { return flashname_; }
  void StartAddress(std::int32_t address);
  std::int32_t StartAddress() const { return range_.Start(); }
  void Length(std::int32_t length);
  std::int32_t Length() const { return range_.Length(); }
  std::int32_t FlashnameIndex() const { return flashnameIndex_; }
  std::int32_t EndAddress() const { return range_.End(); }
  bool Validate() const { return valid_; }

 private:
  void ComputeEnd();

  std::string flashname_;
  std::int32_t flashnameIndex_ = 0;
  AddressRange range_;
  bool valid_ = false;
  bool startSet_ = false;
  bool lengthSet_ = false;
  bool overflow_ = false;
};

}  // namespace pelvane::package
