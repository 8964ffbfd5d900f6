// wizard_soak: uploads in one wizard process (Qt offscreen), Back and Execute
// again each time, each into a fresh simulated instrument. The process must
// not keep what a run used: open descriptors, threads and resident memory
// are measured after each run and must not grow after the first.
//
//   wizard_soak SIM PACKAGE [RUNS]      (run by bench/soak.sh)
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "child_process.h"
#include "upload/qn_upload_process.h"
#include "wizard/program/wizard_program.h"

namespace {

using pelvane::wizard::NavButton;

// Replacing the read-back file of the run before is what a technician agrees to.
class AgreeingPrompt final : public pelvane::package::QN_Prompt {
 public:
  pelvane::package::PromptAnswer Ask(const std::string&, const std::string&,
                                     pelvane::package::PromptButtons buttons) override {
    return buttons == pelvane::package::PromptButtons::YesNo ? pelvane::package::PromptAnswer::Yes
                                                             : pelvane::package::PromptAnswer::Ok;
  }
};

struct Use {
  long descriptors = 0, threads = 0, residentKiB = 0;
};

Use Measure() {
  Use use;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++use.descriptors;
  std::ifstream status("/proc/self/status");
  for (std::string key; status >> key;) {
    if (key == "Threads:") status >> use.threads;
    if (key == "VmRSS:") status >> use.residentKiB;
  }
  return use;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: wizard_soak SIM PACKAGE [RUNS]\n");
    return 2;
  }
  const std::string sim = argv[1];
  const std::string package = argv[2];
  const int runs = argc > 3 ? std::atoi(argv[3]) : 20;

  AgreeingPrompt prompt;
  pelvane::wizard::WizardProgram program({"--file", package}, &prompt);
  auto& window = program.Window();
  window.SetDeviceFolder("/nonexistent");
  program.Open();
  while (window.CurrentStep() < 2) window.PressNavigation(NavButton::Next);

  Use first;
  bool ok = true;
  std::printf("%4s %12s %8s %12s  %s\n", "run", "descriptors", "threads", "RSS KiB", "result");
  for (int run = 1; run <= runs && ok; ++run) {
    pelvane::bench::ChildProcess instrument({sim, "--package", package, "--once"}, "", "/dev/null");
    const std::string pty = instrument.ReadLine(std::chrono::seconds(5));
    window.findChild<QComboBox*>("cmbPorts")->setEditText(QString::fromStdString(pty));
    window.PressNavigation(NavButton::Next);
    const QString result = window.findChild<QLabel*>("lblFinished")->text();
    const bool passed = window.CurrentStep() == 4 && program.Process().GetLastError() == 0;
    instrument.Wait();
    while (window.CurrentStep() > 2) window.PressNavigation(NavButton::Back);
    QCoreApplication::processEvents();
    const Use use = Measure();
    if (run == 1) first = use;
    std::printf("%4d %12ld %8ld %12ld  %s\n", run, use.descriptors, use.threads, use.residentKiB,
                passed ? "ok" : qPrintable(result.left(60)));
    ok = passed;
  }
  const Use last = Measure();
  // The first run loads what every later one shares; from then on nothing may
  // grow but a little resident memory (allocator and Qt caches settling).
  constexpr long kResidentSlackKiB = 2048;
  const bool steady = last.descriptors <= first.descriptors && last.threads <= first.threads &&
                      last.residentKiB <= first.residentKiB + kResidentSlackKiB;
  std::printf(
      "after run 1 -> end: descriptors %ld -> %ld, threads %ld -> %ld, RSS %ld -> %ld KiB%s\n",
      first.descriptors, last.descriptors, first.threads, last.threads, first.residentKiB,
      last.residentKiB, steady ? "" : "  GROWTH");
  return ok && steady ? 0 : 1;
}
