// One flash range to erase. Init string: erase address, length.
#pragma once

#include <cstdint>
#include <string>

#include "package/address_range.h"
#include "package/qn_error.h"

namespace pelvane::package {

class QN_Erase : public QN_ErrorHolder {
 public:
  bool Init(const std::string& sInitString);

  void EraseAddress(std::int32_t address) { range_.Start(address); }
  std::int32_t EraseAddress() const { return range_.Start(); }
  // The end address is computed at the first assignment of the length only,
  // from the erase address held at that moment.
  void Length(std::int32_t length);
  std::int32_t Length() const { return range_.Length(); }
  std::int32_t EndAddress() const { return range_.End(); }

 private:
  AddressRange range_;
  bool overflow_ = false;
};

}  // namespace pelvane::package
