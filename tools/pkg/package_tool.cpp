#include "pkg/package_tool.h"

#include <zip.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <utility>

#include "core/files.h"
#include "core/text.h"
#include "options/options.h"
#include "package/archive_file.h"
#include "package/hex_text.h"
#include "package/package_archive.h"
#include "package/package_loader.h"
#include "package/package_writer.h"
#include "pkg/package_check.h"

namespace pelvane::pkg {
namespace {

namespace fs = std::filesystem;

// Paths are shown and stored as UTF-8 on every platform.
std::string Text(const fs::path& path) {
  return core::Utf8FromPath(path);
}

struct CreateOptions {
  std::string comment;
  bool force = false;
  bool hex = false;
};

int Create(const fs::path& folder, const fs::path& output, const CreateOptions& settings,
           std::ostream& out, std::ostream& err) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    err << "pelvane-pkg create: " << Text(folder) << " is not a folder\n";
    return kExitProblems;
  }
  if (fs::exists(output, ec) && !settings.force) {
    err << "pelvane-pkg create: " << Text(output) << " exists; --force replaces it\n";
    return kExitProblems;
  }

  // Only what lies inside the folder goes into the package: a link that
  // leads out of it (to /etc/passwd, say) would otherwise become a member
  // named "../../etc/passwd" that unpacks outside wherever it is unpacked.
  const fs::path root = fs::canonical(folder, ec);
  std::vector<fs::path> files;
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code fileError;
    if (!it->is_regular_file(fileError)) continue;
    const fs::path target = fs::canonical(it->path(), fileError);
    const fs::path inside = target.lexically_relative(root);
    if (fileError || inside.empty() || *inside.begin() == "..") {
      err << "pelvane-pkg create: " << Text(it->path()) << " leads outside " << Text(folder)
          << " (to " << Text(target) << "); refused\n";
      return kExitProblems;
    }
    files.push_back(it->path());
  }
  if (ec) {
    err << "pelvane-pkg create: cannot read " << Text(folder) << ": " << ec.message() << "\n";
    return kExitProblems;
  }
  // A fixed member order gives the same package from the same files.
  std::sort(files.begin(), files.end());

  package::PackageWriter writer;
  writer.SetComment(settings.comment);
  bool has_configuration = false;
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
      err << "pelvane-pkg create: cannot read " << Text(file) << "\n";
      return kExitProblems;
    }
    // The member is named by where the file lies in the folder, never by
    // where a link inside it points.
    std::string name = Text(file.lexically_relative(folder));
    // Member names use "/" whatever the system's own separator.
    std::replace(name.begin(), name.end(), '\\', '/');
    if (settings.hex && name.size() > 4 &&
        pelvane::core::ToUpper(name.substr(name.size() - 4)) == ".HEX") {
      std::string error;
      auto bytes = package::DecodeHexText(content, error);
      if (!bytes) {
        err << "pelvane-pkg create: " << Text(file) << ": " << error << "\n";
        return kExitProblems;
      }
      name.resize(name.size() - 4);
      writer.AddMember(name, std::move(*bytes));
    } else {
      writer.AddMember(name, content);
    }
    has_configuration |= pelvane::core::ToUpper(name) == package::kConfigurationMember;
  }
  if (!has_configuration) {
    err << "pelvane-pkg create: " << Text(folder) << " has no " << package::kConfigurationMember
        << "\n";
    return kExitProblems;
  }
  if (!writer.Write(Text(output))) {
    err << "pelvane-pkg create: " << writer.Error() << "\n";
    return kExitProblems;
  }
  out << Text(output) << ": " << writer.Members().size() << " members\n";
  return kExitOk;
}

bool ListMembers(const std::string& path, std::ostream& out, std::ostream& err) {
  int code = 0;
  std::unique_ptr<zip_t, decltype(&zip_discard)> archive(package::OpenArchiveFile(path, &code),
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

// The section of the package format's reference (docs/package-format.md, also
// installed with the other documents) that explains a problem, by how the
// problem's sentence begins; empty when none does.
std::string FormatSection(const std::string& problem) {
  static constexpr std::pair<const char*, const char*> kSections[] = {
      {"the wizard cannot load", "Load errors"},
      {"[HOST]", "[HOST]"},
      {"transfer program", "[HOST]"},
      {"[TARGET]", "[TARGET]"},
      {"flash memor", "[TARGET]"},
      {"erase range", "[TARGET]"},
      {"upload", "[FILES]"},
      {"program file", "[FILES]"},
      {"firmware language", "Language sections"},
      {"the members an upload sends", "Limits"},
      {"member", "The archive"},
  };
  for (const auto& [start, section] : kSections)
    if (problem.rfind(start, 0) == 0)
      return std::string(" (package-format.md, \"") + section + "\")";
  return "";
}

int Check(const std::string& path, std::ostream& out) {
  const CheckReport report = CheckPackage(path);
  for (const auto& problem : report.problems)
    out << path << ": " << problem << FormatSection(problem) << "\n";
  for (const auto& warning : report.warnings)
    out << path << ": warning: " << warning << FormatSection(warning) << "\n";
  if (report.loaded)
    out << path << ": an upload reads " << report.sentMembers
        << (report.sentMembers == 1 ? " member" : " members") << " of " << report.sentBytes
        << " bytes unpacked\n";
  if (report.problems.empty()) {
    out << path << ": no problems found\n";
    return kExitOk;
  }
  out << path << ": " << report.problems.size()
      << (report.problems.size() == 1 ? " problem\n" : " problems\n");
  return kExitProblems;
}

}  // namespace

namespace {

constexpr const char* kCreateOptions = "Options of create:";
constexpr const char* kOtherOptions = "Options:";

constexpr options::Option kOptions[] = {
    {.name = "comment",
     .value = "TEXT",
     .help = "the archive comment, shown as the package's name in the wizard",
     .group = kCreateOptions},
    {.name = "hex",
     .help = "files ending in .hex hold bytes as hexadecimal text (\"#\" starts a comment "
             "line); they become members without the ending",
     .group = kCreateOptions},
    {.name = "force", .help = "replace OUTPUT if it exists", .group = kCreateOptions},
    {.name = "help", .help = "show this text and exit", .letter = 'h', .group = kOtherOptions},
    {.name = "version",
     .help = "show the program's name and version and exit",
     .group = kOtherOptions},
};

// How many plain arguments each command takes, the command included.
std::size_t WordsOf(const std::string& command) {
  if (command == "create") return 3;
  if (command == "show" || command == "check") return 2;
  return 1;  // help
}

std::string WantsText(const std::string& command) {
  return command == "create" ? command + " wants FOLDER and OUTPUT"
                             : command + " wants one PACKAGE";
}

}  // namespace

std::string PackageToolUsage() {
  return R"(Usage: pelvane-pkg COMMAND ...
       pelvane-pkg --help | --version

  pelvane-pkg create FOLDER OUTPUT [--comment TEXT] [--hex] [--force]
      Builds a firmware package (.qxpkg) from the files of FOLDER, which must
      hold QXCONFIG.INI. Files in sub-folders become members "sub/name".

  pelvane-pkg show PACKAGE
      Lists the members and the configuration as the wizard reads it.

  pelvane-pkg check PACKAGE
      Loads the package as the wizard does and lists every problem to fix before
      shipping: members that are missing, program files, erase or upload ranges
      outside every flash memory, blocks larger than a frame carries, baud rates
      failing the speed check, unknown flash names, overlapping memories.

)" + options::HelpLines(kOptions) +
         R"(
Exit status: 0 success (check: no problems), 1 problems found or the command
failed, 2 bad usage.
)";
}

int RunPackageTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    err << PackageToolUsage();
    return kExitUsage;
  }
  std::vector<std::string> words;  // the command and its plain arguments
  CreateOptions create;
  bool help = false;
  bool version = false;
  const std::string error =
      options::Parse(kOptions, args, [&](const options::Argument& a) -> std::string {
        if (a.option == nullptr) {
          if (words.empty() && WordsOf(a.value) == 1 && a.value != "help")
            return "unknown command " + a.value;
          if (!words.empty() && words.size() == WordsOf(words[0]))
            return words[0] == "help" ? "unexpected argument " + a.value : WantsText(words[0]);
          words.push_back(a.value);
          return "";
        }
        if (a.Is("help")) {
          help = true;
        } else if (a.Is("version")) {
          version = true;
        } else if (words.empty() || words[0] != "create") {
          return "--" + std::string(a.option->name) + " is an option of create";
        } else if (a.Is("comment")) {
          create.comment = a.value;
        } else if (a.Is("hex")) {
          create.hex = true;
        } else if (a.Is("force")) {
          create.force = true;
        }
        return "";
      });
  if (!error.empty()) {
    err << options::UsageErrorText("pelvane-pkg", error);
    return kExitUsage;
  }
  if (help || (!words.empty() && words[0] == "help")) {
    out << PackageToolUsage();
    return kExitOk;
  }
  if (version) {
    out << options::VersionLine("pelvane-pkg");
    return kExitOk;
  }
  if (words.empty() || words.size() != WordsOf(words[0])) {
    err << options::UsageErrorText("pelvane-pkg",
                                   words.empty() ? "no command given" : WantsText(words[0]));
    return kExitUsage;
  }
  const std::string& command = words[0];
  if (command == "create")
    return Create(core::PathFromUtf8(words[1]), core::PathFromUtf8(words[2]), create, out, err);
  return command == "show" ? Show(words[1], out, err) : Check(words[1], out);
}

}  // namespace pelvane::pkg
