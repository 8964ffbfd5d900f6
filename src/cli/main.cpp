// pelvane-cli: the headless runner. Options and signals here; the work is in
// CliRunner.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <iostream>
#include <thread>

#include "app/flash_app.h"
#include "cli/cli_options.h"
#include "cli/cli_runner.h"
#include "cli/port_list.h"
#include "core/trace.h"
#include "options/options.h"

int main(int argc, char** argv) {
  using namespace pelvane;
  // A reader that went away (`| head`) must not end the run half-way with the
  // programming voltage on: writes to it fail instead, and the run goes on.
  ::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> args(argv + 1, argv + argc);
  auto parsed = cli::ParseCliArguments(args);
  if (auto* error = std::get_if<std::string>(&parsed)) {
    std::cerr << options::UsageErrorText("pelvane-cli", *error);
    return cli::kExitUsage;
  }
  const cli::CliOptions& options = std::get<cli::CliOptions>(parsed);
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

  if (!options.trace.empty()) {
    std::string error;
    if (!core::trace::Start(options.trace, &error)) {
      std::cerr << "pelvane-cli: " << error << "\n";
      return cli::kExitUsage;
    }
    std::string line = pelvane::options::VersionLine("pelvane-cli");
    line.pop_back();
    for (const std::string& arg : args) line += " " + arg;
    core::trace::Note("run", line);
  }

  // SIGINT, SIGTERM and SIGHUP (a closed terminal or ssh session) are taken by
  // one thread that asks the runner to cancel, so that the link is closed and
  // shut down properly. Blocked before any other thread starts, so that every
  // thread inherits the mask. SIGUSR1 is how the main thread ends the watcher
  // once the run is over.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  const auto apps = app::DefaultAppRegistry();
  const bool inTerminal = ::isatty(STDIN_FILENO) != 0;
  cli::CliRunner runner(options,
                        {std::cout, std::cerr, std::cin, inTerminal, ::isatty(STDERR_FILENO) != 0,
                         inTerminal ? STDIN_FILENO : -1},
                        apps);
  std::thread watcher([&runner, signals] {
    int signal = 0;
    if (sigwait(&signals, &signal) != 0 || signal == SIGUSR1) return;
    runner.RequestCancel();
    // A second signal means the user will not wait long: the orderly end,
    // which writes the report and removes the temporary copy, gets a moment
    // more, then the program ends regardless.
    if (sigwait(&signals, &signal) != 0 || signal == SIGUSR1) return;
    const timespec grace{cli::kSecondSignalGrace.count(), 0};
    siginfo_t info{};
    if (sigtimedwait(&signals, &info, &grace) == SIGUSR1) return;
    std::_Exit(cli::kExitCancelled);
  });
  int code = cli::kExitUploadFailed;
  // What escapes the run is a fault of the program. It ends as a failed run
  // with its message, and the watcher is stopped and joined all the same: a
  // joinable thread left behind would end the process in std::terminate.
  try {
    code = runner.Run();
  } catch (const std::exception& error) {
    code = runner.InternalFault(error.what());
  } catch (...) {
    code = runner.InternalFault("an unknown exception");
  }
  // The watcher goes before the runner it refers to; the runner's end then
  // removes what the run left behind (the configuration's temporary copy).
  pthread_kill(watcher.native_handle(), SIGUSR1);
  watcher.join();
  core::trace::Stop();
  return code;
}
