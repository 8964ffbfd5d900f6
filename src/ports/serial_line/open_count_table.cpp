#include "ports/serial_line/open_count_table.h"

namespace pelvane::ports::serial_line {

OpenCountTable& OpenCountTable::Instance() {
  static OpenCountTable table;
  return table;
}

std::uint16_t* OpenCountTable::Slot(const LineKey& key) {
  if (key.portIndex >= 0) return InRange(key.portIndex) ? &byIndex_[key.portIndex] : nullptr;
  return &byDevice_[key.device];
}

bool OpenCountTable::TryAcquire(const LineKey& key) {
  std::lock_guard lock(mutex_);
  std::uint16_t* slot = Slot(key);
  if (slot == nullptr || *slot != 0) return false;
  *slot = 1;
  return true;
}

void OpenCountTable::Release(const LineKey& key) {
  std::lock_guard lock(mutex_);
  std::uint16_t* slot = Slot(key);
  if (slot != nullptr && *slot > 0) --*slot;
  if (key.portIndex < 0 && slot != nullptr && *slot == 0) byDevice_.erase(key.device);
}

std::uint16_t OpenCountTable::Count(const LineKey& key) const {
  std::lock_guard lock(mutex_);
  if (key.portIndex >= 0) return InRange(key.portIndex) ? byIndex_[key.portIndex] : 0;
  auto it = byDevice_.find(key.device);
  return it == byDevice_.end() ? 0 : it->second;
}

}  // namespace pelvane::ports::serial_line
