// pelvane-sim: an instrument in its boot monitor, on a pseudo-terminal or a
// serial device, for trying packages without hardware and for end-to-end tests.
#include <csignal>
#include <iostream>

#include "options/options.h"
#include "sim/simulator.h"

namespace {

std::atomic<bool> g_stop{false};

extern "C" void OnSignal(int) {
  g_stop.store(true);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace pelvane::sim;
  static_assert(std::atomic<bool>::is_always_lock_free);
  const auto parsed = ParseSimOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (const auto* error = std::get_if<std::string>(&parsed)) {
    std::cerr << pelvane::options::UsageErrorText("pelvane-sim", *error);
    return kExitUsage;
  }
  const SimOptions& options = std::get<SimOptions>(parsed);
  if (options.help) {
    std::cout << SimUsage();
    return kExitOk;
  }
  if (options.version) {
    std::cout << pelvane::options::VersionLine("pelvane-sim");
    return kExitOk;
  }

  // No SA_RESTART: a signal must cut the instrument's wait for the next byte short.
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  return RunSimulator(
      options, g_stop, [](const std::string& path) { std::cout << path << std::endl; }, std::cerr);
}
