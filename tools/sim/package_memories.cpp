#include "sim/package_memories.h"

#include <zip.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "core/text.h"

namespace pelvane::sim {
namespace {

using pelvane::core::ToUpper;

// Blanks and line ends around a line or field do not count.
std::string TrimLine(std::string_view text) {
  return pelvane::core::Trim(text, " \t\r\n");
}

// No configuration file comes near this; a bigger member is not one.
constexpr zip_uint64_t kMaxConfiguration = 1u << 20;

// Keys of one section, matched without regard to case as private-profile
// files are; the first occurrence of a key counts.
std::vector<std::pair<std::string, std::string>> Section(const std::string& text,
                                                         const std::string& wanted) {
  std::vector<std::pair<std::string, std::string>> keys;
  std::istringstream in(text);
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    const std::string t = TrimLine(line);
    if (t.empty() || t[0] == ';') continue;
    if (t[0] == '[') {
      const auto close = t.find(']');
      inside = close != std::string::npos && ToUpper(TrimLine(t.substr(1, close - 1))) == wanted;
      continue;
    }
    const auto eq = t.find('=');
    if (!inside || eq == std::string::npos) continue;
    keys.emplace_back(ToUpper(TrimLine(t.substr(0, eq))), t.substr(eq + 1));
  }
  return keys;
}

std::optional<std::string> Key(const std::vector<std::pair<std::string, std::string>>& keys,
                               const std::string& name) {
  for (const auto& [key, value] : keys) {
    if (key != name) continue;
    std::string v = TrimLine(value.substr(0, value.find(';')));
    if (v.empty() || v == "NA") return std::nullopt;
    return v;
  }
  return std::nullopt;
}

// Numbers in the configuration are decimal, or hexadecimal after "0X" in either case.
std::optional<std::uint32_t> ConfigNumber(const std::string& field) {
  std::string f = TrimLine(field);
  const auto x = ToUpper(f).find("0X");
  if (x != std::string::npos) f = "0x" + f.substr(x + 2);
  return ParseNumber(f);
}

}  // namespace

std::vector<MemorySpec> MemoriesFromConfiguration(const std::string& text,
                                                  const std::string& origin) {
  const auto target = Section(text, "TARGET");
  std::vector<MemorySpec> memories;
  for (int n = 0;; ++n) {
    const std::string key = n == 0 ? "MEMORY" : "MEMORY" + std::to_string(n);
    const auto value = Key(target, key);
    if (!value) break;
    std::vector<std::string> fields;
    std::stringstream in(*value);
    std::string field;
    while (std::getline(in, field, ',')) fields.push_back(TrimLine(field));
    const auto base = fields.size() >= 3 ? ConfigNumber(fields[0]) : std::nullopt;
    const auto size = fields.size() >= 3 ? ConfigNumber(fields[1]) : std::nullopt;
    if (!base || !size || *size == 0 || fields[2].empty()) {
      throw std::runtime_error(origin + ": [TARGET] " + key +
                               " is not start, length, flash name: " + *value);
    }
    memories.push_back({*base, *size, fields[2], std::nullopt, std::nullopt});
  }
  if (memories.empty()) throw std::runtime_error(origin + ": [TARGET] has no MEMORY entry");
  return memories;
}

std::vector<MemorySpec> MemoriesFromPackage(const std::string& path) {
  int error = 0;
  std::unique_ptr<zip_t, decltype(&zip_discard)> archive(zip_open(path.c_str(), ZIP_RDONLY, &error),
                                                         &zip_discard);
  if (!archive) {
    zip_error_t ze;
    zip_error_init_with_code(&ze, error);
    std::string why = zip_error_strerror(&ze);
    zip_error_fini(&ze);
    throw std::runtime_error(path + ": cannot open the package: " + why);
  }
  const zip_int64_t index = zip_name_locate(archive.get(), "QXCONFIG.INI", ZIP_FL_NOCASE);
  if (index < 0) throw std::runtime_error(path + ": the package has no QXCONFIG.INI");
  zip_stat_t st;
  if (zip_stat_index(archive.get(), static_cast<zip_uint64_t>(index), 0, &st) != 0 ||
      !(st.valid & ZIP_STAT_SIZE) || st.size > kMaxConfiguration) {
    throw std::runtime_error(path + ": QXCONFIG.INI is unreadable or too large");
  }
  std::unique_ptr<zip_file_t, decltype(&zip_fclose)> member(
      zip_fopen_index(archive.get(), static_cast<zip_uint64_t>(index), 0), &zip_fclose);
  std::string text(st.size, '\0');
  if (!member ||
      zip_fread(member.get(), text.data(), st.size) != static_cast<zip_int64_t>(st.size)) {
    throw std::runtime_error(path + ": cannot read QXCONFIG.INI");
  }
  return MemoriesFromConfiguration(text, path + ": QXCONFIG.INI");
}

}  // namespace pelvane::sim
