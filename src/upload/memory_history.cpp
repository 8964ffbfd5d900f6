#include "upload/memory_history.h"

#include <charconv>
#include <filesystem>
#include <sstream>

#include "core/files.h"
#include "core/program.h"
#include "upload/report_text.h"

namespace pelvane::upload {

namespace {

// A history beyond this is not this program's own file.
constexpr std::size_t kHistoryLimit = 1 << 20;

// One line a memory: "SHA256 START MANUFACTURER DEVICE TIME PORT", numbers in
// hexadecimal; the port is the rest of the line.
struct Entry {
  std::string package;
  std::uint32_t start = 0, manufacturer = 0, device = 0;
  std::string when, port;
};

bool ParseHex(const std::string& text, std::uint32_t* value) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, *value, 16);
  return ec == std::errc() && ptr == end;
}

std::vector<Entry> ReadEntries(const std::string& file) {
  std::vector<std::uint8_t> bytes;
  if (core::ReadWholeFile(file, kHistoryLimit, &bytes) != core::ReadOutcome::kRead) return {};
  std::istringstream lines(std::string(bytes.begin(), bytes.end()));
  std::vector<Entry> entries;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    Entry e;
    std::string start, manufacturer, device;
    fields >> e.package >> start >> manufacturer >> device >> e.when;
    std::getline(fields >> std::ws, e.port);
    // A line this program did not write is left out.
    if (e.package.size() == 64 && ParseHex(start, &e.start) &&
        ParseHex(manufacturer, &e.manufacturer) && ParseHex(device, &e.device) && !e.when.empty())
      entries.push_back(e);
  }
  return entries;
}

std::string CodesText(std::uint32_t manufacturer, std::uint32_t device) {
  return "Manufacturer H" + HexText(manufacturer) + ", Device H" + HexText(device);
}

}  // namespace

std::string DefaultMemoryHistoryFile() {
  const std::string logs = core::LogFolder();
  if (logs.empty()) return {};
  // Beside the logs folder, in the program's own state folder.
  return core::Utf8FromPath(core::PathFromUtf8(logs).parent_path() /
                            core::PathFromUtf8("memory-codes.txt"));
}

std::vector<std::string> MemoryHistory::CompareAndRemember(const std::string& packageSha256,
                                                           const std::vector<MemoryCodes>& seen,
                                                           const std::string& port,
                                                           const std::string& when) {
  if (file_.empty() || seen.empty()) return {};
  std::vector<Entry> entries = ReadEntries(file_);
  std::vector<std::string> differences;
  for (const MemoryCodes& codes : seen) {
    const auto start = static_cast<std::uint32_t>(codes.startAddress);
    Entry fresh{packageSha256, start, codes.manufacturer, codes.device, when, port};
    bool known = false;
    for (Entry& entry : entries) {
      if (entry.package != packageSha256 || entry.start != start) continue;
      if (entry.manufacturer != codes.manufacturer || entry.device != codes.device)
        differences.push_back("Memory at H" + HexText(start) + ": " +
                              CodesText(codes.manufacturer, codes.device) + " differs from " +
                              CodesText(entry.manufacturer, entry.device) + " seen on " +
                              entry.port + " at " + entry.when);
      entry = fresh;
      known = true;
    }
    if (!known) entries.push_back(fresh);
  }
  std::string text;
  for (const Entry& e : entries)
    text += e.package + " " + HexText(e.start) + " " + HexText(e.manufacturer) + " " +
            HexText(e.device) + " " + e.when + " " + e.port + "\n";
  std::error_code ec;
  std::filesystem::create_directories(core::PathFromUtf8(file_).parent_path(), ec);
  core::WriteWholeFile(file_, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()},
                       core::Overwrite::kAgreed);
  return differences;
}

}  // namespace pelvane::upload
