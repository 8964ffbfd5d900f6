// The whole wizard program in this process (window, controller, application
// layer, session, serial port) against pelvane-sim over a pseudo-terminal,
// started as the command line starts it, with questions answered here.
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>

#include "fake_backend.h"
#include "package/package_writer.h"
#include "support/sim_package.h"
#include "support/sim_process.h"
#include "wizard/program/wizard_program.h"

using pelvane::package::PromptAnswer;
using pelvane::test::FileBytes;
using pelvane::test::ReadText;
using pelvane::test::ScratchDir;
using pelvane::test::SimProcess;
using pelvane::wizard::NavButton;
using pelvane::wizard::StartupOutcome;
using pelvane::wizard::WizardProgram;
using pelvane::wizard::test::FakePrompt;

namespace {

std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t seed) {
  return pelvane::test::BytePattern(n, seed, 13, 5);
}

// Answers Yes to yes/no questions (replacing the download file) and OK else.
class YesPrompt : public FakePrompt {
 public:
  PromptAnswer Ask(const std::string& text, const std::string& caption,
                   pelvane::package::PromptButtons buttons) override {
    FakePrompt::Ask(text, caption, buttons);
    return buttons == pelvane::package::PromptButtons::YesNo ? PromptAnswer::Yes : PromptAnswer::Ok;
  }
};

}  // namespace

class WizardUploadTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<ScratchDir> dir_;
  QString previousFolder_;
  std::unique_ptr<SimProcess> sim_;
  YesPrompt prompt_;
  std::vector<std::uint8_t> main_ = Bytes(300, 1);
  std::vector<std::uint8_t> text_ = Bytes(70, 5);

  const std::filesystem::path& Dir() const { return dir_->path(); }
  std::string PackagePath() const { return (Dir() / "test.qxpkg").string(); }

  void WritePackage(bool withTexts) {
    pelvane::test::SimPackage package{
        "CONTINUE=NO\nFIRMWARE_LANGUAGES=English,German\nFIRMWARE_LANGUAGE=English\n",
        "ERASE=0x10000,0x1000\n",
        "[FILES]\nPROGRAM=0x10000,MAIN.BIN\n[ENGLISH]\nPROGRAM1=0x10200,TEXT_EN.BIN\n"
        "[GERMAN]\nPROGRAM1=0x10200,TEXT_DE.BIN\n",
        "Wizard test package",
        {{"MAIN.BIN", main_}, {"TEXT_EN.BIN", Bytes(70, 77)}, {"TEXT_DE.BIN", text_}}};
    if (withTexts) {
      const auto text = [](const std::string& s) {
        return std::vector<std::uint8_t>(s.begin(), s.end());
      };
      package.members.push_back({"QXNOTES.TXT", text(std::string(300, 'n'))});
      package.members.push_back({"Readme.txt", text("Read this before the update.")});
      package.members.push_back({"Final.txt", text(std::string(12000, 'f') + "END")});
    }
    const std::string error = package.Write(PackagePath());
    QVERIFY2(error.empty(), error.c_str());
  }

  std::string StartSim(const std::vector<std::string>& extra = {}) {
    sim_ = std::make_unique<SimProcess>(
        PELVANE_SIM, pelvane::test::SimFiles{PackagePath(), Dir() / "flash"}, extra, Dir());
    return sim_->Terminal();
  }

  static QString Text(WizardProgram& program, const char* name) {
    return program.Window().findChild<QLabel*>(name)->text();
  }
  static bool HasAction(WizardProgram& program, const std::string& text) {
    const auto& entries = program.Window().Actions().Entries();
    return std::any_of(entries.begin(), entries.end(),
                       [&](const auto& e) { return e.text == text; });
  }

 private slots:
  void init() {
    dir_ = std::make_unique<ScratchDir>("pelvane-wizard-e2e", QTest::currentTestFunction());
    QVERIFY(std::filesystem::is_directory(Dir()));
    // The package's download files and the folder search use the current folder.
    previousFolder_ = QDir::currentPath();
    QVERIFY(QDir::setCurrent(QString::fromStdString(Dir().string())));
  }
  void cleanup() {
    sim_.reset();
    QDir::setCurrent(previousFolder_);
    dir_.reset();
  }

  void autostartUploadsTheWholePackageAndEndsWithTheSuccessText() {
    WritePackage(false);
    const std::string pty = StartSim({"--once"});
    QVERIFY2(!pty.empty(), sim_->Err().c_str());
    WizardProgram program(
        {"--file", PackagePath(), "--port", pty, "--language", "german", "--autostart"}, &prompt_);
    QCOMPARE(program.Open(), StartupOutcome::Running);

    QCOMPARE(program.Window().CurrentStep(), 4);
    QCOMPARE(Text(program, "lblFinished"),
             QString("The Firmware has been uploaded successfully to your instrument.\n\n"
                     "Your instrument has been restarted please run the calibration routines."));
    QVERIFY(HasAction(program, "Instrument Restarted"));
    QVERIFY(HasAction(program, "Shutdown Complete"));
    QCOMPARE(program.Process().ComPort(), pty);
    QVERIFY(program.Window().findChild<QPushButton*>("cmdNav4")->isEnabled());

    QCOMPARE(sim_->Wait(), 0);
    const auto flash = FileBytes(Dir() / "flash" / "AM29F010_10000.bin");
    QCOMPARE(flash.size(), std::size_t{0x10000});
    QVERIFY(std::equal(main_.begin(), main_.end(), flash.begin()));
    // The language given on the command line is the one programmed.
    QVERIFY(std::equal(text_.begin(), text_.end(), flash.begin() + 0x200));
    // The run's trace is kept among the run logs, and the Finished step says where.
    const QString prefix =
        "Trace of this run: " + qEnvironmentVariable("XDG_STATE_HOME") + "/pelvane/logs/run-";
    QVERIFY2(Text(program, "lblRunLog").startsWith(prefix), qPrintable(Text(program, "lblRunLog")));
    const std::string trace =
        ReadText(Text(program, "lblRunLog").mid(std::strlen("Trace of this run: ")).toStdString());
    QVERIFY(trace.find("command: ProgEnd: ") != std::string::npos);
    QVERIFY(trace.find("outcome: OK\n") != std::string::npos);
  }

  void cancelDuringTheUploadEndsOnTheFinishedStep() {
    WritePackage(false);
    // The instrument stops answering after its first command, so the run is
    // surely inside a wait when Cancel is pressed.
    const std::string pty = StartSim({"--silent-after", "1"});
    QVERIFY2(!pty.empty(), sim_->Err().c_str());
    WizardProgram program({"--file", PackagePath(), "--port", pty, "--autostart"}, &prompt_);
    bool pressed = false;
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] {
      if (pressed || !HasAction(program, "Transfer Program Running")) return;
      pressed = true;
      QVERIFY(program.Window().UploadRunning());
      QTest::mouseClick(program.Window().findChild<QPushButton*>("cmdNav1"), Qt::LeftButton);
    });
    watch.start(5);
    QCOMPARE(program.Open(), StartupOutcome::Running);
    watch.stop();

    QVERIFY(pressed);
    QCOMPARE(program.Window().CurrentStep(), 4);
    QCOMPARE(Text(program, "lblStep4"), QString("Firmware Upload Cancelled"));
    QCOMPARE(Text(program, "lblFinished"),
             QString("The Firmware Upload process failed.\n\nProcess Cancelled by User"));
    QCOMPARE(program.Process().GetLastError(), 11);
    // The hint is the one the command-line runner gives for a cancelled run.
    QCOMPARE(Text(program, "lblHint"), QString::fromStdString("Hint: " + program.Process().Hint()));
    QVERIFY(Text(program, "lblHint").startsWith("Hint: the upload was cancelled"));
    // The link was closed and the application layer shut down on the way out.
    QVERIFY(HasAction(program, "Close Communication Channel"));
    QVERIFY(HasAction(program, "Shutdown Complete"));
    QVERIFY(!program.Window().UploadRunning());
  }

  void legacySwitchesAreAppliedWithTheirQuestions() {
    WritePackage(false);
    {
      // Case matters: the switch is unknown, and OK opens the selection step.
      WizardProgram program({"/autostart"}, &prompt_);
      QCOMPARE(program.Open(), StartupOutcome::Running);
      QCOMPARE(program.Window().CurrentStep(), 0);
      QCOMPARE(prompt_.asked.size(), std::size_t{1});
      QCOMPARE(prompt_.asked[0].text, std::string("Invalid command line switch /autostart"));
      QCOMPARE(prompt_.asked[0].caption, std::string("Invalid Command Line Switch"));
    }
    prompt_.asked.clear();
    {
      // The package is named relative to the current folder; unknown values
      // are reported and skipped, and without a read-me the settings show.
      WizardProgram program({"/Ftest.qxpkg", "/FIRMWARE_LANGUAGEfrench", "/PORTCOM9"}, &prompt_);
      QCOMPARE(program.Open(), StartupOutcome::Running);
      QCOMPARE(prompt_.asked.size(), std::size_t{2});
      QCOMPARE(prompt_.asked[0].text,
               std::string("Invalid Command Line Switch /FIRMWARE_LANGUAGEFRENCH"));
      QCOMPARE(prompt_.asked[1].text, std::string("Invalid Command Line Switch /PORTCOM9"));
      QCOMPARE(program.Window().CurrentStep(), 2);
      QCOMPARE(program.Process().ComPort(), std::string("COM1"));
    }
  }

  void realPackageShowsNotesReadmeAndFinalText() {
    WritePackage(true);
    const std::string pty = StartSim({"--once"});
    QVERIFY2(!pty.empty(), sim_->Err().c_str());
    // No package on the command line: the folder search finds it.
    WizardProgram program({"--advanced"}, &prompt_);
    QCOMPARE(program.Open(), StartupOutcome::Running);
    auto& window = program.Window();
    QCOMPARE(window.CurrentStep(), 0);
    auto* list = window.findChild<QListWidget*>("lstPackages");
    QCOMPARE(list->count(), 1);
    QCOMPARE(list->item(0)->text(), QString("Wizard test package"));
    QCOMPARE(Text(program, "lblNotes"), QString(256, 'n'));

    window.PressNavigation(NavButton::Next);
    QCOMPARE(window.CurrentStep(), 1);
    QCOMPARE(window.findChild<QPlainTextEdit*>("txtReadme")->toPlainText(),
             QString("Read this before the update."));
    window.PressNavigation(NavButton::Next);
    QCOMPARE(window.CurrentStep(), 2);
    QVERIFY(Text(program, "lblConfirm")
                .startsWith("Please connect your instrument using a Serial Cable (null modem) to "
                            "COM1 (/dev/ttyS0) and then switch on your instrument whilst pressing "
                            "the number 5"));
    // The advanced display adds the details of the configuration.
    QVERIFY(Text(program, "lblConfirm").contains("Instrument Processor = I80X86"));

    auto* ports = window.findChild<QComboBox*>("cmbPorts");
    ports->setEditText(QString::fromStdString(pty));
    window.PressNavigation(NavButton::Next);
    QCOMPARE(window.CurrentStep(), 4);
    // Final.txt is read whole, across its 5000-character pieces.
    const QString result = Text(program, "lblFinished");
    QCOMPARE(result.size(), 12003);
    QVERIFY(result.endsWith("fEND"));
    QCOMPARE(sim_->Wait(), 0);
  }
};

QTEST_MAIN(WizardUploadTest)
#include "wizard_upload_test.moc"
