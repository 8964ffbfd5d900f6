#include "package/qn_erase.h"

#include "package/item_parsing.h"

namespace pelvane::package {

bool QN_Erase::Init(const std::string& sInitString) {
  const std::vector<std::string> fields = SplitItemFields(sInitString);

  auto address = NumericFieldAt(fields, 0);
  if (!address) return false;
  EraseAddress(*address);
  auto length = NumericFieldAt(fields, 1);
  // -1 would go out as an erase of 0xFFFFFFFF bytes.
  if (!length || *length < 0) return false;
  Length(*length);
  return !overflow_;
}

void QN_Erase::Length(std::int32_t length) {
  range_.Length(length);
  if (!range_.EndComputed() && !range_.ComputeEnd()) overflow_ = true;
}

}  // namespace pelvane::package
