#include "core/files.h"

namespace pelvane::core {

bool SameFile(const std::string& a, const std::string& b) {
  const auto first = StampOf(a);
  const auto second = first ? StampOf(b) : std::nullopt;
  return second && first->volume == second->volume && first->file == second->file;
}

}  // namespace pelvane::core
