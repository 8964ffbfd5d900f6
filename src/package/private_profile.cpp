#include "package/private_profile.h"

#include "package/item_parsing.h"

namespace pelvane::package {

namespace {

// Line ends left by either convention count as blanks.
std::string TrimAll(std::string_view text) {
  return Trim(text, " \t\r\n");
}

}  // namespace

PrivateProfile::PrivateProfile(std::string_view text) {
  // A file saved by a Windows editor may begin with a UTF-8 byte-order mark.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  Section* current = nullptr;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    std::string line = TrimAll(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      std::size_t close = line.find(']');
      std::string name =
          TrimAll(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      // Lookups stop at the first section of a name, so a repeated one is
      // never read.
      auto [it, added] = sections_.try_emplace(ToUpper(name));
      current = added ? &it->second : nullptr;
      continue;
    }
    if (!current) continue;
    std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string value = TrimAll(line.substr(equals + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    // The first key of a name wins.
    current->try_emplace(ToUpper(TrimAll(line.substr(0, equals))), std::move(value));
  }
}

const PrivateProfile::Section* PrivateProfile::Find(std::string_view section) const {
  const auto it = sections_.find(ToUpper(section));
  return it == sections_.end() ? nullptr : &it->second;
}

bool PrivateProfile::HasSection(std::string_view section) const {
  return Find(section) != nullptr;
}

std::optional<std::string> PrivateProfile::Get(std::string_view section,
                                               std::string_view key) const {
  const Section* s = Find(section);
  if (!s) return std::nullopt;
  const auto it = s->find(ToUpper(key));
  if (it == s->end()) return std::nullopt;
  return it->second;
}

}  // namespace pelvane::package
