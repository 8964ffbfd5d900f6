// pelvane-mkpkg: builds a firmware package from a folder of plain files.
//
//   pelvane-mkpkg [--comment TEXT] OUTPUT FOLDER
//
// Every regular file of FOLDER becomes a member of the same name (files in
// sub-folders get "sub/name"). A file whose name ends in ".hex" holds binary
// data written as hexadecimal text; it becomes a member without that ending.
// In it, blanks and line breaks are ignored and "#" starts a comment line.
// So the repository keeps only text, and the package is made at build time.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "package/hex_text.h"
#include "package/package_writer.h"

namespace fs = std::filesystem;

namespace {

int Usage() {
  std::cerr << "usage: pelvane-mkpkg [--comment TEXT] OUTPUT FOLDER\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string comment;
  std::vector<std::string> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--comment" && i + 1 < args.size()) {
      comment = args[++i];
    } else if (args[i].rfind("--", 0) == 0) {
      return Usage();
    } else {
      positional.push_back(args[i]);
    }
  }
  if (positional.size() != 2) return Usage();
  const fs::path output = positional[0];
  const fs::path folder = positional[1];

  std::error_code ec;
  std::vector<fs::path> files;
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file()) files.push_back(it->path());
  }
  if (ec) {
    std::cerr << "pelvane-mkpkg: cannot read " << folder << ": " << ec.message() << "\n";
    return 1;
  }
  // A fixed member order gives the same package from the same files.
  std::sort(files.begin(), files.end());

  pelvane::package::PackageWriter writer;
  writer.SetComment(comment);
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
      std::cerr << "pelvane-mkpkg: cannot read " << file << "\n";
      return 1;
    }
    std::string name = fs::relative(file, folder).generic_string();
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".hex") == 0) {
      std::string error;
      auto bytes = pelvane::package::DecodeHexText(content, error);
      if (!bytes) {
        std::cerr << "pelvane-mkpkg: " << file.string() << ": " << error << "\n";
        return 1;
      }
      writer.AddMember(name.substr(0, name.size() - 4), std::move(*bytes));
    } else {
      writer.AddMember(name, content);
    }
  }
  if (!writer.Write(output.string())) {
    std::cerr << "pelvane-mkpkg: " << writer.Error() << "\n";
    return 1;
  }
  return 0;
}
