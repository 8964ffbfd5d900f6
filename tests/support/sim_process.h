// pelvane-sim as the end-to-end tests start it: with a package's memories,
// dumping its flash into a folder when it ends, an area of it preloaded if
// asked, on a pseudo-terminal whose path it prints first.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"

namespace pelvane::test {

struct SimFiles {
  std::filesystem::path package;
  std::filesystem::path dump;  // a folder; one file per flash memory
  std::string preload = {};    // "ADDRESS,FILE", or empty
};

class SimProcess : public ChildProcess {
 public:
  // Starts `program` (pelvane-sim) in `dir`, its output in sim.out and sim.err there.
  SimProcess(const std::string& program, const SimFiles& files,
             const std::vector<std::string>& extra, const std::filesystem::path& dir)
      : ChildProcess(program, Arguments(files, extra), dir, "sim") {}

  // Waits for the first line: the path of the simulator's terminal. Empty if
  // it did not start or ended before it got there (Err() says why).
  std::string Terminal() {
    if (!Started() || !WaitForOutput("\n")) return {};
    const std::string out = Out();
    return out.substr(0, out.find('\n'));
  }

 private:
  static std::vector<std::string> Arguments(const SimFiles& files,
                                            const std::vector<std::string>& extra) {
    std::vector<std::string> args{"--package", files.package.string(), "--dump",
                                  files.dump.string()};
    if (!files.preload.empty()) args.insert(args.end(), {"--preload", files.preload});
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
};

}  // namespace pelvane::test
