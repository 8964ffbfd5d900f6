// One flash range to erase. Init string: erase address, length.
#pragma once

#include <cstdint>
#include <string>

#include "package/qn_error.h"

namespace pelvane::package {

class QN_Erase : public QN_ErrorHolder {
 public:
  bool Init(const std::string& sInitString);

  void EraseAddress(std::int32_t address) { eraseAddress_ = address; }
  std::int32_t EraseAddress() const { return eraseAddress_; }
  // The end address is computed at the first assignment of the length only,
  // from the erase address held at that moment.
  void Length(std::int32_t length);
  std::int32_t Length() const { return length_; }
  std::int32_t EndAddress() const { return endAddress_; }

 private:
  std::int32_t eraseAddress_ = 0;
  std::int32_t length_ = 0;
  std::int32_t endAddress_ = 0;
  bool endComputed_ = false;
  bool overflow_ = false;
};

}  // namespace pelvane::package
