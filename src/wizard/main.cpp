// pelvane: the firmware update wizard.
#include <QApplication>
#include <QIcon>
#include <QTimer>
#include <cstdio>
#include <string>
#include <vector>

#include "commandline/qn_command_line.h"
#include "wizard/wizard_program.h"

int main(int argc, char** argv) {
  // Qt takes its own options (-platform, -style, ...) out of the arguments here.
  QApplication application(argc, argv);
  QApplication::setApplicationName("Pelvane");
  QApplication::setApplicationVersion(PELVANE_VERSION);
  QApplication::setWindowIcon(QIcon::fromTheme("pelvane"));

  std::vector<std::string> arguments;
  const QStringList all = QCoreApplication::arguments();
  for (qsizetype i = 1; i < all.size(); ++i) arguments.push_back(all[i].toStdString());

  pelvane::wizard::WizardProgram program(arguments);
  const auto& commandLine = program.CommandLine();
  if (commandLine.HelpRequested()) {
    std::fputs(pelvane::commandline::QN_CommandLine::Usage("pelvane").c_str(), stdout);
    return 0;
  }
  if (commandLine.VersionRequested()) {
    std::printf("pelvane %s\n", PELVANE_VERSION);
    return 0;
  }

  // Opened from inside the event loop: an upload started by the command line
  // then runs with the loop's services (timers, posted notices) in place.
  QTimer::singleShot(0, &program.Window(), [&program] {
    if (program.Open() == pelvane::wizard::StartupOutcome::ExitRequested) QCoreApplication::exit(1);
  });
  return application.exec();
}
