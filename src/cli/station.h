// Station mode: a rack of instruments updated (or checked) with one command
// and one record. Each port gets a runner of its own, a child pelvane-cli
// with --json, so that the upload itself stays single-threaded and one
// instrument's fault cannot touch another's run. The station shows one line
// per instrument (step, percentage, outcome) or passes the children's JSON
// events on, tagged with their port, and writes one station report with
// every instrument's own report inside.
#pragma once

#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "cli/cli_runner.h"
#include "ports/devices/serial_devices.h"

namespace pelvane::cli {

// Runs the station that `options` describe with `runner` (the pelvane-cli
// to start for each instrument); returns the worst exit status of its
// instruments, or the station's own usage error.
int RunStation(const CliOptions& options, CliStreams& io, const std::string& runner);

// Of two exit statuses the one that says more is wrong: a cancellation,
// then a failed run, a failed validation, a package that did not load, bad
// usage, lost output, success.
int WorstExit(int a, int b);

// The devices of a --ports-from-list, those of `match` ("VID:PID", any case)
// only when it is given.
std::vector<std::string> PortsFromList(const ports::SerialDeviceList& list,
                                       const std::string& match);

// The arguments of one instrument's runner: the station's choices with the
// instrument's port, folder, trace and report.
std::vector<std::string> ChildArguments(const CliOptions& options, const std::string& port,
                                        const std::string& folder, const std::string& trace,
                                        const std::string& report);

}  // namespace pelvane::cli
