// The address range of a package item: where it starts, how long it is, and
// its end (the first address behind it) once the item has worked it out.
// Each item keeps its own moment for that (when both halves are first known,
// or again at every new start); the range keeps the arithmetic in one place.
#pragma once

#include <cstdint>

#include "package/item_parsing.h"

namespace pelvane::package {

class AddressRange {
 public:
  std::int32_t Start() const { return start_; }
  void Start(std::int32_t start) { start_ = start; }
  std::int32_t Length() const { return length_; }
  void Length(std::int32_t length) { length_ = length; }
  // 0 until the end has been computed.
  std::int32_t End() const { return end_; }
  bool EndComputed() const { return endComputed_; }

  // Computes the end from the start and the length; false, with the end as it
  // was, when the range runs past the 32-bit address space.
  bool ComputeEnd() {
    const auto end = EndAddress(start_, length_);
    if (!end) return false;
    end_ = *end;
    endComputed_ = true;
    return true;
  }

 private:
  std::int32_t start_ = 0;
  std::int32_t length_ = 0;
  std::int32_t end_ = 0;
  bool endComputed_ = false;
};

}  // namespace pelvane::package
