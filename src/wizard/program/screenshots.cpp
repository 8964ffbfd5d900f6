// pelvane-screenshots: walks the wizard through its five steps with a real
// package and a (simulated) instrument and saves a picture of each step as a
// technician sees it, of the Settings step's advanced summary, and of the
// Finished step after a run that failed.
// Run by scripts/screenshots.sh on the offscreen platform.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QProgressBar>
#include <QTimer>
#include <cstdio>
#include <string>
#include <vector>

#include "wizard/program/wizard_program.h"

namespace {

using pelvane::wizard::NavButton;
using pelvane::wizard::WizardProgram;

bool Save(QWidget& window, const QString& folder, const QString& name) {
  const QString path = QDir(folder).filePath(name);
  if (!window.grab().save(path, "PNG")) {
    std::fprintf(stderr, "pelvane-screenshots: cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("%s\n", qPrintable(path));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  const QStringList args = QCoreApplication::arguments();
  if (args.size() != 4) {
    std::fprintf(stderr, "usage: pelvane-screenshots PACKAGE PORT OUTPUT_FOLDER\n");
    return 2;
  }
  const QString package = QFileInfo(args[1]).absoluteFilePath();
  const QString port = args[2];
  const QString out = args[3];
  QDir().mkpath(out);

  const auto prepare = [&](WizardProgram& program) -> pelvane::wizard::frmWizard& {
    auto& window = program.Window();
    window.SetSearchFolder(QFileInfo(package).absolutePath());
    // The pictures must not depend on the adapters plugged into this machine.
    window.SetDeviceFolder("/nonexistent");
    window.resize(700, 560);
    program.Open();
    return window;
  };
  WizardProgram program({});
  auto& window = prepare(program);

  bool ok = Save(window, out, "step0-select.png");
  window.PressNavigation(NavButton::Next);
  ok = ok && window.CurrentStep() == 1 && Save(window, out, "step1-introduction.png");
  window.PressNavigation(NavButton::Next);
  ok = ok && window.CurrentStep() == 2 && Save(window, out, "step2-settings.png");

  // The upload step is taken while the run is programming.
  bool taken = false;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    const auto* bar = window.findChild<QProgressBar*>("pboxEntireProcess");
    const auto* step = window.findChild<QProgressBar*>("pboxStep");
    if (taken || bar->value() * 100 < bar->maximum() * 60 || step->value() == 0) return;
    taken = true;
    ok = Save(window, out, "step3-upload.png") && ok;
  });
  watch.start(2);
  window.findChild<QComboBox*>("cmbPorts")->setEditText(port);
  window.PressNavigation(NavButton::Next);
  watch.stop();
  ok = ok && taken && window.CurrentStep() == 4 && Save(window, out, "step4-finished.png");

  // A failed run: the simulated instrument has ended after its upload, so a
  // second run finds no port, and the Finished step shows why and what to do.
  // Its read-back goes to a folder of its own, so that no question about the
  // first run's file stops it.
  while (ok && window.CurrentStep() > 2) window.PressNavigation(NavButton::Back);
  QDir().mkpath("second");
  window.findChild<QLineEdit*>("txtOutputFolder")->setText(QDir::current().filePath("second"));
  window.PressNavigation(NavButton::Next);
  ok = ok && window.CurrentStep() == 4 && Save(window, out, "step4-failed.png");

  // The Settings step's summary as --advanced shows it: every detail of the
  // configuration.
  WizardProgram advanced({"--advanced"});
  auto& detailed = prepare(advanced);
  detailed.PressNavigation(NavButton::Next);
  detailed.PressNavigation(NavButton::Next);
  ok = ok && detailed.CurrentStep() == 2 && Save(detailed, out, "step2-settings-advanced.png");
  if (!ok) std::fprintf(stderr, "pelvane-screenshots: the wizard did not run through its steps\n");
  return ok ? 0 : 1;
}
