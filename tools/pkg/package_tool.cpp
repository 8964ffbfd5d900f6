#include "pkg/package_tool.h"

#include <zip.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>

#include "package/hex_text.h"
#include "package/package_archive.h"
#include "package/package_loader.h"
#include "package/package_writer.h"
#include "pkg/package_check.h"

namespace pelvane::pkg {
namespace {

namespace fs = std::filesystem;

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

int Create(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string comment;
  bool force = false;
  bool hex = false;
  std::vector<std::string> positional;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--comment" && i + 1 < args.size()) {
      comment = args[++i];
    } else if (args[i] == "--force") {
      force = true;
    } else if (args[i] == "--hex") {
      hex = true;
    } else if (args[i].rfind("--", 0) == 0) {
      err << "pelvane-pkg create: unknown option " << args[i] << "\n";
      return kExitUsage;
    } else {
      positional.push_back(args[i]);
    }
  }
  if (positional.size() != 2) {
    err << "pelvane-pkg create: wants FOLDER and OUTPUT\n";
    return kExitUsage;
  }
  const fs::path folder = positional[0];
  const fs::path output = positional[1];
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    err << "pelvane-pkg create: " << folder.string() << " is not a folder\n";
    return kExitProblems;
  }
  if (fs::exists(output, ec) && !force) {
    err << "pelvane-pkg create: " << output.string() << " exists; --force replaces it\n";
    return kExitProblems;
  }

  std::vector<fs::path> files;
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file()) files.push_back(it->path());
  }
  if (ec) {
    err << "pelvane-pkg create: cannot read " << folder.string() << ": " << ec.message() << "\n";
    return kExitProblems;
  }
  // A fixed member order gives the same package from the same files.
  std::sort(files.begin(), files.end());

  package::PackageWriter writer;
  writer.SetComment(comment);
  bool has_configuration = false;
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
      err << "pelvane-pkg create: cannot read " << file.string() << "\n";
      return kExitProblems;
    }
    std::string name = fs::relative(file, folder).generic_string();
    if (hex && name.size() > 4 && Upper(name.substr(name.size() - 4)) == ".HEX") {
      std::string error;
      auto bytes = package::DecodeHexText(content, error);
      if (!bytes) {
        err << "pelvane-pkg create: " << file.string() << ": " << error << "\n";
        return kExitProblems;
      }
      name.resize(name.size() - 4);
      writer.AddMember(name, std::move(*bytes));
    } else {
      writer.AddMember(name, content);
    }
    has_configuration |= Upper(name) == package::kConfigurationMember;
  }
  if (!has_configuration) {
    err << "pelvane-pkg create: " << folder.string() << " has no " << package::kConfigurationMember
        << "\n";
    return kExitProblems;
  }
  if (!writer.Write(output.string())) {
    err << "pelvane-pkg create: " << writer.Error() << "\n";
    return kExitProblems;
  }
  out << output.string() << ": " << writer.Members().size() << " members\n";
  return kExitOk;
}

bool ListMembers(const std::string& path, std::ostream& out, std::ostream& err) {
  int code = 0;
  std::unique_ptr<zip_t, decltype(&zip_discard)> archive(zip_open(path.c_str(), ZIP_RDONLY, &code),
                                                         &zip_discard);
  if (!archive) {
    zip_error_t ze;
    zip_error_init_with_code(&ze, code);
    err << "pelvane-pkg: cannot open " << path << ": " << zip_error_strerror(&ze) << "\n";
    zip_error_fini(&ze);
    return false;
  }
  const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    zip_stat_t st;
    if (zip_stat_index(archive.get(), static_cast<zip_uint64_t>(i), 0, &st) != 0) continue;
    out << "  " << st.name;
    if (st.valid & ZIP_STAT_SIZE) out << "  " << st.size << " bytes";
    out << "\n";
  }
  return true;
}

class NoPrompt : public package::QN_Prompt {
 public:
  package::PromptAnswer Ask(const std::string&, const std::string&,
                            package::PromptButtons buttons) override {
    return buttons == package::PromptButtons::YesNo ? package::PromptAnswer::No
                                                    : package::PromptAnswer::Cancel;
  }
};

int Show(const std::string& path, std::ostream& out, std::ostream& err) {
  out << "Package " << path << "\n";
  const std::string comment = package::PackageArchive(path).Comment();
  if (!comment.empty()) out << "Comment: " << comment << "\n";
  out << "Members:\n";
  if (!ListMembers(path, out, err)) return kExitProblems;
  NoPrompt prompt;
  package::QN_PackageLoader loader;
  package::PackageConfiguration config;
  if (!loader.Load(path, prompt, config)) {
    err << "pelvane-pkg: the wizard cannot load " << path << ": " << loader.GetLastErrorString()
        << "\n";
    return kExitProblems;
  }
  out << "Configuration:\n";
  for (const auto& piece : package::ConfigurationSummary(config, true)) {
    if (piece == " ") continue;  // the wizard's separator between instruction and details
    out << "  " << piece << "\n";
  }
  return kExitOk;
}

int Check(const std::string& path, std::ostream& out) {
  const CheckReport report = CheckPackage(path);
  for (const auto& problem : report.problems) out << path << ": " << problem << "\n";
  if (report.problems.empty()) {
    out << path << ": no problems found\n";
    return kExitOk;
  }
  out << path << ": " << report.problems.size()
      << (report.problems.size() == 1 ? " problem\n" : " problems\n");
  return kExitProblems;
}

}  // namespace

std::string PackageToolUsage() {
  return R"(Usage: pelvane-pkg COMMAND ...

  pelvane-pkg create FOLDER OUTPUT [--comment TEXT] [--hex] [--force]
      Builds a firmware package (.QXPKG) from the files of FOLDER, which must
      hold QXCONFIG.INI. Files in sub-folders become members "sub/name".
      --comment  the archive comment, shown as the package's name in the wizard
      --hex      files ending in .hex hold bytes as hexadecimal text ("#" starts a
                 comment line); they become members without the ending
      --force    replace OUTPUT if it exists

  pelvane-pkg show PACKAGE
      Lists the members and the configuration as the wizard reads it.

  pelvane-pkg check PACKAGE
      Loads the package as the wizard does and lists every problem to fix before
      shipping: members that are missing, program files, erase or upload ranges
      outside every flash memory, blocks larger than a frame carries, baud rates
      failing the speed check, unknown flash names, overlapping memories.

Exit status: 0 success (check: no problems), 1 problems found or the command
failed, 2 bad usage.
)";
}

int RunPackageTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    err << PackageToolUsage();
    return kExitUsage;
  }
  const std::string& command = args[0];
  if (command == "--help" || command == "-h" || command == "help") {
    out << PackageToolUsage();
    return kExitOk;
  }
  if (command == "create") return Create(args, out, err);
  if (command == "show" || command == "check") {
    if (args.size() != 2) {
      err << "pelvane-pkg " << command << ": wants one PACKAGE\n";
      return kExitUsage;
    }
    return command == "show" ? Show(args[1], out, err) : Check(args[1], out);
  }
  err << "pelvane-pkg: unknown command " << command << " (pelvane-pkg --help lists them)\n";
  return kExitUsage;
}

}  // namespace pelvane::pkg
