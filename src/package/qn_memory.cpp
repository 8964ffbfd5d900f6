#include "package/qn_memory.h"

#include <array>
#include <utility>

#include "package/item_parsing.h"

namespace pelvane::package {

std::int32_t FlashNameIndex(const std::string& name) {
  static constexpr std::array<std::pair<const char*, std::int32_t>, 8> kTable{{
      {"AM28F010", 0x11},
      {"I28F010", 0x12},
      {"AM28F020", 0x13},
      {"I28F020", 0x14},
      {"AM29F010", 0x15},
      {"AM29F040", 0x16},
      {"I28F016", 0x17},
      {"AM29LV800", 0x18},
  }};
  for (const auto& [flash, index] : kTable) {
    if (name == flash) return index;
  }
  return 0;
}

bool QN_Memory::Init(const std::string& sInitString) {
  const std::vector<std::string> fields = SplitItemFields(sInitString);

  auto start = NumericFieldAt(fields, 0);
  if (!start) return false;
  StartAddress(*start);
  auto length = NumericFieldAt(fields, 1);
  // A negative length would make a memory that holds nothing, or one the
  // erase and program ranges are compared with backwards.
  if (!length || *length < 0) return false;
  Length(*length);
  if (overflow_) return false;
  if (fields.size() < 3) return false;
  Flashname(fields[2]);
  return !overflow_;
}

void QN_Memory::Flashname(const std::string& name) {
  flashname_ = name;
  valid_ = true;
  flashnameIndex_ = FlashNameIndex(name);
  // Names outside the table are kept with index 0 (the instrument may know
  // newer parts); only "0", a placeholder some packages carry, is refused.
  if (flashnameIndex_ == 0 && name == "0") {
    valid_ = false;
    SetLastError(kErrFlashNameInvalid);
    SetLastErrorString(" " + name);
  }
  if (overflow_) valid_ = false;
}

void QN_Memory::StartAddress(std::int32_t address) {
  range_.Start(address);
  startSet_ = true;
  if (lengthSet_ && !range_.EndComputed()) ComputeEnd();
}

void QN_Memory::Length(std::int32_t length) {
  range_.Length(length);
  lengthSet_ = true;
  if (startSet_ && !range_.EndComputed()) ComputeEnd();
}

void QN_Memory::ComputeEnd() {
  if (range_.ComputeEnd()) return;
  overflow_ = true;
  valid_ = false;
}

}  // namespace pelvane::package
