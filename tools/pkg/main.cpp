// pelvane-pkg: builds, shows and checks firmware packages.
#include <iostream>

#include "core/program.h"
#include "pkg/package_tool.h"

int main(int argc, char** argv) {
  return pelvane::pkg::RunPackageTool(pelvane::core::ProgramArguments(argc, argv), std::cout,
                                      std::cerr);
}
