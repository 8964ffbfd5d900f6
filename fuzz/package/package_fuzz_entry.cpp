#include "package_fuzz_entry.h"

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string_view>
#include <system_error>
#include <utility>

#include "package/package_archive.h"
#include "package/package_configuration.h"
#include "package/package_loader.h"
#include "package/package_writer.h"
#include "package/private_profile.h"
#include "package/prompt.h"

namespace pelvane::package::fuzz {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A new folder under `base` that no other process has.
std::string MakeUniqueFolder(const std::filesystem::path& base) {
  std::random_device random;
  for (int tries = 0; tries < 100; ++tries) {
    const auto folder = base / ("pelvane-fuzz-" + std::to_string(random()));
    if (std::filesystem::create_directory(folder)) return folder.string();
  }
  std::abort();
}

// Where the loader puts its temporary copies: the variable each system's
// temporary-file call reads.
void SetTemporaryFolder(const char* folder) {
#ifdef _WIN32
  _putenv_s("TMP", folder);
#else
  setenv("TMPDIR", folder, 1);
#endif
}

// One private folder per process for the package files and the loader's
// temporary copies (TMPDIR points here), so leaked copies can be counted. It
// goes when the process ends normally.
class ScratchFolder {
 public:
  ScratchFolder() {
    // Memory-backed when there is such a folder: every input is a file.
    const std::filesystem::path base = std::filesystem::is_directory("/dev/shm")
                                           ? "/dev/shm"
                                           : std::filesystem::temp_directory_path();
    const std::string pattern = MakeUniqueFolder(base);
    SetTemporaryFolder(pattern.c_str());
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

const std::filesystem::path& Scratch() {
  static const ScratchFolder folder;
  return folder.Path();
}

bool WriteFile(const std::filesystem::path& path, std::span<const std::uint8_t> data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}

// A ZIP archive with its members stored (not compressed), put together here
// rather than by libzip: the loader is what is tried, and writing a package
// through libzip for every input would cost more than loading it.
Bytes StoredZip(const std::vector<std::pair<std::string, Bytes>>& members) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  auto crc = [&](const Bytes& b) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::uint8_t x : b) c = table[(c ^ x) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
  };
  Bytes out, central;
  auto put = [](Bytes& to, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) to.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  for (const auto& [name, bytes] : members) {
    const auto offset = static_cast<std::uint32_t>(out.size());
    const std::uint32_t sum = crc(bytes);
    const auto size = static_cast<std::uint32_t>(bytes.size());
    const auto nameSize = static_cast<std::uint32_t>(name.size());
    put(out, 0x04034b50, 4);
    put(out, 20, 2), put(out, 0, 2), put(out, 0, 2), put(out, 0, 2), put(out, 0x5021, 2);
    put(out, sum, 4), put(out, size, 4), put(out, size, 4), put(out, nameSize, 2), put(out, 0, 2);
    out.insert(out.end(), name.begin(), name.end());
    out.insert(out.end(), bytes.begin(), bytes.end());
    put(central, 0x02014b50, 4);
    put(central, 20, 2), put(central, 20, 2), put(central, 0, 2), put(central, 0, 2);
    put(central, 0, 2), put(central, 0x5021, 2), put(central, sum, 4), put(central, size, 4);
    put(central, size, 4), put(central, nameSize, 2), put(central, 0, 2), put(central, 0, 2);
    put(central, 0, 2), put(central, 0, 2), put(central, 0, 4), put(central, offset, 4);
    central.insert(central.end(), name.begin(), name.end());
  }
  const auto centralOffset = static_cast<std::uint32_t>(out.size());
  out.insert(out.end(), central.begin(), central.end());
  const auto count = static_cast<std::uint32_t>(members.size());
  put(out, 0x06054b50, 4), put(out, 0, 2), put(out, 0, 2), put(out, count, 2);
  put(out, count, 2), put(out, static_cast<std::uint32_t>(central.size()), 4);
  put(out, centralOffset, 4), put(out, 0, 2);
  return out;
}

std::size_t TemporaryCopies() {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(Scratch()))
    if (entry.path().filename().string().rfind("~QX", 0) == 0) ++count;
  return count;
}

Bytes Counting(std::size_t count, std::uint8_t first) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
  return bytes;
}

// Answers every question alike; which answer is taken from the input.
class FixedPrompt final : public QN_Prompt {
 public:
  explicit FixedPrompt(PromptAnswer answer) : answer_(answer) {}
  PromptAnswer Ask(const std::string&, const std::string&, PromptButtons) override {
    return answer_;
  }

 private:
  PromptAnswer answer_;
};

constexpr std::int64_t kWholeReadLimit = 64 * 1024;

// Names a fuzzed profile may use, besides the ones the loader reads.
constexpr std::string_view kSections[] = {"HOST", "TARGET", "FILES", "english", "", "[", "A"};
constexpr std::string_view kKeys[] = {"UART", "PORTS", "MEMORY", "PROGRAM", "", "=", "k"};

}  // namespace

bool FuzzProfile(std::span<const std::uint8_t> data) {
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  const PrivateProfile profile(text);
  // Every line's own names are looked up too, so that the keys the input
  // defines are found and read back.
  std::vector<std::string> names(std::begin(kSections), std::end(kSections));
  std::size_t pos = 0;
  while (pos < text.size() && names.size() < 24) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    const std::size_t cut = line.find_first_of("]=");
    if (!line.empty()) names.emplace_back(line.substr(line.front() == '[' ? 1 : 0, cut));
    pos = end + 1;
  }
  for (const std::string& section : names) {
    const bool has = profile.HasSection(section);
    for (const std::string& key : names) {
      const auto value = profile.Get(section, key);
      if (value && !has) return false;
      // Values are trimmed and lose one pair of enclosing quotes at most.
      if (value && value->size() > text.size()) return false;
    }
    for (std::string_view key : kKeys)
      if (profile.Get(section, key) && !has) return false;
  }
  return true;
}

bool FuzzConfiguration(std::span<const std::uint8_t> data) {
  const auto path = (Scratch() / "config.qxpkg").string();
  if (!WriteFile(path, StoredZip({{kConfigurationMember, Bytes(data.begin(), data.end())},
                                  {"XFER.BIN", Counting(64, 0)},
                                  {"BOOT.BIN", Counting(1000, 7)},
                                  {"TEXT.BIN", Counting(300, 3)}})))
    return false;

  const PromptAnswer answer =
      !data.empty() && (data.back() & 1) ? PromptAnswer::Yes : PromptAnswer::No;
  FixedPrompt prompt(answer);
  {
    QN_PackageLoader loader;
    PackageConfiguration config;
    const bool loaded = loader.Load(path, prompt, config);
    if (loaded && config.notLoaded) return false;
    if (!loaded && (loader.GetLastError() == 0 || !config.notLoaded)) return false;
    if (config.maxProgramBlockLength < 1 ||
        config.maxProgramBlockLength > kMaxProgramBlockLengthCap)
      return false;
    ConfigurationSummary(config, true);
    ConfigurationSummary(config, false);
    // Every language the package names, and one it does not.
    if (config.baseLoaded) {
      std::vector<std::string> languages = config.firmwareLanguages;
      languages.push_back("NOSUCHLANGUAGE");
      for (const std::string& language : languages) {
        QN_PackageLoader reloader;
        const bool ok = reloader.ReloadPrograms(config, language);
        if (ok == config.notLoaded) return false;
        ConfigurationSummary(config, true);
      }
    }
  }
  // The configuration's temporary copy goes with the configuration.
  return TemporaryCopies() == 0;
}

bool FuzzArchive(std::span<const std::uint8_t> data) {
  const auto path = (Scratch() / "archive.qxpkg").string();
  if (!WriteFile(path, data)) return false;
  PackageArchive archive(path);
  if (archive.IsPackage() && archive.CountMembers(kConfigurationMember) < 1) return false;
  archive.Comment();
  for (const char* name : {kConfigurationMember, "qxnotes.txt", "XFER.BIN", ""}) {
    const std::int64_t size = archive.MemberSize(name);
    std::string text;
    if (archive.ReadMemberText(name, 0, kNotesLength, text) &&
        static_cast<std::int64_t>(text.size()) > kNotesLength)
      return false;
    // A damaged header may claim up to the member limit; reading such a
    // member whole again and again only measures the allocator.
    if (size > kWholeReadLimit) continue;
    Bytes whole;
    const bool read = archive.ReadMemberBytes(name, whole);
    if (read && size >= 0 && static_cast<std::int64_t>(whole.size()) != size) return false;
    archive.ReadMemberText(name, size / 2, 16, text);
    if (text.size() > 16) return false;
    // Block reads put the member together again, byte for byte.
    Bytes joined;
    std::array<std::uint8_t, 97> block{};
    for (std::int64_t offset = 0; offset < (read ? static_cast<std::int64_t>(whole.size()) : 300);
         offset += static_cast<std::int64_t>(block.size())) {
      const std::int32_t got = archive.ReadBlock(name, block, offset);
      if (got < 0 || got > static_cast<std::int32_t>(block.size())) return false;
      joined.insert(joined.end(), block.begin(), block.begin() + got);
      if (got < static_cast<std::int32_t>(block.size())) break;
    }
    if (read && joined != whole) return false;
  }
  return true;
}

std::vector<std::uint8_t> SamplePackageBytes(const std::string& configuration) {
  const auto path = Scratch() / "sample.qxpkg";
  PackageWriter writer;
  writer.AddMember(kConfigurationMember, configuration);
  writer.AddMember(kNotesMember, std::string_view("Notes of the sample package."));
  writer.AddMember("XFER.BIN", Counting(64, 0));
  writer.AddMember("BOOT.BIN", Counting(1000, 7));
  writer.SetComment("sample");
  if (!writer.Write(path.string())) return {};
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace pelvane::package::fuzz
