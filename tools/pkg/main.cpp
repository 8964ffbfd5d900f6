// pelvane-pkg: builds, shows and checks firmware packages.
#include <iostream>

#include "pkg/package_tool.h"

int main(int argc, char** argv) {
  return pelvane::pkg::RunPackageTool(std::vector<std::string>(argv + 1, argv + argc), std::cout,
                                      std::cerr);
}
