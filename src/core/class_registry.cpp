#include "core/class_registry.h"

#include <cctype>

namespace pelvane::core {

bool IsWellFormedClassId(std::string_view id) {
  static constexpr int kGroups[] = {8, 4, 4, 4, 12};
  std::size_t pos = 0;
  for (std::size_t g = 0; g < std::size(kGroups); ++g) {
    if (g > 0) {
      if (pos >= id.size() || id[pos] != '-') return false;
      ++pos;
    }
    for (int i = 0; i < kGroups[g]; ++i, ++pos)
      if (pos >= id.size() || !std::isxdigit(static_cast<unsigned char>(id[pos]))) return false;
  }
  return pos == id.size();
}

bool ClassIdEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

}  // namespace pelvane::core
