#include "pkg/package_check.h"

#include <zip.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "core/files.h"
#include "core/text.h"
#include "package/archive_file.h"
#include "package/package_archive.h"
#include "package/package_loader.h"
#include "package/qn_download.h"
#include "ports/kind/port_kind.h"

namespace pelvane::pkg {
namespace {

using package::PackageConfiguration;

// Loading never asks questions; checking must not touch files on the computer.
class NoPrompt : public package::QN_Prompt {
 public:
  package::PromptAnswer Ask(const std::string&, const std::string&,
                            package::PromptButtons buttons) override {
    return buttons == package::PromptButtons::YesNo ? package::PromptAnswer::No
                                                    : package::PromptAnswer::Cancel;
  }
};

std::string Hex(std::int64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v & 0xFFFFFFFF));
  return text;
}

std::string Range(std::int64_t start, std::int64_t length) {
  return Hex(start) + ".." + Hex(start + length - 1);
}

// Member names are matched without regard to case and the first one wins, so
// "MAIN.BIN" beside "main.bin" hides one of them.
std::vector<std::string> CaseTwins(const std::string& path) {
  std::vector<std::string> warnings;
  int code = 0;
  std::unique_ptr<zip_t, decltype(&zip_discard)> zip(package::OpenArchiveFile(path, &code),
                                                     &zip_discard);
  if (!zip) return warnings;
  std::map<std::string, std::vector<std::string>> byName;
  const zip_int64_t count = zip_get_num_entries(zip.get(), 0);
  for (zip_int64_t i = 0; i < count; ++i)
    if (const char* name = zip_get_name(zip.get(), static_cast<zip_uint64_t>(i), 0))
      byName[pelvane::core::ToUpper(name)].push_back(name);
  for (const auto& [upper, names] : byName) {
    if (names.size() < 2) continue;
    std::string list;
    for (const auto& name : names) list += (list.empty() ? "" : ", ") + name;
    warnings.push_back("members " + list + " differ only in case: Pelvane reads " + names.front() +
                       " and never the others");
  }
  return warnings;
}

// The upload finds a range's memory as the last one holding all of it; the
// 64-bit sums keep a range near the top of the address space honest.
bool InSomeMemory(const PackageConfiguration& c, std::int64_t start, std::int64_t length) {
  for (const auto& m : c.memories) {
    const std::int64_t mStart = m.StartAddress();
    const std::int64_t mEnd = mStart + m.Length();
    if (mStart <= start && start + length <= mEnd) return true;
  }
  return false;
}

// True when the erase ranges together cover [start, start + length): flash
// that was never erased fails to program on the instrument.
bool Erased(const PackageConfiguration& c, std::int64_t start, std::int64_t length) {
  std::vector<std::pair<std::int64_t, std::int64_t>> ranges;
  for (const auto& e : c.erases)
    ranges.emplace_back(e.EraseAddress(), std::int64_t{e.EraseAddress()} + e.Length());
  std::sort(ranges.begin(), ranges.end());
  std::int64_t covered = start;  // everything below is erased
  for (const auto& [from, to] : ranges) {
    if (from > covered) break;
    covered = std::max(covered, to);
  }
  return covered >= start + length;
}

// A program's problem, with the firmware languages whose program list has it.
struct ProgramProblem {
  std::string key;
  std::string text;
  std::vector<std::string> languages;
  bool warning = false;  // the upload goes on, but the instrument may refuse it
};

// `members` collects the archive members the programs name (upper-cased, as
// names match without regard to case).
void CheckPrograms(const PackageConfiguration& c, const std::string& language,
                   std::vector<ProgramProblem>& found,
                   std::map<std::string, std::string>& members) {
  auto note = [&](const std::string& key, const std::string& text, bool warning = false) {
    for (auto& f : found) {
      if (f.key == key && f.text == text) {
        f.languages.push_back(language);
        return;
      }
    }
    found.push_back({key, text, {language}, warning});
  };
  // The programs checked so far, for overlaps.
  struct Placed {
    std::string key, name;
    std::int64_t start, length;
  };
  std::vector<Placed> placed;
  for (const auto& p : c.programs) {
    const std::string key =
        pelvane::core::ToUpper(p.Filename()) + "@" + std::to_string(p.LoadAddress());
    const package::QN_Download* download = nullptr;
    for (const auto& d : c.downloads) {
      if (pelvane::core::ToUpper(d.Filename()) == pelvane::core::ToUpper(p.Filename())) {
        download = &d;
        break;
      }
    }
    if (!p.Validate() && download == nullptr) {
      note(key, "program file " + p.Filename() + " is not in the package");
      continue;
    }
    if (download == nullptr) members.emplace(pelvane::core::ToUpper(p.Filename()), p.Filename());
    const std::int64_t length = download ? download->Length() : p.Length();
    if (length <= 0) continue;
    const std::string at = p.Filename() + " at " + Range(p.LoadAddress(), length);
    const std::string where = "program file " + at;
    if (!InSomeMemory(c, p.LoadAddress(), length))
      note(key, where + " lies outside every flash memory");
    if (!Erased(c, p.LoadAddress(), length))
      note(key,
           where + " is not inside the erase ranges: flash that was not erased fails to program",
           true);
    for (const Placed& other : placed) {
      if (other.start < p.LoadAddress() + length && p.LoadAddress() < other.start + other.length)
        note(other.key + "+" + key, "program files " + other.name + " and " + at + " overlap",
             true);
    }
    placed.push_back({key, at, p.LoadAddress(), length});
  }
}

// The [HOST] keys and the transfer program.
void CheckHost(const PackageConfiguration& c, std::vector<std::string>& problems) {
  // MAXPROGLEN below 1 never gets here: loading the package refuses it.
  if (!c.programs.empty() && c.maxProgramBlockLength > kMaxProgramBlock) {
    problems.push_back("[HOST] MAXPROGLEN " + std::to_string(c.maxProgramBlockLength) +
                       " makes program blocks larger than a frame carries (" +
                       std::to_string(kMaxProgramBlock) + " bytes)");
  }
  if (!c.downloads.empty() && c.maxProgramBlockLength > kMaxReadAnswer) {
    problems.push_back("[HOST] MAXPROGLEN " + std::to_string(c.maxProgramBlockLength) +
                       " asks for read answers larger than a frame carries (" +
                       std::to_string(kMaxReadAnswer) + " bytes)");
  }

  for (const auto& port : c.ports) {
    // The same ports the upload checks: the default line always runs at 115200.
    if (!ports::InfoOfPort(port).needsRate) continue;
    if (c.baudRate <= 0 || 115200 % c.baudRate != 0) {
      problems.push_back("[HOST] BAUD " + c.baudText + " fails the speed check for port " + port +
                         " (115200 must be a whole multiple of it)");
      break;
    }
  }
  if (std::find(c.ports.begin(), c.ports.end(), c.port) == c.ports.end()) {
    problems.push_back("[HOST] UART " + c.port + " is not one of PORTS");
  }

  if (!c.transferProgram.Validate()) {
    problems.push_back("transfer program " + c.transferProgram.Filename() +
                       " is not in the package");
  } else if (c.transferProgram.Length() == 0) {
    problems.push_back("transfer program " + c.transferProgram.Filename() + " is empty");
  }
}

// The flash memories and the erase ranges.
void CheckMemories(const PackageConfiguration& c, std::vector<std::string>& problems) {
  for (std::size_t i = 0; i < c.memories.size(); ++i) {
    const auto& m = c.memories[i];
    if (m.FlashnameIndex() == 0) {
      problems.push_back("flash memory " + Hex(m.StartAddress()) + " names an unknown flash \"" +
                         m.Flashname() + "\"");
    }
    if (m.Length() <= 0) {
      problems.push_back("flash memory " + Hex(m.StartAddress()) + " has no length");
    }
    for (std::size_t j = 0; j < i; ++j) {
      const auto& o = c.memories[j];
      const std::int64_t a0 = m.StartAddress(), a1 = a0 + m.Length();
      const std::int64_t b0 = o.StartAddress(), b1 = b0 + o.Length();
      if (a0 < b1 && b0 < a1) {
        problems.push_back("flash memories " + Range(b0, b1 - b0) + " and " + Range(a0, a1 - a0) +
                           " overlap");
      }
    }
  }
  if (c.memories.empty() && (!c.programs.empty() || !c.erases.empty())) {
    problems.push_back("[TARGET] has no MEMORY entry");
  }

  for (const auto& e : c.erases) {
    if (!InSomeMemory(c, e.EraseAddress(), e.Length())) {
      problems.push_back("erase range " + Range(e.EraseAddress(), e.Length()) +
                         " lies outside every flash memory");
    }
  }
}

// The read-back files: where they are read from and the names they are written as.
void CheckDownloads(const PackageConfiguration& c, const std::string& path, CheckReport& report) {
  auto& problems = report.problems;
  // Each read-back gets a file of its own (names that differ only in case are
  // one file on Windows), and none may take the package's own name: run from
  // the package's folder, it would replace the package. A run refuses both.
  const std::string packageName = pelvane::core::ToUpper(package::LastNameComponent(
      pelvane::core::Utf8FromPath(pelvane::core::PathFromUtf8(path).filename())));
  std::map<std::string, std::string> written;
  for (const auto& d : c.downloads) {
    const std::string name = pelvane::core::ToUpper(package::LastNameComponent(d.Filename()));
    if (const auto [first, fresh] = written.emplace(name, d.Filename()); !fresh)
      problems.push_back("upload files " + first->second + " and " + d.Filename() +
                         " would both be written as " + package::LastNameComponent(d.Filename()));
    if (name == packageName)
      problems.push_back("upload file " + d.Filename() +
                         " would be written under the package's own name and replace it when "
                         "run from the package's folder");
  }
  for (const auto& d : c.downloads) {
    if (!InSomeMemory(c, d.StartAddress(), d.Length())) {
      problems.push_back("upload range " + Range(d.StartAddress(), d.Length()) + " for " +
                         d.Filename() + " lies outside every flash memory");
    }
    if (d.NameMoved()) {
      report.warnings.push_back("upload file " + d.Filename() +
                                " has a folder part or a drive letter: Pelvane writes it as " +
                                package::LastNameComponent(d.Filename()) +
                                " inside the output folder");
    }
  }
}

// The program lists of every firmware language, and the members a run sends.
void CheckLanguages(const std::string& path, package::QN_PackageLoader& loader,
                    PackageConfiguration& c, CheckReport& report) {
  auto& problems = report.problems;
  // Every firmware language brings its own program list; a problem shared by
  // all of them is reported once, without a language.
  std::vector<ProgramProblem> found;
  // By upper-cased name: the members of all languages, and of one.
  std::map<std::string, std::string> members;
  const package::PackageArchive archive(path);
  const auto sizeOf = [&archive](const std::map<std::string, std::string>& named) {
    std::int64_t bytes = 0;
    for (const auto& [upper, name] : named) bytes += archive.MemberSize(name);
    return bytes;
  };
  std::vector<std::string> languages = c.firmwareLanguages;
  if (languages.empty()) languages.push_back(c.firmwareLanguage);
  for (const auto& language : languages) {
    if (!loader.ReloadPrograms(c, language)) {
      problems.push_back("firmware language " + language +
                         ": the wizard cannot load its programs: " + loader.GetLastErrorString());
      continue;
    }
    std::map<std::string, std::string> sent;
    if (c.transferProgram.Validate())
      sent.emplace(pelvane::core::ToUpper(c.transferProgram.Filename()),
                   c.transferProgram.Filename());
    CheckPrograms(c, language, found, sent);
    // However many entries name a member, a run holds it once.
    if (const std::int64_t bytes = sizeOf(sent); bytes > report.sentBytes) {
      report.sentBytes = bytes;
      report.sentMembers = static_cast<std::int64_t>(sent.size());
    }
    members.insert(sent.begin(), sent.end());
  }
  if (report.sentBytes > package::kMaxRunMemberBytes)
    problems.push_back("the members an upload sends hold " + std::to_string(report.sentBytes) +
                       " bytes unpacked, more than the " +
                       std::to_string(package::kMaxRunMemberBytes) + " one run may hold");
  for (const auto& f : found) {
    std::string text = f.text;
    if (f.languages.size() < languages.size()) {
      text += " (firmware language";
      for (const auto& l : f.languages) text += " " + l;
      text += ")";
    }
    (f.warning ? report.warnings : problems).push_back(text);
  }
  // Read to their end, as the upload reads them before it erases anything,
  // so that libzip checks each member's CRC; streamed, not held.
  for (const auto& [upper, name] : members)
    if (!archive.CheckMember(name))
      problems.push_back("member " + name + " cannot be read: " + archive.LastError());
}

}  // namespace

CheckReport CheckPackage(const std::string& path) {
  CheckReport report;
  NoPrompt prompt;
  package::QN_PackageLoader loader;
  PackageConfiguration c;
  if (!loader.Load(path, prompt, c)) {
    report.problems.push_back("the wizard cannot load the package: " + loader.GetLastErrorString());
    return report;
  }
  report.loaded = true;
  report.warnings = CaseTwins(path);
  CheckHost(c, report.problems);
  CheckMemories(c, report.problems);
  CheckDownloads(c, path, report);
  CheckLanguages(path, loader, c, report);
  return report;
}

}  // namespace pelvane::pkg
