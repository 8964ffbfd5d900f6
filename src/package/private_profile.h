// A reader of private-profile (INI) text that gives what Windows'
// GetPrivateProfileString gives, since packages are written by Windows tools:
// sections and keys match without regard to case (the letters of
// Windows-1252 too), the first section and the first key of a name win,
// blanks around names and values are removed (^Z, vertical tab and form feed
// count as blanks), a value enclosed in matching double or single quotes
// loses them, a NUL ends the text of its line, and a section header runs to
// the last "]" of its line (a line without one is no header).
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
  // Names are kept folded (FoldedName), so that each lookup is one hash
  // probe: a configuration of 100,000 sections loads in linear time.
  using Section = std::unordered_map<std::string, std::string>;
  const Section* Find(std::string_view section) const;
  std::unordered_map<std::string, Section> sections_;
};

}  // namespace pelvane::package
