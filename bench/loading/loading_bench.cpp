// loading_bench: packages far larger than any real one, loaded the way the
// wizard loads them and checked the way pelvane-pkg check does, to show that
// loading stays linear in the size of the configuration and the number of
// entries.
//
//   loading_bench [WORK_DIR]
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "package/package_loader.h"
#include "package/package_writer.h"
#include "pkg/package_check.h"

namespace {

namespace fs = std::filesystem;
using pelvane::package::PackageWriter;

constexpr const char* kHead =
    "[HOST]\nPORTS=COM1\nUART=COM1\nBAUD=115200\nTRANSFER=XFER.BIN,0x8000,0x8004\n"
    "[TARGET]\nPROCESSOR=I80X86\nARCHITECTURE=B16\nMEMORY=0x400000,0x200000,I28F016\n";

class AnswerNo : public pelvane::package::QN_Prompt {
 public:
  pelvane::package::PromptAnswer Ask(const std::string&, const std::string&,
                                     pelvane::package::PromptButtons) override {
    return pelvane::package::PromptAnswer::No;
  }
};

double Seconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Measure(const std::string& name, const std::string& path, std::size_t iniBytes) {
  AnswerNo prompt;
  bool loaded = false;
  const double load = Seconds([&] {
    pelvane::package::QN_PackageLoader loader;
    pelvane::package::PackageConfiguration config;
    loaded = loader.Load(path, prompt, config);
  });
  std::size_t problems = 0;
  const double check =
      Seconds([&] { problems = pelvane::pkg::CheckPackage(path).problems.size(); });
  std::printf("%-28s QXCONFIG.INI %6.1f MB  load %7.3f s%s  check %7.3f s (%zu problems)\n",
              name.c_str(), static_cast<double>(iniBytes) / 1e6, load, loaded ? "" : " FAILED",
              check, problems);
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path work = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "pelvane-load";
  fs::create_directories(work);

  // 100,000 sections of filler after the real ones: about 44 MB of INI.
  {
    std::string ini = kHead;
    ini.reserve(45'000'000);
    for (int i = 0; i < 100'000; ++i) {
      ini += "[FILLER" + std::to_string(i) + "]\n";
      for (int k = 0; k < 12; ++k)
        ini += "KEY" + std::to_string(k) + "=a value long enough to be a real line\n";
    }
    PackageWriter writer;
    writer.AddMember("QXCONFIG.INI", ini);
    writer.AddMember("XFER.BIN", std::vector<std::uint8_t>(64, 0x5A));
    const std::string path = (work / "sections.qxpkg").string();
    if (!writer.Write(path)) return std::fprintf(stderr, "%s\n", writer.Error().c_str()), 1;
    Measure("100,000 sections", path, ini.size());
  }
  // 3000 PROGRAM entries, each with its own member.
  {
    std::string ini = std::string(kHead) + "[FILES]\n";
    PackageWriter writer;
    for (int i = 0; i < 3000; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "P%d.BIN", i);
      char line[96];
      std::snprintf(line, sizeof line, "PROGRAM%s=0x%X,%s\n",
                    i == 0 ? "" : std::to_string(i).c_str(), 0x400000 + i * 16, name);
      ini += line;
      writer.AddMember(name, std::vector<std::uint8_t>(16, static_cast<std::uint8_t>(i)));
    }
    writer.AddMember("QXCONFIG.INI", ini);
    writer.AddMember("XFER.BIN", std::vector<std::uint8_t>(64, 0x5A));
    const std::string path = (work / "programs.qxpkg").string();
    if (!writer.Write(path)) return std::fprintf(stderr, "%s\n", writer.Error().c_str()), 1;
    Measure("3000 PROGRAM entries", path, ini.size());
  }
  fs::remove_all(work);
  return 0;
}
