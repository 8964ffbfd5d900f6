// The folder a run's read-back files go to. "{port}", "{date}" and "{time}"
// in --output-dir stand for the port and the moment the run (or the
// station) started, so that every instrument and every day gets a folder of
// its own; a folder that does not exist is created before the run.
#pragma once

#include <chrono>
#include <string>

namespace pelvane::cli {

// The port as one folder name: "/dev/ttyUSB0" is "ttyUSB0", "/dev/pts/7"
// "pts_7", "\\.\COM10" "COM10"; a name the system cannot give a folder
// (COM3 on Windows) gets "port-" in front.
std::string PortFolderName(const std::string& port);

// `pattern` with its placeholders filled: {date} is YYYY-MM-DD, {time}
// HHMMSS, both in local time.
std::string ExpandFolder(const std::string& pattern, const std::string& port,
                         std::chrono::system_clock::time_point start);

// Creates the folder and those above it; empty when it exists afterwards,
// else the system's reason.
std::string CreateFolder(const std::string& folder);

}  // namespace pelvane::cli
