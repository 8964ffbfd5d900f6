#include "package/private_profile.h"

#include "package/item_parsing.h"
#include "package/text_encoding.h"

namespace pelvane::package {

namespace {

// What Windows counts as blanks around names and values: the C locale's
// white space, line ends of either convention, and ^Z, the DOS end of file
// that old editors leave at the end.
constexpr std::string_view kProfileBlanks = " \t\r\n\v\f\x1A";

std::string TrimAll(std::string_view text) {
  return core::Trim(text, kProfileBlanks);
}

bool Quoted(const std::string& value) {
  return value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
         value.back() == value.front();
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
    std::string_view raw = text.substr(pos, end - pos);
    pos = end + 1;
    // Some tools pad the file with NULs or end it with one; Windows reads
    // such a line up to its NUL.
    raw = raw.substr(0, raw.find('\0'));
    std::string line = TrimAll(raw);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      if (const std::size_t close = line.rfind(']'); close != std::string::npos) {
        // Lookups stop at the first section of a name, so a repeated one is
        // never read.
        auto [it, added] = sections_.try_emplace(FoldedName(TrimAll(line.substr(1, close - 1))));
        current = added ? &it->second : nullptr;
        continue;
      }
      // "[T" without "]" is no header: its keys stay in the section before.
    }
    if (!current) continue;
    std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string value = TrimAll(line.substr(equals + 1));
    if (Quoted(value)) value = value.substr(1, value.size() - 2);
    // The first key of a name wins.
    current->try_emplace(FoldedName(TrimAll(line.substr(0, equals))), std::move(value));
  }
}

const PrivateProfile::Section* PrivateProfile::Find(std::string_view section) const {
  const auto it = sections_.find(FoldedName(section));
  return it == sections_.end() ? nullptr : &it->second;
}

bool PrivateProfile::HasSection(std::string_view section) const {
  return Find(section) != nullptr;
}

std::optional<std::string> PrivateProfile::Get(std::string_view section,
                                               std::string_view key) const {
  const Section* s = Find(section);
  if (!s) return std::nullopt;
  const auto it = s->find(FoldedName(key));
  if (it == s->end()) return std::nullopt;
  return it->second;
}

}  // namespace pelvane::package
