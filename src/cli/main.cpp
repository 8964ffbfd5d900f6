// pelvane-cli: the headless runner. Options and stop requests here; the work
// is in CliRunner.
#include <chrono>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "app/flash_app.h"
#include "cli/answer_reader.h"
#include "cli/child_process.h"
#include "cli/cli_defaults.h"
#include "cli/cli_options.h"
#include "cli/cli_runner.h"
#include "cli/json_text.h"
#include "cli/output_folder.h"
#include "cli/port_list.h"
#include "cli/station.h"
#include "cli/stop_signals.h"
#include "core/files.h"
#include "core/program.h"
#include "options/options.h"

namespace {

using namespace pelvane;

// The answers that need no package: help, version, the port list, or a usage
// error in the command line or the bench's defaults. Nothing when a run is asked.
std::optional<int> AnswerWithoutRun(const std::vector<std::string>& args,
                                    const std::variant<cli::CliOptions, std::string>& parsed,
                                    const cli::CliDefaults& defaults) {
  if (const auto* error = std::get_if<std::string>(&parsed)) {
    std::cerr << options::UsageErrorText("pelvane-cli", cli::ShownText(*error));
    // A script that asked for JSON gets its result line on every way out.
    if (cli::JsonAsked(args))
      std::cout << cli::ResultLine(false, 0, *error, upload::FailureCause::ValidationFailed);
    return cli::kExitUsage;
  }
  const cli::CliOptions& options = std::get<cli::CliOptions>(parsed);
  if (options.help) {
    std::cout << cli::CliUsage(defaults);
    return cli::kExitOk;
  }
  if (options.version) {
    std::cout << pelvane::options::VersionLine("pelvane-cli");
    return cli::kExitOk;
  }
  if (options.listPorts) {
    cli::PrintPortList(std::cout, ports::ListSerialDevices(), options.json);
    return cli::kExitOk;
  }
  if (!defaults.error.empty()) {
    std::cerr << options::UsageErrorText("pelvane-cli", defaults.error);
    return cli::kExitUsage;
  }
  return std::nullopt;
}

cli::CliStreams StandardStreams() {
  const auto term = core::EnvironmentValue("TERM");
  const auto noColor = core::EnvironmentValue("NO_COLOR");
  cli::CliStreams streams{std::cout, std::cerr, std::cin,
                          core::IsTerminal(core::StandardStream::kIn),
                          core::IsTerminal(core::StandardStream::kErr)};
  streams.outIsTerminal = core::IsTerminal(core::StandardStream::kOut);
  // A terminal that cannot move its cursor, or a user who wants no
  // sequences at all, gets plain text.
  streams.terminalEscapes = !(term && *term == "dumb") && !(noColor && !noColor->empty());
  return streams;
}

// One upload, with the stop requests watched while it runs.
int RunUpload(cli::CliOptions options, cli::CliStreams streams) {
  // {port}, {date} and {time} stand in the trace's name as in the output folder's.
  if (!options.trace.empty())
    options.trace =
        cli::ExpandFolder(options.trace, options.port, std::chrono::system_clock::now());

  const auto apps = app::DefaultAppRegistry();
  std::optional<cli::AnswerReader> answers;
  if (streams.inIsTerminal) answers.emplace();
  streams.answers = answers ? &*answers : nullptr;
  cli::CliRunner runner(options, streams, apps);
  // Ctrl-C, a kill and a closed terminal or console cancel the run in order,
  // so that the link is closed and shut down properly. Watched from before
  // the first thread of the run starts until the run is over; the runner's
  // end then removes what the run left behind (the configuration's
  // temporary copy). A run that a second request ends at once still leaves
  // its record and no lock file of its device.
  const cli::StopSignals stop([&runner] { runner.RequestCancel(); },
                              [&runner] {
                                const int exitCode = runner.ForcedEnd();
                                core::RemoveTransientFiles();
                                return exitCode;
                              },
                              cli::kSecondSignalGrace);
  // What escapes the run is a fault of the program. It ends as a failed run
  // with its message, and the watcher is stopped all the same.
  try {
    return runner.Run();
  } catch (const std::exception& error) {
    return runner.InternalFault(error.what());
  } catch (...) {
    return runner.InternalFault("an unknown exception");
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = core::ProgramArguments(argc, argv);
  const auto parsed = cli::ParseCliArguments(args);
  // The port and the output folder a bench sets once, unless the command line names them.
  const cli::CliDefaults defaults = cli::SystemDefaults();
  if (const std::optional<int> code = AnswerWithoutRun(args, parsed, defaults)) return *code;
  cli::CliOptions options = std::get<cli::CliOptions>(parsed);
  options.arguments = args;
  cli::ApplyDefaults(defaults, options);
  cli::CliStreams streams = StandardStreams();
  if (options.Station())
    return cli::RunStation(options, streams, cli::ProgramBeside("pelvane-cli"));
  return RunUpload(std::move(options), streams);
}
