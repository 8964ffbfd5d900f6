#include "cli/cli_options.h"

#include <charconv>
#include <optional>

#include "commandline/qn_command_line.h"

namespace pelvane::cli {

namespace {

std::optional<double> ParseSeconds(const std::string& text) {
  double value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || !(value > 0) || value > 86400.0 * 365) return std::nullopt;
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

std::variant<CliOptions, std::string> ParseCliArguments(const std::vector<std::string>& args) {
  if (!args.empty() && !args.front().empty() && args.front().front() == '/')
    return ParseLegacy(args);
  CliOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string option = args[i];
    std::optional<std::string> inlineValue;
    if (const auto eq = option.find('='); option.rfind("--", 0) == 0 && eq != std::string::npos) {
      inlineValue = option.substr(eq + 1);
      option.resize(eq);
    }
    auto value = [&](std::string* out) -> std::optional<std::string> {
      if (inlineValue) {
        *out = *inlineValue;
      } else if (i + 1 < args.size()) {
        *out = args[++i];
      } else {
        return option + " needs a value";
      }
      return std::nullopt;
    };
    auto flag = [&](bool* out) -> std::optional<std::string> {
      if (inlineValue) return option + " takes no value";
      *out = true;
      return std::nullopt;
    };
    std::optional<std::string> error;
    std::string text;
    if (option == "--package") {
      error = value(&options.package);
    } else if (option == "--port") {
      error = value(&options.port);
      if (!error && options.port.empty()) error = "--port needs a value";
    } else if (option == "--language") {
      error = value(&options.language);
      if (!error && options.language.empty()) error = "--language needs a value";
    } else if (option == "--report") {
      error = value(&options.report);
    } else if (option == "--idle-timeout") {
      error = value(&text);
      if (!error) {
        const auto seconds = ParseSeconds(text);
        if (!seconds)
          error = "--idle-timeout needs a number of seconds above 0, not \"" + text + "\"";
        else
          options.idleTimeout = std::chrono::milliseconds(static_cast<long long>(*seconds * 1000));
      }
    } else if (option == "--transfer-only") {
      error = flag(&options.transferOnly);
    } else if (option == "--yes") {
      error = flag(&options.yes);
    } else if (option == "--json") {
      error = flag(&options.json);
    } else if (option == "--summary") {
      error = flag(&options.summary);
    } else if (option == "--help" || option == "-h") {
      error = flag(&options.help);
    } else if (option == "--version") {
      error = flag(&options.version);
    } else {
      error = (option.rfind("-", 0) == 0 ? "unknown option " : "unexpected argument ") + option;
    }
    if (error) return *error;
  }
  if (!options.help && !options.version && options.package.empty())
    return std::string("--package FILE is required");
  return options;
}

std::string CliUsage() {
  return R"(Usage: pelvane-cli --package FILE [OPTIONS]
       pelvane-cli /FFILE [/PORTPORT] [/FIRMWARE_LANGUAGELANGUAGE] [/TRANSFERONLY]

Uploads the firmware of a package (.QXPKG) into an instrument that waits in its
boot monitor, without the wizard's screens.

  --package FILE         the firmware package
  --port PORT            a port of the package's PORTS list (COM1 is /dev/ttyS0),
                         a serial device path such as /dev/ttyUSB0, or GPIB;
                         default: the package's UART
  --language NAME        a firmware language of the package (any case)
  --transfer-only        upload and start the transfer program only
  --yes                  overwrite existing download files without asking
  --json                 one JSON object per line on standard output
  --idle-timeout SECONDS give up when the instrument has not answered for this
                         long (default 150)
  --report FILE          write a JSON record of the run, whatever its outcome
  --summary              print the package's configuration summary and exit
  --help, --version

Exit status: 0 success, 1 upload failed, 2 bad usage, 3 package could not be
loaded, 4 configuration failed validation, 130 cancelled (SIGINT, SIGTERM).
)";
}

}  // namespace pelvane::cli
