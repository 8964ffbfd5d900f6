// A reader of private-profile (INI) text with the Windows rules: sections
// and keys match without regard to case, the first section and the first
// key of a name win, blanks around names and values are removed, and a
// value enclosed in double quotes loses them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace pelvane::package {

class PrivateProfile {
 public:
  PrivateProfile() = default;
  explicit PrivateProfile(std::string_view text);

  // The value of the key (read whole); nullopt when section or key is absent.
  std::optional<std::string> Get(std::string_view section, std::string_view key) const;
  bool HasSection(std::string_view section) const;

 private:
  // Names are kept upper-cased, so that each lookup is one hash probe: a
  // configuration of 100,000 sections loads in linear time.
  using Section = std::unordered_map<std::string, std::string>;
  const Section* Find(std::string_view section) const;
  std::unordered_map<std::string, Section> sections_;
};

}  // namespace pelvane::package
