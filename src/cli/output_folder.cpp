#include "cli/output_folder.h"

#include <ctime>
#include <filesystem>

#include "core/files.h"
#include "core/system_error.h"

namespace pelvane::cli {

namespace {

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

}  // namespace

std::string PortFolderName(const std::string& port) {
  std::string name = port;
  for (const char* prefix : {"/dev/", "\\\\.\\"})
    if (name.rfind(prefix, 0) == 0) name.erase(0, std::string(prefix).size());
  for (char& c : name)
    if (c == '/' || c == '\\' || c == ':') c = '_';
  if (!core::FileNameProblem(name).empty()) name = "port-" + name;
  return name;
}

std::string ExpandFolder(const std::string& pattern, const std::string& port,
                         std::chrono::system_clock::time_point start) {
  std::string folder = pattern;
  if (folder.find('{') == std::string::npos) return folder;
  const std::time_t when = std::chrono::system_clock::to_time_t(start);
  // The runner reads the clock on one thread, before the run starts.
  const std::tm local = *std::localtime(&when);
  char date[16], time[16];
  std::strftime(date, sizeof date, "%Y-%m-%d", &local);
  std::strftime(time, sizeof time, "%H%M%S", &local);
  ReplaceAll(folder, "{port}", PortFolderName(port));
  ReplaceAll(folder, "{date}", date);
  ReplaceAll(folder, "{time}", time);
  return folder;
}

std::string CreateFolder(const std::string& folder) {
  std::error_code ec;
  const std::filesystem::path path = core::PathFromUtf8(folder);
  if (std::filesystem::is_directory(path, ec)) return {};
  std::filesystem::create_directories(path, ec);
  if (ec)
    return "cannot create the folder " + folder + ": " +
           (ec.category() == std::system_category()
                ? core::SystemErrorText(static_cast<std::uint32_t>(ec.value()))
                : ec.message());
  return {};
}

}  // namespace pelvane::cli
