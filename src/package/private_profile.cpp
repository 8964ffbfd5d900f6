#include "package/private_profile.h"

#include <strings.h>

#include "package/item_parsing.h"

namespace pelvane::package {

namespace {

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string TrimAll(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (begin < end && blank(text[begin])) ++begin;
  while (end > begin && blank(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
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
      current = nullptr;
      bool repeated = false;
      for (const auto& section : sections_) {
        if (SameName(section.name, name)) repeated = true;
      }
      // Lookups stop at the first section of a name, so a repeated one is
      // never read.
      if (!repeated) {
        sections_.push_back({name, {}});
        current = &sections_.back();
      }
      continue;
    }
    if (!current) continue;
    std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string key = TrimAll(line.substr(0, equals));
    std::string value = TrimAll(line.substr(equals + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    bool known = false;
    for (const auto& entry : current->entries) {
      if (SameName(entry.key, key)) known = true;
    }
    if (!known) current->entries.push_back({key, value});
  }
}

const PrivateProfile::Section* PrivateProfile::Find(std::string_view section) const {
  for (const auto& s : sections_) {
    if (SameName(s.name, section)) return &s;
  }
  return nullptr;
}

bool PrivateProfile::HasSection(std::string_view section) const {
  return Find(section) != nullptr;
}

std::optional<std::string> PrivateProfile::Get(std::string_view section,
                                               std::string_view key) const {
  const Section* s = Find(section);
  if (!s) return std::nullopt;
  for (const auto& entry : s->entries) {
    if (SameName(entry.key, key)) return entry.value;
  }
  return std::nullopt;
}

}  // namespace pelvane::package
