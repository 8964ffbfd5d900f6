#include "cli/cli_options.h"

#include <charconv>
#include <optional>

#include "commandline/qn_command_line.h"
#include "options/options.h"

namespace pelvane::cli {

namespace {

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

constexpr options::Option kOptions[] = {
    {.name = "package", .value = "FILE", .help = "the firmware package (.qxpkg)"},
    {.name = "port",
     .value = "PORT",
     .help = "a port of the package's PORTS list, a serial device (a path such as "
             "/dev/ttyUSB0 on Linux, where COM1 is /dev/ttyS0; any COMn on Windows), or GPIB; "
             "default: the package's UART"},
    {.name = "language", .value = "NAME", .help = "a firmware language of the package (any case)"},
    {.name = "transfer-only", .help = "upload and start the transfer program only"},
    {.name = "verify", .help = "read each programmed file back and compare it byte for byte"},
    {.name = "yes",
     .help = "overwrite existing download files, and a report or trace file that is no earlier "
             "record of pelvane-cli, without asking"},
    {.name = "json", .help = "one JSON object per line on standard output"},
    {.name = "idle-timeout",
     .value = "SECONDS",
     .help = "give up when the instrument has not answered for this long (default 150)"},
    {.name = "no-resend",
     .help = "send every command once: an answer damaged on the line or not come fails the run "
             "(by default commands that only read or set a state are sent again, at most twice, "
             "and a program block whose answer was lost is read back)"},
    {.name = "wait-device",
     .value = "SECONDS",
     .help = "wait this long for the port's device to appear (an adapter plugged in after "
             "the command was typed); the device is looked at, not opened"},
    {.name = "wait-boot",
     .help = "on a terminal, say how to start the boot monitor and wait for Enter before "
             "anything is sent"},
    {.name = "report",
     .value = "FILE",
     .help = "write a JSON record of the run, whatever its outcome"},
    {.name = "trace",
     .value = "FILE",
     .help = "record every byte on the line, the commands, answers, errors and action lines "
             "with their times, to diagnose a run afterwards"},
    {.name = "output-dir",
     .value = "DIR",
     .help = "write the package's read-back files into DIR (default: the current folder)"},
    {.name = "summary", .help = "print the package's configuration summary and exit"},
    {.name = "list-ports",
     .help = "list the serial devices of this machine (name, description, USB identity, "
             "by-id path, whether you may open it) and exit; with --json as one JSON object"},
    {.name = "help", .help = "show this text and exit", .letter = 'h'},
    {.name = "version", .help = "show the program's name and version and exit"},
};

std::string Take(const options::Argument& a, CliOptions& o) {
  if (a.option == nullptr) return "unexpected argument " + a.value;
  if (a.Is("package")) {
    o.package = a.value;
  } else if (a.Is("port")) {
    if (a.value.empty()) return "--port needs a value";
    o.port = a.value;
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
  } else if (a.Is("transfer-only")) {
    o.transferOnly = true;
  } else if (a.Is("verify")) {
    o.verify = true;
  } else if (a.Is("yes")) {
    o.yes = true;
  } else if (a.Is("json")) {
    o.json = true;
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

}  // namespace

std::variant<CliOptions, std::string> ParseCliArguments(const std::vector<std::string>& args) {
  if (!args.empty() && !args.front().empty() && args.front().front() == '/')
    return ParseLegacy(args);
  CliOptions o;
  const std::string error =
      options::Parse(kOptions, args, [&o](const options::Argument& a) { return Take(a, o); });
  if (!error.empty()) return error;
  if (!o.help && !o.version && !o.listPorts && o.package.empty())
    return std::string("--package FILE is required");
  return o;
}

bool JsonAsked(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--") return false;  // the rest are plain arguments
    if (arg == "--json") return true;
  }
  return false;
}

std::string CliUsage() {
  return "Usage: pelvane-cli --package FILE [OPTIONS]\n"
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
