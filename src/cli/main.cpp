// pelvane-cli: the headless runner. Options and stop requests here; the work
// is in CliRunner.
#include <exception>
#include <iostream>
#include <optional>

#include "app/flash_app.h"
#include "cli/answer_reader.h"
#include "cli/cli_options.h"
#include "cli/cli_runner.h"
#include "cli/json_text.h"
#include "cli/port_list.h"
#include "cli/stop_signals.h"
#include "core/files.h"
#include "core/program.h"
#include "options/options.h"

int main(int argc, char** argv) {
  using namespace pelvane;
  const std::vector<std::string> args = core::ProgramArguments(argc, argv);
  auto parsed = cli::ParseCliArguments(args);
  if (auto* error = std::get_if<std::string>(&parsed)) {
    std::cerr << options::UsageErrorText("pelvane-cli", cli::ShownText(*error));
    // A script that asked for JSON gets its result line on every way out.
    if (cli::JsonAsked(args))
      std::cout << cli::ResultLine(false, 0, *error, upload::FailureCause::ValidationFailed);
    return cli::kExitUsage;
  }
  cli::CliOptions options = std::get<cli::CliOptions>(parsed);
  options.arguments = args;
  if (options.help) {
    std::cout << cli::CliUsage();
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

  const auto apps = app::DefaultAppRegistry();
  const bool inTerminal = core::IsTerminal(core::StandardStream::kIn);
  std::optional<cli::AnswerReader> answers;
  if (inTerminal) answers.emplace();
  cli::CliRunner runner(
      options,
      {std::cout, std::cerr, std::cin, inTerminal, core::IsTerminal(core::StandardStream::kErr),
       answers ? &*answers : nullptr},
      apps);
  int code = cli::kExitUploadFailed;
  {
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
      code = runner.Run();
    } catch (const std::exception& error) {
      code = runner.InternalFault(error.what());
    } catch (...) {
      code = runner.InternalFault("an unknown exception");
    }
  }
  return code;
}
