#include "wizard/logic/resource_strings.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <utility>

namespace pelvane::wizard {

namespace {

// Sorted by number. Line breaks are "\n": Qt widgets break lines on it.
constexpr std::array<std::pair<int, std::string_view>, 12> kTable{{
    {100, "Help"},
    {101, "Cancel"},
    {102, "< &Back"},
    {103, "&Next >"},
    {104, "&Exit"},
    {500, "Select the Firmware to use"},
    {1000, "Introduction"},
    {2000, "Settings"},
    {2002, "Upload Firmware"},
    {3000, "Finished!"},
    {3001, "The Pelvane Wizard is finished.\n\n_"},
    {3002, "To exit the Wizard click Exit."},
}};

const std::pair<int, std::string_view>* Find(int id) {
  auto it = std::lower_bound(kTable.begin(), kTable.end(), id,
                             [](const auto& entry, int key) { return entry.first < key; });
  return (it != kTable.end() && it->first == id) ? &*it : nullptr;
}

}  // namespace

std::string_view ResourceString(int id) {
  const auto* entry = Find(id);
  return entry ? entry->second : std::string_view{};
}

bool HasResourceString(int id) {
  return Find(id) != nullptr;
}

std::string LoadResString(int id) {
  std::string text;
  // Each step moves to a higher number, so the chain ends after at most the
  // size of the table.
  for (int n = id; HasResourceString(n); ++n) {
    std::string_view part = ResourceString(n);
    if (part.empty() || part.back() != '_') {
      text.append(part);
      break;
    }
    part.remove_suffix(1);
    text.append(part);
  }
  return text;
}

bool ParseResourceTag(std::string_view tag, int* id) {
  if (tag.empty() || id == nullptr) return false;
  int value = 0;
  auto [end, ec] = std::from_chars(tag.data(), tag.data() + tag.size(), value);
  if (ec != std::errc{} || end != tag.data() + tag.size() || tag.front() == '-') return false;
  *id = value;
  return true;
}

}  // namespace pelvane::wizard
