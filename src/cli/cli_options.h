// The options of the headless runner: GNU style, or the wizard's legacy
// "/SWITCH" text.
#pragma once

#include <chrono>
#include <string>
#include <variant>
#include <vector>

#include "upload/run_operation.h"

namespace pelvane::cli {

// How long a wait for the instrument may go without an answer.
inline constexpr std::chrono::seconds kDefaultIdleTimeout{150};

struct CliDefaults;

struct CliOptions {
  std::string package;
  std::string port;  // empty: the package's UART
  // Every --port in order; more than one (or --ports-from-list) is a station
  // of instruments, one child runner each.
  std::vector<std::string> ports;
  bool portsFromList = false;
  std::string match;  // --match VID:PID for --ports-from-list
  std::string language;
  bool transferOnly = false;
  bool verify = false;  // read each programmed file back and compare it
  upload::RunOperation operation = upload::RunOperation::Update;
  std::vector<std::string> reads;  // --read START,LENGTH,FILE
  bool dryRun = false;
  bool quiet = false;    // errors only
  bool verbose = false;  // each command's round trip as well
  bool yes = false;
  bool json = false;
  bool summary = false;
  bool listPorts = false;
  std::chrono::milliseconds idleTimeout = kDefaultIdleTimeout;
  bool resend = true;  // --no-resend: every command once, a lost answer fails the run
  std::chrono::milliseconds waitDevice{0};  // 0: the device must be there at once
  bool waitBoot = false;  // ask for Enter once the instrument is in its boot monitor
  std::string report;
  std::string trace;
  std::string outputDir;               // where read-back files go; empty: the current folder
  std::vector<std::string> arguments;  // as given, for the trace's first line
  bool help = false;
  bool version = false;

  bool Station() const { return portsFromList || ports.size() > 1; }
};

// The options, or the text of a usage error.
std::variant<CliOptions, std::string> ParseCliArguments(const std::vector<std::string>& args);

// True when the arguments ask for JSON output, also when they do not parse
// (a script that asked for JSON gets its result line for a usage error too).
bool JsonAsked(const std::vector<std::string>& args);

// --help; `defaults` says where the defaults of this run come from.
std::string CliUsage();
std::string CliUsage(const CliDefaults& defaults);

}  // namespace pelvane::cli
