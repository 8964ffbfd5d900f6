// pelvane-pkg: build, show and check firmware packages. The commands are a
// function so that tests run them in-process.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace pelvane::pkg {

enum ExitCode : int {
  kExitOk = 0,
  kExitProblems = 1,  // check found problems, or a command failed
  kExitUsage = 2,
};

int RunPackageTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

std::string PackageToolUsage();

}  // namespace pelvane::pkg
