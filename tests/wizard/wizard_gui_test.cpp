// The wizard window on the offscreen platform, driven through its buttons and
// keys, with a backend whose packages are entries in a table.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <memory>
#include <stdexcept>

#include "fake_backend.h"
#include "wizard/ui/frm_wizard.h"
#include "wizard/ui/help_window.h"
#include "wizard/ui/message_box_prompt.h"

using pelvane::package::PromptAnswer;
using pelvane::package::PromptButtons;
using pelvane::wizard::Direction;
using pelvane::wizard::frmWizard;
using pelvane::wizard::NavButton;
using pelvane::wizard::StartupOptions;
using pelvane::wizard::StartupOutcome;
using pelvane::wizard::test::FakeBackend;
using pelvane::wizard::test::FakePackage;
using pelvane::wizard::test::FakePrompt;

class WizardGuiTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> folder_;
  std::unique_ptr<FakeBackend> backend_;
  std::unique_ptr<FakePrompt> prompt_;
  std::unique_ptr<frmWizard> window_;

  void Touch(const QString& name) {
    QFile file(folder_->filePath(name));
    QVERIFY(file.open(QIODevice::WriteOnly));
  }
  // A window searching an empty folder of its own.
  void Make() {
    window_ = std::make_unique<frmWizard>(*backend_, *prompt_);
    window_->SetSearchFolder(folder_->path());
    window_->SetDeviceFolder(folder_->filePath("dev"));
  }
  void OpenWith(const StartupOptions& options = {}) {
    Make();
    QCOMPARE(window_->Open(options), StartupOutcome::Running);
  }
  QPushButton* Nav(NavButton b) {
    return window_->findChild<QPushButton*>(QString("cmdNav%1").arg(static_cast<int>(b)));
  }
  void Click(NavButton b) { QTest::mouseClick(Nav(b), Qt::LeftButton); }
  template <class W>
  W* Child(const char* name) {
    W* w = window_->findChild<W*>(name);
    if (w == nullptr) qFatal("no widget %s", name);
    return w;
  }
  QString FinishedText() { return Child<QLabel>("lblFinished")->text(); }
  QString HintText() { return Child<QLabel>("lblHint")->text(); }
  QListWidget* Packages() { return Child<QListWidget>("lstPackages"); }
  std::string Path(const char* name) { return folder_->filePath(name).toStdString(); }

  // One package "a.qxpkg" in the folder; `readme` decides whether step 1 shows.
  void OpenOnePackage(bool readme) {
    FakePackage p;
    p.comment = "Firmware 2.1";
    if (readme) p.readme = "Read me first.";
    backend_->packages["a.qxpkg"] = p;
    Touch("a.qxpkg");
    OpenWith();
  }
  void ExpectButtons(bool back, bool next, bool exit) {
    QCOMPARE(Nav(NavButton::Back)->isEnabled(), back);
    QCOMPARE(Nav(NavButton::Next)->isEnabled(), next);
    QCOMPARE(Nav(NavButton::Exit)->isEnabled(), exit);
    QVERIFY(Nav(NavButton::Help)->isEnabled());
    QVERIFY(Nav(NavButton::Cancel)->isEnabled());
  }

 private slots:
  void initTestCase() {
    // Settings go to a folder of the test's, not the user's.
    QStandardPaths::setTestModeEnabled(true);
    QSettings().clear();
  }
  void init() {
    folder_ = std::make_unique<QTemporaryDir>();
    QVERIFY(folder_->isValid());
    backend_ = std::make_unique<FakeBackend>();
    prompt_ = std::make_unique<FakePrompt>();
  }
  void cleanup() {
    window_.reset();
    prompt_.reset();
    backend_.reset();
    folder_.reset();
  }

  void opensOnTheSelectionStepWithTextsFromTheTable() {
    OpenWith();
    QCOMPARE(window_->CurrentStep(), 0);
    QCOMPARE(backend_->calls.front(), std::string("running"));
    QVERIFY(window_->isVisible());
    QCOMPARE(window_->windowTitle(), QString("Pelvane Wizard V%1 - Select the Firmware to use")
                                         .arg(PELVANE_TEST_PROJECT_VERSION));
    const char* captions[] = {"Help", "Cancel", "< &Back", "&Next >", "&Exit"};
    for (int i = 0; i < 5; ++i) QCOMPARE(Nav(NavButton(i))->text(), QString(captions[i]));
    QCOMPARE(Child<QLabel>("lblStep0")->text(), QString("Select the Firmware to use"));
    QCOMPARE(FinishedText(),
             QString("The Pelvane Wizard is finished.\n\nTo exit the Wizard click Exit."));
    ExpectButtons(false, true, false);
    // Only the current frame takes input.
    QVERIFY(Child<QWidget>("fraStep0")->isEnabled());
    for (const char* other : {"fraStep1", "fraStep2", "fraStep3", "fraStep4"})
      QVERIFY(!Child<QWidget>(other)->isEnabled());
  }

  void nextWithoutPackageAsksAndStays() {
    OpenWith();
    Click(NavButton::Next);
    QCOMPARE(window_->CurrentStep(), 0);
    QCOMPARE(prompt_->asked.size(), std::size_t{1});
    QCOMPARE(prompt_->asked[0].text, std::string("Please select a Firmware Package to upload"));
    QCOMPARE(prompt_->asked[0].caption, std::string("Pelvane"));
    QCOMPARE(prompt_->asked[0].buttons, PromptButtons::Ok);
  }

  void folderSearchAddsValidPackagesAndSelectsTheLast() {
    backend_->packages["a.qxpkg"] = {"Alpha", "Notes of alpha", {}, {}, true};
    backend_->packages["b.QXPKG"] = {"", "Notes of b", {}, {}, true};
    backend_->packages["d.qxpkg"] = {"Alpha", "", {}, {}, true};  // same name, other path
    Touch("a.qxpkg");
    Touch("b.QXPKG");
    Touch("c.qxpkg");  // no configuration member: skipped without a message
    Touch("d.qxpkg");
    Touch("notes.txt");
    OpenWith();
    QCOMPARE(Packages()->count(), 3);
    QCOMPARE(Packages()->item(0)->text(), QString("Alpha"));
    QCOMPARE(Packages()->item(1)->text(), QString::fromStdString(Path("b.QXPKG")));
    QCOMPARE(Packages()->item(2)->text(), QString("Alpha"));
    QCOMPARE(Packages()->currentRow(), 2);
    QCOMPARE(backend_->packagePath, Path("d.qxpkg"));
    QVERIFY(prompt_->asked.empty());

    Packages()->setCurrentRow(1);
    QCOMPARE(backend_->packagePath, Path("b.QXPKG"));
    QCOMPARE(Child<QLabel>("lblNotes")->text(), QString("Notes of b"));
    Packages()->setCurrentRow(0);
    QCOMPARE(backend_->packagePath, Path("a.qxpkg"));
  }

  void withoutReadmeTheIntroductionIsSkippedBothWays() {
    OpenOnePackage(false);
    const int searched = backend_->isPackageCalls;
    Click(NavButton::Next);
    QCOMPARE(window_->CurrentStep(), 2);
    QCOMPARE(window_->windowTitle().section(" - ", 1), QString("Settings"));
    QCOMPARE(Nav(NavButton::Next)->text(), QString("&Execute >"));
    ExpectButtons(true, true, false);
    Click(NavButton::Back);
    QCOMPARE(window_->CurrentStep(), 0);
    QCOMPARE(Nav(NavButton::Next)->text(), QString("&Next >"));
    // Entered by Back: the folder is not searched again.
    QCOMPARE(backend_->isPackageCalls, searched);
    QCOMPARE(Packages()->count(), 1);
  }

  void withReadmeTheIntroductionShowsIt() {
    OpenOnePackage(true);
    Click(NavButton::Next);
    QCOMPARE(window_->CurrentStep(), 1);
    QCOMPARE(Child<QPlainTextEdit>("txtReadme")->toPlainText(), QString("Read me first."));
    ExpectButtons(true, true, false);
    Click(NavButton::Next);
    QCOMPARE(window_->CurrentStep(), 2);
    Click(NavButton::Back);
    QCOMPARE(window_->CurrentStep(), 1);
  }

  void settingsReloadTheConfigurationEachTimeForward() {
    OpenOnePackage(false);
    Click(NavButton::Next);
    Click(NavButton::Back);
    Click(NavButton::Next);
    int loads = 0;
    for (const auto& c : backend_->calls) loads += c == "load QXCONFIG.INI";
    QCOMPARE(loads, 2);
    QCOMPARE(Child<QLabel>("lblConfirm")->text(),
             QString("Please connect your instrument using a Serial Cable (null modem) to COM1"));
  }

  void configurationErrorGoesBackToTheSelection() {
    OpenOnePackage(false);
    backend_->packages["a.qxpkg"].loads = false;
    backend_->errorText = "\n File:a.qxpkg (QXCONFIG.INI)";
    const int searched = backend_->isPackageCalls;
    Click(NavButton::Next);
    QCOMPARE(window_->CurrentStep(), 0);
    QCOMPARE(prompt_->asked.size(), std::size_t{1});
    // The loader's account follows the fixed first line.
    QCOMPARE(prompt_->asked[0].text,
             std::string("Error Occurred reading configuration file\n\nError\n File:a.qxpkg "
                         "(QXCONFIG.INI)"));
    QCOMPARE(prompt_->asked[0].buttons, PromptButtons::Ok);
    QCOMPARE(backend_->isPackageCalls, searched);
  }

  void portListOffersTheMachinesSerialDevicesAfterThePackagesPorts() {
    QDir(folder_->path()).mkpath("dev/serial/by-id");
    // A device is a character device (a file is none); its by-id name shows
    // with its control characters escaped.
    QVERIFY(QFile::link("/dev/null", folder_->filePath("dev/ttyUSB0")));
    Touch("dev/ttyUSB1");
    QFile::link(
        "../../ttyUSB0",
        folder_->filePath("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1\x1b[2J-if00-port0"));
    OpenOnePackage(false);
    Click(NavButton::Next);
    auto* ports = Child<QComboBox>("cmbPorts");
    QCOMPARE(ports->count(), 4);
    QCOMPARE(ports->itemText(2), QString("GPIB"));
    const QString device = folder_->filePath("dev/ttyUSB0");
    QCOMPARE(ports->itemText(3), device);
    QCOMPARE(ports->currentText(), QString("COM1"));
    // A COM name says which device of this computer it opens.
    QCOMPARE(Child<QLabel>("lblPortDescription")->text(),
             QString("COM1 is the serial port /dev/ttyS0 of this computer"));
    QCOMPARE(Child<QComboBox>("cmbHelpLanguage")->count(), 0);

    // Choosing an entry hands the port to the controller.
    ports->setCurrentIndex(3);
    emit ports->activated(3);
    QCOMPARE(backend_->port, device.toStdString());
    QCOMPARE(Child<QLabel>("lblPortDescription")->text(),
             QString("FTDI FT232R USB UART A1\\x1b[2J"));

    // Text typed into the list counts when the upload starts.
    ports->setEditText("  COM2 ");
    auto* languages = Child<QComboBox>("cmbFirmwareLanguage");
    languages->setEditText("GERMAN");
    Click(NavButton::Next);
    QCOMPARE(backend_->port, std::string("COM2"));
    QCOMPARE(backend_->language, std::string("GERMAN"));
  }

  void successfulUploadEndsOnTheFinishedStep() {
    OpenOnePackage(false);
    Click(NavButton::Next);
    Click(NavButton::Next);
    QCOMPARE(backend_->uploads, 1);
    QCOMPARE(window_->CurrentStep(), 4);
    QCOMPARE(FinishedText(),
             QString("The Firmware has been uploaded successfully to your instrument.\n\n"
                     "Please restart your instrument and run the calibration routines."));
    ExpectButtons(true, false, true);
    QVERIFY(window_->FinishFlag());
    QCOMPARE(Child<QProgressBar>("pboxEntireProcess")->value(), 50);
    // The action list is kept although the advanced display is off.
    QVERIFY(Child<QListWidget>("lstStep")->isHidden());
    QCOMPARE(Child<QListWidget>("lstStep")->count(), 2);
    QCOMPARE(window_->Actions().Entries().size(), std::size_t{2});
    // A second run (the next instrument) starts a record of its own.
    Click(NavButton::Back);
    Click(NavButton::Back);
    Click(NavButton::Next);
    QCOMPARE(backend_->uploads, 2);
    QCOMPARE(Child<QListWidget>("lstStep")->count(), 2);
    QCOMPARE(window_->Actions().Entries().size(), std::size_t{2});
    // The package names no help languages: no empty list to choose from.
    QVERIFY(Child<QComboBox>("cmbHelpLanguage")->isHidden());
    // The title stays at the top of its step when no hint shows, however
    // tall the window.
    window_->resize(700, 560);
    window_->show();
    QCoreApplication::processEvents();
    const auto* title = Child<QLabel>("lblStep4");
    QCOMPARE(title->height(), title->sizeHint().height());
    // After a finished run Cancel cancels nothing: it only closes, and the
    // result stays as it was.
    Click(NavButton::Cancel);
    QVERIFY(!window_->isVisible());
    QVERIFY(std::find(backend_->calls.begin(), backend_->calls.end(), "cancel") ==
            backend_->calls.end());
    QVERIFY(FinishedText().startsWith("The Firmware has been uploaded successfully"));
    QVERIFY(Child<QLabel>("lblStep4")->text() != QString("Firmware Upload Cancelled"));
  }

  // The read-back folder of the Settings step goes to the controller before
  // the run: typed, or chosen with Browse.
  void readBackFolderIsChosenOnTheSettingsStep() {
    OpenOnePackage(false);
    Click(NavButton::Next);
    auto* folder = Child<QLineEdit>("txtOutputFolder");
    QVERIFY(folder->text().isEmpty());  // the current folder, as before
    window_->SetFolderChooser(
        [](const QString&, const QString&, const QString&) { return QString("/bench/unit-7"); });
    QTest::mouseClick(Child<QPushButton>("cmdOutputFolder"), Qt::LeftButton);
    QCOMPARE(folder->text(), QString("/bench/unit-7"));
    // Verify is off until chosen, and the choice is kept for the next window.
    auto* verify = Child<QCheckBox>("chkVerify");
    QVERIFY(!verify->isChecked());
    verify->setChecked(true);
    Click(NavButton::Next);
    QCOMPARE(backend_->uploads, 1);
    QCOMPARE(backend_->outputFolder, std::string("/bench/unit-7"));
    QVERIFY(backend_->verify);
    Make();
    QVERIFY(Child<QCheckBox>("chkVerify")->isChecked());
    QSettings().clear();
  }

  // Identify and Verify Only look at the instrument from the Settings step
  // and show what they found there; the wizard stays on the step.
  void identifyAndVerifyOnlyShowTheirOutcomeOnTheSettingsStep() {
    OpenOnePackage(false);
    Click(NavButton::Next);
    Child<QLineEdit>("txtOutputFolder")->setText("/bench/unit-8");
    bool nextDuringTheCheck = true;
    backend_->check = [&](pelvane::upload::RunOperation) {
      nextDuringTheCheck = Nav(NavButton::Next)->isEnabled();
      return true;
    };
    QTest::mouseClick(Child<QPushButton>("cmdIdentify"), Qt::LeftButton);
    QCOMPARE(backend_->checked, std::vector<std::string>{"identify"});
    QVERIFY(!nextDuringTheCheck);
    QCOMPARE(backend_->outputFolder, std::string("/bench/unit-8"));
    QCOMPARE(Child<QLabel>("lblCheck")->text(),
             QString("Memory at H400000: Manufacturer H1, Device HA4"));
    QCOMPARE(window_->CurrentStep(), 2);
    QCOMPARE(backend_->uploads, 0);
    ExpectButtons(true, true, false);
    // An instrument that does not hold the package says where it differs.
    backend_->check = [](pelvane::upload::RunOperation) { return false; };
    backend_->found = {"The instrument does not hold this package: MAIN.BIN differs at H10"};
    QTest::mouseClick(Child<QPushButton>("cmdVerifyOnly"), Qt::LeftButton);
    QCOMPARE(backend_->checked.back(), std::string("verify-only"));
    QCOMPARE(Child<QLabel>("lblCheck")->text(), QString::fromStdString(backend_->found[0]));
    // A check that could not look says why, with the same hint as a run.
    backend_->found.clear();
    backend_->error = 111;
    QTest::mouseClick(Child<QPushButton>("cmdVerifyOnly"), Qt::LeftButton);
    QCOMPARE(Child<QLabel>("lblCheck")->text(),
             QString("Verifying the instrument failed.\nError\nHint: check the cable"));
    QCOMPARE(window_->CurrentStep(), 2);
  }

  void resultTexts_data() {
    QTest::addColumn<bool>("ok");
    QTest::addColumn<bool>("restart");
    QTest::addColumn<bool>("transferOnly");
    QTest::addColumn<bool>("hasFinal");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("hint");  // the failure's hint below the text
    QTest::newRow("restarted") << true << true << false << false
                               << "The Firmware has been uploaded successfully to your "
                                  "instrument.\n\nYour instrument has been restarted please run "
                                  "the calibration routines."
                               << "";
    QTest::newRow("final text") << true << true << false << true << "Done.\nCalibrate now."
                                << "";
    QTest::newRow("failed") << false << false << false << true
                            << "The Firmware Upload process failed.\n\nErrorPort missing"
                            << "Hint: check the cable";
    QTest::newRow("transfer only") << true << false << true << true
                                   << "The Transfer Program has been uploaded successfully to "
                                      "your instrument."
                                   << "";
    QTest::newRow("transfer only failed")
        << false << false << true << false << "The Transfer Program Upload process failed."
        << "Hint: check the cable";
  }
  void resultTexts() {
    QFETCH(bool, ok);
    QFETCH(bool, restart);
    QFETCH(bool, transferOnly);
    QFETCH(bool, hasFinal);
    QFETCH(QString, expected);
    QFETCH(QString, hint);
    FakePackage p;
    if (hasFinal) p.finalText = "Done.\nCalibrate now.";
    backend_->packages["a.qxpkg"] = p;
    Touch("a.qxpkg");
    backend_->restart = restart;
    backend_->transferOnly = transferOnly;
    if (!ok) {
      backend_->upload = [this] {
        backend_->error = 111;
        backend_->errorText = "Port missing";
        backend_->view->EnableNavigation(true);
        backend_->view->ShowResult();
        return false;
      };
    }
    OpenWith();
    Click(NavButton::Next);
    Click(NavButton::Next);
    QCOMPARE(window_->CurrentStep(), 4);
    QCOMPARE(FinishedText(), expected);
    QCOMPARE(HintText(), hint);
    QCOMPARE(Child<QLabel>("lblHint")->isHidden(), hint.isEmpty());
  }

  void packageTextsInLatin1OrUtf8AreShownReadably() {
    FakePackage p;
    p.comment = "Messger\xe4t";                // Latin-1
    p.notes = "Ger\xc3\xa4t\r\nzweite Zeile";  // UTF-8 with a Windows line end
    p.readme = "Zeile 1\r\nZeile 2";
    backend_->packages["a.qxpkg"] = p;
    Touch("a.qxpkg");
    OpenWith();
    QCOMPARE(Packages()->item(0)->text(), QString::fromUtf8("Messger\xc3\xa4t"));
    QCOMPARE(Child<QLabel>("lblNotes")->text(), QString::fromUtf8("Ger\xc3\xa4t\nzweite Zeile"));
    Click(NavButton::Next);
    QCOMPARE(Child<QPlainTextEdit>("txtReadme")->toPlainText(), QString("Zeile 1\nZeile 2"));
  }

  void messageBoxesAnswerWithTheButtonPressed_data() {
    QTest::addColumn<int>("buttons");
    QTest::addColumn<int>("press");
    QTest::addColumn<int>("answer");
    QTest::newRow("ok") << int(PromptButtons::Ok) << int(QMessageBox::Ok) << int(PromptAnswer::Ok);
    QTest::newRow("ok of two") << int(PromptButtons::OkCancel) << int(QMessageBox::Ok)
                               << int(PromptAnswer::Ok);
    QTest::newRow("cancel") << int(PromptButtons::OkCancel) << int(QMessageBox::Cancel)
                            << int(PromptAnswer::Cancel);
    QTest::newRow("yes") << int(PromptButtons::YesNo) << int(QMessageBox::Yes)
                         << int(PromptAnswer::Yes);
    QTest::newRow("no") << int(PromptButtons::YesNo) << int(QMessageBox::No)
                        << int(PromptAnswer::No);
  }
  void messageBoxesAnswerWithTheButtonPressed() {
    QFETCH(int, buttons);
    QFETCH(int, press);
    QFETCH(int, answer);
    pelvane::wizard::MessageBoxPrompt boxes;
    QString title;
    QString text;
    QTimer::singleShot(0, this, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      QVERIFY(box != nullptr);
      title = box->windowTitle();
      text = box->text();
      // A yes/no question must not be answered Yes by a stray Enter.
      if (buttons == int(PromptButtons::YesNo))
        QCOMPARE(box->defaultButton(), box->button(QMessageBox::No));
      box->button(QMessageBox::StandardButton(press))->click();
    });
    QCOMPARE(int(boxes.Ask("Replace the file?", "Pelvane", PromptButtons(buttons))), answer);
    QCOMPARE(title, QString("Pelvane"));
    QCOMPARE(text, QString("Replace the file?"));
  }

  void cancelOnTheFirstStepShowsTheFinishedStepUnchanged() {
    OpenWith();
    Click(NavButton::Cancel);
    QCOMPARE(window_->CurrentStep(), 4);
    QCOMPARE(backend_->calls.back(), std::string("cancel"));
    QCOMPARE(FinishedText(),
             QString("The Pelvane Wizard is finished.\n\nTo exit the Wizard click Exit."));
    ExpectButtons(true, false, true);
    QCOMPARE(backend_->uploads, 0);
    // Nothing happened that a log could hold.
    QVERIFY(!Child<QPushButton>("cmdSaveLog")->isEnabled());
  }

  void escapeDoesNotCloseTheWizard() {
    OpenWith();
    QTest::keyClick(window_.get(), Qt::Key_Escape);
    QVERIFY(window_->isVisible());
  }

  void backFromTheFinishedStepDoesNotUploadAgain() {
    OpenOnePackage(false);
    Click(NavButton::Next);
    Click(NavButton::Next);
    QCOMPARE(window_->CurrentStep(), 4);
    Click(NavButton::Back);
    QCOMPARE(window_->CurrentStep(), 3);
    QCOMPARE(backend_->uploads, 1);
    // Exit stays enabled until the next step change.
    ExpectButtons(true, true, true);
    QVERIFY(!window_->FinishFlag());
    Click(NavButton::Back);
    QCOMPARE(window_->CurrentStep(), 2);
    ExpectButtons(true, true, false);
  }

  void cancelDuringAnUploadEndsItAndShowsTheCancellation() {
    OpenOnePackage(false);
    bool checkedWhileRunning = false;
    backend_->upload = [this, &checkedWhileRunning] {
      QTimer::singleShot(20, this, [this, &checkedWhileRunning] {
        QVERIFY(window_->UploadRunning());
        QCOMPARE(window_->CurrentStep(), 3);
        ExpectButtons(false, false, false);
        Click(NavButton::Cancel);
        // On the finished step while the run winds down; no second run can start.
        QCOMPARE(window_->CurrentStep(), 4);
        ExpectButtons(false, false, true);
        window_->PressNavigation(NavButton::Back);
        window_->PressNavigation(NavButton::Next);
        QCOMPARE(window_->CurrentStep(), 4);
        checkedWhileRunning = true;
      });
      return backend_->WaitUntilCancelled();
    };
    Click(NavButton::Next);
    Click(NavButton::Next);
    QVERIFY(checkedWhileRunning);
    QCOMPARE(backend_->uploads, 1);
    QCOMPARE(window_->CurrentStep(), 4);
    QVERIFY(!window_->UploadRunning());
    QCOMPARE(Child<QLabel>("lblStep4")->text(), QString("Firmware Upload Cancelled"));
    QCOMPARE(FinishedText(),
             QString("The Firmware Upload process failed.\n\nProcess Cancelled by User"));
    ExpectButtons(true, false, true);
  }

  void uploadThatThrowsBecomesAFailedRun() {
    OpenOnePackage(false);
    backend_->upload = []() -> bool { throw std::runtime_error("Session object missing"); };
    Click(NavButton::Next);
    Click(NavButton::Next);
    QCOMPARE(window_->CurrentStep(), 4);
    QVERIFY(!window_->UploadRunning());
    QCOMPARE(FinishedText(),
             QString("The Firmware Upload process failed.\n\nSession object missing"));
    QVERIFY(HintText().startsWith("Hint: an internal fault"));
    ExpectButtons(true, false, true);
  }

  void closingDuringAnUploadWaitsForTheRunToEnd() {
    OpenOnePackage(false);
    backend_->upload = [this] {
      QTimer::singleShot(20, this, [this] {
        window_->close();
        QVERIFY(window_->isVisible());  // held back while the run is on the stack
      });
      return backend_->WaitUntilCancelled();
    };
    Click(NavButton::Next);
    Click(NavButton::Next);
    QVERIFY(backend_->cancelled);
    QVERIFY(!window_->isVisible());
  }

  void browseAddsAPackageOrSaysWhyNot() {
    backend_->packages["good.qxpkg"] = {"Good one", "", {}, {}, true};
    OpenWith();
    QString chosen;
    QString askedCaption;
    QString askedFilter;
    window_->SetOpenFileChooser([&](const QString& caption, const QString& filter, const QString&) {
      askedCaption = caption;
      askedFilter = filter;
      return chosen;
    });
    chosen = "";  // cancelled
    QTest::mouseClick(Child<QPushButton>("cmdBrowse"), Qt::LeftButton);
    QCOMPARE(Packages()->count(), 0);
    QVERIFY(prompt_->asked.empty());
    QCOMPARE(askedCaption, QString("Open Firmware Package"));
    QVERIFY(askedFilter.startsWith("Firmware Packages (*.QXPKG *.qxpkg)"));

    chosen = "/somewhere/bad.qxpkg";
    window_->BrowsePackage();
    QCOMPARE(Packages()->count(), 0);
    QCOMPARE(prompt_->asked.size(), std::size_t{1});
    QCOMPARE(prompt_->asked[0].text, std::string("File is not a valid Firmware Package"));

    chosen = "/somewhere/good.qxpkg";
    window_->BrowsePackage();
    QCOMPARE(Packages()->count(), 1);
    QCOMPARE(Packages()->currentItem()->text(), QString("Good one"));
    QCOMPARE(backend_->packagePath, std::string("/somewhere/good.qxpkg"));
    QCOMPARE(window_->PackageCount(), 1);
  }

  void helpOpensThePageAtTheCurrentStep() {
    OpenWith();
    QVERIFY(!window_->HelpShown());
    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_.get()));
    QTest::keyClick(window_.get(), Qt::Key_F1);
    QVERIFY(window_->HelpShown());
    QVERIFY(window_->Help()->isVisible());
    QCOMPARE(window_->Help()->CurrentUrl().fragment(), QString("step1010"));
    QVERIFY(window_->Help()->PageText().contains("Select the Firmware to use"));
    Click(NavButton::Cancel);
    Click(NavButton::Help);
    QCOMPARE(window_->Help()->CurrentUrl().fragment(), QString("step1050"));
    // Closing the wizard closes its help too.
    Click(NavButton::Exit);
    QVERIFY(!window_->isVisible());
    QVERIFY(!window_->Help()->isVisible());
  }

  void saveLogWritesEveryActionWithItsTime() {
    OpenOnePackage(false);
    Click(NavButton::Next);
    Click(NavButton::Next);
    const QString target = folder_->filePath("run.log");
    QString suggested;
    window_->SetSaveFileChooser([&](const QString&, const QString&, const QString& start) {
      suggested = start;
      return target;
    });
    QTest::mouseClick(Child<QPushButton>("cmdSaveLog"), Qt::LeftButton);
    QVERIFY(suggested.endsWith(".log"));
    QFile file(target);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines[0].endsWith("  UPLOAD FIRMWARE STARTED"));
    QVERIFY(lines[0].contains(QRegularExpression(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}  )")));

    // A file that cannot be written is reported, not lost silently.
    window_->SetSaveFileChooser([](const QString&, const QString&, const QString&) {
      return QString("/no/such/dir/x.log");
    });
    window_->SaveLog();
    QCOMPARE(prompt_->asked.size(), std::size_t{1});
    QVERIFY(prompt_->asked[0].text.find("/no/such/dir/x.log") != std::string::npos);
  }

  // A port and language given on the command line, or picked in the lists,
  // survive the reload on every Next into Settings; the upload uses them.
  void chosenPortAndLanguageSurviveTheReload() {
    backend_->packages["a.qxpkg"] = {};
    Touch("a.qxpkg");
    StartupOptions o;
    o.given = true;
    o.fileFlag = true;
    o.filePath = Path("a.qxpkg");
    o.portSet = true;
    o.port = "GPIB";
    o.languageSet = true;
    o.language = "german";
    o.advanced = true;
    OpenWith(o);
    auto* ports = Child<QComboBox>("cmbPorts");
    auto* languages = Child<QComboBox>("cmbFirmwareLanguage");
    for (int pass = 0; pass < 2; ++pass) {
      while (window_->CurrentStep() != 2) Click(NavButton::Back);
      Click(NavButton::Back);
      Click(NavButton::Next);
      QCOMPARE(window_->CurrentStep(), 2);
      QCOMPARE(ports->currentText(), QString("GPIB"));
      QCOMPARE(languages->currentText(), QString("GERMAN"));
      QCOMPARE(backend_->port, std::string("GPIB"));
      QCOMPARE(backend_->language, std::string("GERMAN"));
    }
    // The advanced summary is a list: each setting on its own line.
    QCOMPARE(Child<QLabel>("lblConfirm")->text(),
             QString("Please connect your instrument using a Serial Cable (null modem) to GPIB\n "
                     "\nCommunications Channel = GPIB"));
    ports->setCurrentText("COM2");
    Click(NavButton::Back);
    Click(NavButton::Next);
    QCOMPARE(backend_->port, std::string("COM2"));
    // A choice the new lists no longer offer falls back to the package's.
    backend_->ports = {"COM1"};
    Click(NavButton::Back);
    Click(NavButton::Next);
    QCOMPARE(ports->currentText(), QString("COM1"));
    QCOMPARE(backend_->port, std::string("COM1"));
  }

  void commandLineOpensThePackageAndAutostarts() {
    backend_->packages["a.qxpkg"] = {"", "", std::string("readme"), {}, true};
    Touch("a.qxpkg");
    Touch("other.qxpkg");
    backend_->packages["other.qxpkg"] = {};
    StartupOptions o;
    o.given = true;
    o.fileFlag = true;
    o.filePath = Path("a.qxpkg");
    o.autoStart = true;
    o.advanced = true;
    o.languageSet = true;
    o.language = "german";
    OpenWith(o);
    QCOMPARE(window_->CurrentStep(), 4);
    QCOMPARE(backend_->uploads, 1);
    QCOMPARE(backend_->language, std::string("german"));
    // The package named is the only one: the folder is not searched.
    QCOMPARE(Packages()->count(), 1);
    QVERIFY(!Child<QListWidget>("lstStep")->isHidden());
    QVERIFY(window_->AdvancedDisplay());
  }

  void commandLineErrorCancelEndsTheProgram() {
    StartupOptions o;
    o.given = true;
    o.errorCode = 14;
    o.errorText = "Invalid command line switch /XYZ";
    prompt_->answers = {PromptAnswer::Cancel};
    Make();
    QCOMPARE(window_->Open(o), StartupOutcome::ExitRequested);
    QCOMPARE(prompt_->asked[0].caption, std::string("Invalid Command Line Switch"));
    QCOMPARE(prompt_->asked[0].buttons, PromptButtons::OkCancel);
  }

  void commandLineErrorOkSearchesTheFolder() {
    backend_->packages["a.qxpkg"] = {};
    Touch("a.qxpkg");
    StartupOptions o;
    o.given = true;
    o.errorCode = 14;
    o.errorText = "Invalid command line switch /XYZ";
    o.fileFlag = true;  // a good package switch before the bad one is ignored too
    o.filePath = Path("a.qxpkg");
    OpenWith(o);
    QCOMPARE(window_->CurrentStep(), 0);
    QCOMPARE(Packages()->count(), 1);
  }
};

QTEST_MAIN(WizardGuiTest)
#include "wizard_gui_test.moc"
