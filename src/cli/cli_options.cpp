#include "cli/cli_options.h"

#include <cctype>
#include <charconv>
#include <optional>

#include "cli/cli_defaults.h"
#include "commandline/qn_command_line.h"
#include "options/options.h"

namespace pelvane::cli {

namespace {

// "0403:6001": four hexadecimal digits each, as --list-ports shows them.
bool ValidUsbId(const std::string& text) {
  if (text.size() != 9 || text[4] != ':') return false;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (i != 4 && !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  return true;
}

std::optional<double> ParseSeconds(const std::string& text) {
  double value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  // Below a millisecond a time-out would round to none at all.
  if (ec != std::errc() || ptr != end || !(value >= 0.001) || value > 86400.0 * 365)
    return std::nullopt;
  return value;
}

// The wizard's "/SWITCH" text: "/F<package> /PORT<port> /FIRMWARE_LANGUAGE<l>
// /TRANSFERONLY"; switches that only steer the wizard's screens are accepted
// and have nothing to do here.
std::variant<CliOptions, std::string> ParseLegacy(const std::vector<std::string>& args) {
  std::string joined;
  for (const std::string& arg : args) joined += (joined.empty() ? "" : " ") + arg;
  commandline::QN_CommandLine line;
  line.CommandLine(joined);
  if (line.GetLastError() != 0) return line.GetLastErrorString();
  CliOptions options;
  if (!line.Filename()) return std::string("no existing package given (/F followed by its path)");
  options.package = line.FilePath();
  if (line.PortSet()) options.port = line.Port();
  if (line.FirmwareLanguageSet()) options.language = line.FirmwareLanguage();
  options.transferOnly = line.TransferOnly();
  return options;
}

}  // namespace

namespace {

constexpr const char* kRun = "The run:";
constexpr const char* kLook = "Looking at an instrument (nothing is erased or programmed):";
constexpr const char* kStation = "Many instruments at once (one runner each):";
constexpr const char* kOutput = "Output:";

constexpr options::Option kOptions[] = {
    {.name = "package",
     .value = "FILE",
     .help = "the firmware package (.qxpkg)",
     .letter = 'P',
     .group = kRun},
    {.name = "port",
     .value = "PORT",
     .help = "a port of the package's PORTS list, a serial device (a path such as "
             "/dev/ttyUSB0 on Linux, where COM1 is /dev/ttyS0; any COMn on Windows), or GPIB; "
             "default: the package's UART; given more than once: a station of instruments",
     .letter = 'p',
     .group = kRun},
    {.name = "language",
     .value = "NAME",
     .help = "a firmware language of the package (any case)",
     .group = kRun},
    {.name = "transfer-only", .help = "upload and start the transfer program only", .group = kRun},
    {.name = "verify",
     .help = "read each programmed file back and compare it byte for byte (the read-back takes "
             "2 to 4 times as long as the programming)",
     .group = kRun},
    {.name = "yes",
     .help = "overwrite existing download files, and a report or trace file that is no earlier "
             "record of pelvane-cli, without asking",
     .letter = 'y',
     .group = kRun},
    {.name = "output-dir",
     .value = "DIR",
     .help = "write the package's read-back files into DIR (default: the current folder); "
             "{port}, {date} and {time} stand for the port and the start of the run, and a "
             "folder that does not exist is created",
     .letter = 'o',
     .group = kRun},
    {.name = "idle-timeout",
     .value = "SECONDS",
     .help = "give up when the instrument has not answered for this long (default 150)",
     .group = kRun},
    {.name = "wait-device",
     .value = "SECONDS",
     .help = "wait this long for the port's device to appear (an adapter plugged in after "
             "the command was typed); the device is looked at, not opened",
     .group = kRun},
    {.name = "wait-boot",
     .help = "on a terminal, say how to start the boot monitor and wait for Enter before "
             "anything is sent",
     .group = kRun},
    {.name = "no-resend",
     .help = "send every command once: an answer damaged on the line or not come fails the run "
             "(by default commands that only read or set a state are sent again, at most twice, "
             "and a program block whose answer was lost is read back)",
     .group = kRun},
    {.name = "identify",
     .help = "name the manufacturer and device code of every memory of the package, and say "
             "when they differ from what an earlier run of the package saw",
     .group = kLook},
    {.name = "backup",
     .help = "only read back what the package reads back (the calibration) into its files",
     .group = kLook},
    {.name = "read",
     .value = "START,LENGTH,FILE",
     .help = "read a range inside a memory of the package into FILE (repeatable)",
     .group = kLook},
    {.name = "verify-only",
     .help = "read back every program's range and compare it with the package: exit 0 when "
             "the instrument holds the package, 1 and the first difference of each program "
             "when not",
     .group = kLook},
    {.name = "dry-run",
     .help = "check the package, the port and the folders without opening the port, and "
             "print the plan: each step, its bytes and the estimated time",
     .group = kLook},
    {.name = "ports-from-list",
     .help = "update through every serial adapter that --list-ports shows",
     .group = kStation},
    {.name = "match",
     .value = "VID:PID",
     .help = "with --ports-from-list, only the adapters of this USB vendor and product",
     .group = kStation},
    {.name = "json",
     .help = "one JSON object per line on standard output",
     .letter = 'j',
     .group = kOutput},
    {.name = "quiet",
     .help = "no action lines and no progress: errors only, and what a look at the instrument "
             "found",
     .letter = 'q',
     .group = kOutput},
    {.name = "verbose",
     .help = "the action lines and each command's round trip",
     .letter = 'v',
     .group = kOutput},
    {.name = "report",
     .value = "FILE",
     .help = "write a JSON record of the run, whatever its outcome",
     .group = kOutput},
    {.name = "trace",
     .value = "FILE",
     .help = "record every byte on the line, the commands, answers, errors and action lines "
             "with their times, to diagnose a run afterwards",
     .group = kOutput},
    {.name = "summary",
     .help = "print the package's configuration summary and exit",
     .group = kOutput},
    {.name = "list-ports",
     .help = "list the serial devices of this machine (name, description, USB identity, "
             "by-id path, whether you may open it) and exit; with --json as one JSON object",
     .group = kOutput},
    {.name = "help", .help = "show this text and exit", .letter = 'h', .group = kOutput},
    {.name = "version",
     .help = "show the program's name and version and exit",
     .letter = 'V',
     .group = kOutput},
};

// The operations exclude each other; the first one given is named.
std::string SetOperation(CliOptions& o, upload::RunOperation operation, const std::string& name) {
  if (o.operation != upload::RunOperation::Update && o.operation != operation)
    return "--" + name + " and --" + std::string(upload::OperationName(o.operation)) +
           " exclude each other";
  o.operation = operation;
  return "";
}

std::string Take(const options::Argument& a, CliOptions& o) {
  using upload::RunOperation;
  if (a.option == nullptr) return "unexpected argument " + a.value;
  if (a.Is("package")) {
    o.package = a.value;
  } else if (a.Is("port")) {
    if (a.value.empty()) return "--port needs a value";
    if (o.port.empty()) o.port = a.value;
    o.ports.push_back(a.value);
  } else if (a.Is("language")) {
    if (a.value.empty()) return "--language needs a value";
    o.language = a.value;
  } else if (a.Is("report")) {
    o.report = a.value;
  } else if (a.Is("trace")) {
    if (a.value.empty()) return "--trace needs a value";
    o.trace = a.value;
  } else if (a.Is("output-dir")) {
    if (a.value.empty()) return "--output-dir needs a folder";
    o.outputDir = a.value;
  } else if (a.Is("idle-timeout")) {
    const auto seconds = ParseSeconds(a.value);
    if (!seconds)
      return "--idle-timeout needs a number of seconds, at least 0.001, not \"" + a.value + "\"";
    o.idleTimeout = std::chrono::milliseconds(static_cast<long long>(*seconds * 1000));
  } else if (a.Is("wait-device")) {
    const auto seconds = ParseSeconds(a.value);
    if (!seconds)
      return "--wait-device needs a number of seconds, at least 0.001, not \"" + a.value + "\"";
    o.waitDevice = std::chrono::milliseconds(static_cast<long long>(*seconds * 1000));
  } else if (a.Is("wait-boot")) {
    o.waitBoot = true;
  } else if (a.Is("no-resend")) {
    o.resend = false;
  } else if (a.Is("identify")) {
    return SetOperation(o, RunOperation::Identify, "identify");
  } else if (a.Is("backup")) {
    return SetOperation(o, RunOperation::Backup, "backup");
  } else if (a.Is("read")) {
    if (a.value.empty()) return "--read needs START,LENGTH,FILE";
    o.reads.push_back(a.value);
    return SetOperation(o, RunOperation::Read, "read");
  } else if (a.Is("verify-only")) {
    return SetOperation(o, RunOperation::VerifyOnly, "verify-only");
  } else if (a.Is("dry-run")) {
    o.dryRun = true;
  } else if (a.Is("ports-from-list")) {
    o.portsFromList = true;
  } else if (a.Is("match")) {
    if (!ValidUsbId(a.value))
      return "--match needs a USB vendor and product as VID:PID (four hexadecimal digits each), "
             "not \"" +
             a.value + "\"";
    o.match = a.value;
  } else if (a.Is("transfer-only")) {
    o.transferOnly = true;
  } else if (a.Is("verify")) {
    o.verify = true;
  } else if (a.Is("yes")) {
    o.yes = true;
  } else if (a.Is("json")) {
    o.json = true;
  } else if (a.Is("quiet")) {
    o.quiet = true;
  } else if (a.Is("verbose")) {
    o.verbose = true;
  } else if (a.Is("summary")) {
    o.summary = true;
  } else if (a.Is("list-ports")) {
    o.listPorts = true;
  } else if (a.Is("help")) {
    o.help = true;
  } else if (a.Is("version")) {
    o.version = true;
  }
  return "";
}

// What no single option can see: options that need another, or exclude one.
std::string CheckCombination(const CliOptions& o) {
  using upload::RunOperation;
  const bool readOnly = o.operation != RunOperation::Update;
  const std::string operation = "--" + std::string(upload::OperationName(o.operation));
  if (readOnly && o.transferOnly) return operation + " and --transfer-only exclude each other";
  if (readOnly && o.verify)
    return operation +
           " and --verify exclude each other (--verify-only checks an instrument "
           "without updating it)";
  if (o.summary && (readOnly || o.dryRun || o.Station()))
    return "--summary prints the package's summary only; it takes no operation";
  if (!o.match.empty() && !o.portsFromList) return "--match needs --ports-from-list";
  if (o.portsFromList && !o.ports.empty()) return "--ports-from-list and --port exclude each other";
  if (o.quiet && o.verbose) return "--quiet and --verbose exclude each other";
  return "";
}

}  // namespace

std::variant<CliOptions, std::string> ParseCliArguments(const std::vector<std::string>& args) {
  if (!args.empty() && !args.front().empty() && args.front().front() == '/')
    return ParseLegacy(args);
  CliOptions o;
  const std::string error =
      options::Parse(kOptions, args, [&o](const options::Argument& a) { return Take(a, o); });
  if (!error.empty()) return error;
  if (o.help || o.version) return o;
  if (!o.listPorts && o.package.empty()) return std::string("--package FILE is required");
  if (std::string combination = CheckCombination(o); !combination.empty()) return combination;
  return o;
}

bool JsonAsked(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--") return false;  // the rest are plain arguments
    if (arg == "--json") return true;
  }
  return false;
}

std::string CliUsage(const CliDefaults& defaults) {
  const auto shown = [](const DefaultSetting& setting, const char* none) {
    return setting.source.empty() ? std::string(none)
                                  : setting.value + " (from " + setting.source + ")";
  };
  std::string text = CliUsage();
  text +=
      "\nDefaults, where the command line names none (the environment comes before the\n"
      "settings file " +
      (defaults.configFile.empty() ? std::string("pelvane.conf") : defaults.configFile) +
      "):\n  --port        " + shown(defaults.port, "the package's UART") + "\n  --output-dir  " +
      shown(defaults.outputDir, "the current folder") + "\n";
  if (!defaults.error.empty()) text += "  The settings file is not used: " + defaults.error + "\n";
  return text;
}

std::string CliUsage() {
  return "Usage: pelvane-cli --package FILE [OPTIONS]\n"
         "       pelvane-cli --package FILE --port PORT --port PORT... [OPTIONS]\n"
         "       pelvane-cli --list-ports [--json]\n"
         "       pelvane-cli /FFILE [/PORTPORT] [/FIRMWARE_LANGUAGELANGUAGE] [/TRANSFERONLY]\n"
         "\n"
         "Uploads the firmware of a package (.qxpkg) into an instrument that waits in its\n"
         "boot monitor, without the wizard's screens.\n"
         "\n" +
         options::HelpLines(kOptions) +
         "\n"
         "Exit status: 0 success, 1 upload failed, 2 bad usage, 3 package could not be\n"
         "loaded, 4 configuration failed validation, 5 succeeded but standard output could not\n"
         "be written, 130 cancelled (SIGINT, SIGTERM, SIGHUP, SIGQUIT).\n";
}

}  // namespace pelvane::cli
