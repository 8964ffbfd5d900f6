// Creation of components by class id. Each layer that creates a lower object
// holds a registry of the classes it may create; tests pass registries whose
// factories make fakes.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pelvane::core {

// True for the registry form 8-4-4-4-12 of hexadecimal digits.
bool IsWellFormedClassId(std::string_view id);

// Class ids compare without regard to the case of their hexadecimal digits.
bool ClassIdEquals(std::string_view a, std::string_view b);

template <class Interface>
class ClassRegistry {
 public:
  using Factory = std::function<std::unique_ptr<Interface>()>;
  struct Entry {
    std::string classId;
    Factory create;
  };

  ClassRegistry() = default;
  explicit ClassRegistry(std::vector<Entry> entries) : entries_(std::move(entries)) {}

  void Add(std::string classId, Factory create) {
    entries_.push_back({std::move(classId), std::move(create)});
  }

  bool Contains(std::string_view classId) const { return Find(classId) != nullptr; }

  // Nothing for an id that is malformed or not in the table.
  std::unique_ptr<Interface> Create(std::string_view classId) const {
    const Entry* entry = Find(classId);
    return entry ? entry->create() : nullptr;
  }

 private:
  const Entry* Find(std::string_view classId) const {
    if (!IsWellFormedClassId(classId)) return nullptr;
    for (const Entry& entry : entries_)
      if (ClassIdEquals(entry.classId, classId)) return &entry;
    return nullptr;
  }

  std::vector<Entry> entries_;
};

}  // namespace pelvane::core
