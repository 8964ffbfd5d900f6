// pelvane: the firmware update wizard.
#include <QApplication>
#include <QIcon>
#include <QTimer>
#include <cstdio>
#include <string>
#include <vector>

#include "commandline/qn_command_line.h"
#include "core/program.h"
#include "options/options.h"
#include "wizard/program/wizard_program.h"

namespace {

// --help and --version: printed, and the program ends, also when the rest of
// the line is wrong (a package that is not there): the user asked for help.
bool AnsweredAtOnce(const pelvane::commandline::QN_CommandLine& commandLine) {
  if (commandLine.HelpRequested()) {
    std::fputs(pelvane::commandline::QN_CommandLine::Usage("pelvane").c_str(), stdout);
    return true;
  }
  if (commandLine.VersionRequested()) {
    std::fputs(pelvane::options::VersionLine("pelvane").c_str(), stdout);
    return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // --help and --version are answered before Qt starts, so that they work
  // without a display. Qt's own options (-platform, -style, ...) are no
  // options of the wizard: with them the line is read again once Qt has
  // taken them out.
  {
    pelvane::commandline::QN_CommandLine early;
    early.ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (AnsweredAtOnce(early)) return 0;
  }
  // Without a display Qt would abort with advice about reinstalling; a
  // platform chosen on purpose (offscreen, vnc) is Qt's to check.
  const auto platform = pelvane::core::EnvironmentValue("QT_QPA_PLATFORM");
  if ((!platform || platform->empty()) && !pelvane::core::DisplayAvailable()) {
    std::fputs(
        "pelvane: no display to show the wizard on; pelvane-cli updates an instrument without "
        "one\n",
        stderr);
    return 1;
  }

  // Qt takes its own options out of the arguments here.
  QApplication application(argc, argv);
  QApplication::setApplicationName("Pelvane");
  QApplication::setApplicationVersion(QString::fromUtf8(pelvane::options::ProjectVersion()));
  QApplication::setWindowIcon(QIcon::fromTheme("pelvane"));

  std::vector<std::string> arguments;
  const QStringList all = QCoreApplication::arguments();
  for (qsizetype i = 1; i < all.size(); ++i) arguments.push_back(all[i].toStdString());

  pelvane::wizard::WizardProgram program(arguments);
  if (AnsweredAtOnce(program.CommandLine())) return 0;

  // Opened from inside the event loop: an upload started by the command line
  // then runs with the loop's services (timers, posted notices) in place.
  QTimer::singleShot(0, &program.Window(), [&program] {
    if (program.Open() == pelvane::wizard::StartupOutcome::ExitRequested) QCoreApplication::exit(1);
  });
  return application.exec();
}
