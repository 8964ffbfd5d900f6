#include "wizard/ui/frm_wizard.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QShortcut>
#include <QSocketNotifier>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>
#include <filesystem>

#include "core/trace.h"
#include "package/qn_error.h"
#include "package/text_encoding.h"
#include "ports/devices/serial_devices.h"
#include "ports/kind/device_name.h"
#include "upload/failure_cause.h"
#include "upload/operation_texts.h"
#include "wizard/logic/resource_strings.h"
#include "wizard/ui/caption_loader.h"
#include "wizard/ui/help_window.h"
#include "wizard/ui/wizard_backend.h"

// Widgets are created with `new` and handed to their parent, which deletes
// them: that is how Qt owns a widget tree.

namespace pelvane::wizard {

namespace {

using package::PromptAnswer;
using package::PromptButtons;

constexpr const char* kConfigurationMember = "QXCONFIG.INI";
constexpr int kRowDataRole = Qt::UserRole;

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

// Texts inside packages were written on Windows: UTF-8 when they are valid
// UTF-8, else Windows-1252; CR LF ends a line.
QString PackageText(const std::string& bytes) {
  QString text = Q(package::ToUtf8(bytes));
  text.remove(QChar('\r'));
  return text;
}

std::string Trimmed(const QString& text) {
  return text.trimmed().toStdString();
}

QLabel* WrappedLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setWordWrap(true);
  return label;
}

// The Settings step's verify choice, kept between runs.
constexpr const char* kVerifySetting = "upload/verify";

QFrame* HorizontalLine(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

QString DefaultOpenChooser(QWidget* parent, const QString& caption, const QString& filter,
                           const QString& start) {
  return QFileDialog::getOpenFileName(parent, caption, start, filter);
}

QString DefaultSaveChooser(QWidget* parent, const QString& caption, const QString& filter,
                           const QString& start) {
  // The dialog asks before it lets an existing file be replaced.
  return QFileDialog::getSaveFileName(parent, caption, start, filter);
}

}  // namespace

frmWizard::frmWizard(WizardBackend& backend, package::QN_Prompt& prompt, QWidget* parent)
    : QDialog(parent),
      backend_(backend),
      prompt_(prompt),
      searchFolder_(QDir::currentPath()),
      frames_(DrawTransferFrames()) {
  openChooser_ = [this](const QString& c, const QString& f, const QString& s) {
    return DefaultOpenChooser(this, c, f, s);
  };
  saveChooser_ = [this](const QString& c, const QString& f, const QString& s) {
    return DefaultSaveChooser(this, c, f, s);
  };
  folderChooser_ = [this](const QString& c, const QString&, const QString& s) {
    return QFileDialog::getExistingDirectory(this, c, s);
  };
  setObjectName("frmWizard");
  // A wizard window of its own on the desktop, with minimise and close.
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  BuildUi();
  // Opening step 1: every frame out of view, texts from the numbered texts.
  for (QFrame* frame : fraStep_) frame->setEnabled(false);
  LoadCaptions(this);
  backend_.SetView(this);
  // An adapter plugged in or pulled while the wizard is open shows in the port list.
  if (deviceMonitor_.Descriptor() >= 0) {
    auto* notifier = new QSocketNotifier(deviceMonitor_.Descriptor(), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
      if (deviceMonitor_.TakeChanges() && deviceFolder_.isEmpty()) FillSerialDevices();
    });
  }
}

frmWizard::~frmWizard() {
  backend_.SetView(nullptr);
}

// ---------------------------------------------------------------- building

void frmWizard::BuildUi() {
  steps_ = new QStackedWidget(this);
  steps_->setObjectName("stkSteps");
  steps_->addWidget(BuildSelectStep());
  steps_->addWidget(BuildIntroductionStep());
  steps_->addWidget(BuildSettingsStep());
  steps_->addWidget(BuildUploadStep());
  steps_->addWidget(BuildFinishedStep());

  auto* nav = new QHBoxLayout;
  for (int i = 0; i < kNavButtonCount; ++i) {
    auto* button = new QPushButton(this);
    button->setObjectName(QString("cmdNav%1").arg(i));
    button->setProperty(kTagProperty, 100 + i);
    button->setAutoDefault(false);
    cmdNav_[static_cast<std::size_t>(i)] = button;
    connect(button, &QPushButton::clicked, this,
            [this, i] { PressNavigation(static_cast<NavButton>(i)); });
  }
  nav->addWidget(cmdNav_[0]);
  nav->addStretch(1);
  for (int i = 1; i < kNavButtonCount; ++i) nav->addWidget(cmdNav_[static_cast<std::size_t>(i)]);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(steps_, 1);
  layout->addWidget(HorizontalLine(this));
  layout->addLayout(nav);

  auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), this);
  connect(f1, &QShortcut::activated, this, [this] { PressNavigation(NavButton::Help); });

  resize(620, 480);
}

// Each frame: its title on top, a line, then its own controls.
static QVBoxLayout* StepLayout(QFrame* frame, QLabel* title) {
  auto* layout = new QVBoxLayout(frame);
  QFont font = title->font();
  font.setBold(true);
  font.setPointSizeF(font.pointSizeF() * 1.4);
  title->setFont(font);
  layout->addWidget(title);
  layout->addWidget(HorizontalLine(frame));
  return layout;
}

QVBoxLayout* frmWizard::NewStepFrame(int step) {
  const auto index = static_cast<std::size_t>(step);
  const QString number = QString::number(step);
  auto* frame = new QFrame(this);
  frame->setObjectName("fraStep" + number);
  frame->setProperty(kTagProperty, kStepTitleResource[index]);
  auto* title = new QLabel(frame);
  title->setObjectName("lblStep" + number);
  title->setProperty(kTagProperty, kStepTitleResource[index]);
  fraStep_[index] = frame;
  lblStep_[index] = title;
  return StepLayout(frame, title);
}

QFrame* frmWizard::BuildSelectStep() {
  QVBoxLayout* layout = NewStepFrame(0);
  QFrame* frame = fraStep_[0];

  layout->addWidget(WrappedLabel(
      "Please select the firmware from the list or click browse to select another firmware "
      "package",
      frame));
  auto* row = new QHBoxLayout;
  lstPackages_ = new QListWidget(frame);
  lstPackages_->setObjectName("lstPackages");
  row->addWidget(lstPackages_, 1);
  cmdBrowse_ = new QPushButton("&Browse ...", frame);
  cmdBrowse_->setObjectName("cmdBrowse");
  cmdBrowse_->setAutoDefault(false);
  auto* side = new QVBoxLayout;
  side->addWidget(cmdBrowse_);
  side->addStretch(1);
  row->addLayout(side);
  layout->addLayout(row, 1);

  lblNotes_ = WrappedLabel(QString(), frame);
  lblNotes_->setObjectName("lblNotes");
  lblNotes_->setFrameShape(QFrame::StyledPanel);
  lblNotes_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
  lblNotes_->setMinimumHeight(80);
  lblNotes_->setTextFormat(Qt::PlainText);
  layout->addWidget(lblNotes_);

  connect(lstPackages_, &QListWidget::currentRowChanged, this, [this] { OnPackageSelected(); });
  connect(cmdBrowse_, &QPushButton::clicked, this, [this] { BrowsePackage(); });
  return frame;
}

QFrame* frmWizard::BuildIntroductionStep() {
  QVBoxLayout* layout = NewStepFrame(1);
  QFrame* frame = fraStep_[1];
  txtReadme_ = new QPlainTextEdit(frame);
  txtReadme_->setObjectName("txtReadme");
  txtReadme_->setReadOnly(true);
  layout->addWidget(txtReadme_, 1);
  return frame;
}

QFrame* frmWizard::BuildSettingsStep() {
  QVBoxLayout* layout = NewStepFrame(2);
  QFrame* frame = fraStep_[2];

  AddConnectionChoices(frame, layout);
  AddOutputChoices(frame, layout);
  AddInstrumentCheck(frame, layout);
  layout->addSpacing(8);
  lblConfirm_ = WrappedLabel(QString(), frame);
  lblConfirm_->setObjectName("lblConfirm");
  lblConfirm_->setTextFormat(Qt::PlainText);
  lblConfirm_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
  lblConfirm_->setFrameShape(QFrame::StyledPanel);
  layout->addWidget(lblConfirm_, 1);
  return frame;
}

void frmWizard::AddConnectionChoices(QFrame* frame, QVBoxLayout* layout) {
  auto* portLabel = new QLabel("Communications &Port for firmware update:", frame);
  cmbPorts_ = new QComboBox(frame);
  cmbPorts_->setObjectName("cmbPorts");
  cmbPorts_->setEditable(true);
  cmbPorts_->setInsertPolicy(QComboBox::NoInsert);
  portLabel->setBuddy(cmbPorts_);
  lblPortDescription_ = new QLabel(frame);
  lblPortDescription_->setObjectName("lblPortDescription");
  auto* languageLabel = new QLabel("&Firmware Language:", frame);
  cmbFirmwareLanguage_ = new QComboBox(frame);
  cmbFirmwareLanguage_->setObjectName("cmbFirmwareLanguage");
  cmbFirmwareLanguage_->setEditable(true);
  cmbFirmwareLanguage_->setInsertPolicy(QComboBox::NoInsert);
  languageLabel->setBuddy(cmbFirmwareLanguage_);
  lblHelpLanguage_ = new QLabel("Instrument Online Help &Language:", frame);
  cmbHelpLanguage_ = new QComboBox(frame);
  cmbHelpLanguage_->setObjectName("cmbHelpLanguage");
  lblHelpLanguage_->setBuddy(cmbHelpLanguage_);
  // Shown only when there are help languages to choose from.
  lblHelpLanguage_->hide();
  cmbHelpLanguage_->hide();

  layout->addWidget(portLabel);
  layout->addWidget(cmbPorts_);
  layout->addWidget(lblPortDescription_);
  layout->addWidget(languageLabel);
  layout->addWidget(cmbFirmwareLanguage_);
  layout->addWidget(lblHelpLanguage_);
  layout->addWidget(cmbHelpLanguage_);
  connect(cmbPorts_, &QComboBox::activated, this, [this] { OnPortChosen(); });
  connect(cmbPorts_->lineEdit(), &QLineEdit::editingFinished, this, [this] { OnPortChosen(); });
  connect(cmbPorts_, &QComboBox::currentTextChanged, this, [this] { UpdatePortDescription(); });
  connect(cmbFirmwareLanguage_, &QComboBox::activated, this, [this] { OnLanguageChosen(); });
  connect(cmbFirmwareLanguage_->lineEdit(), &QLineEdit::editingFinished, this,
          [this] { OnLanguageChosen(); });
}

void frmWizard::AddOutputChoices(QFrame* frame, QVBoxLayout* layout) {
  // Read-back files of one instrument in a folder of their own, so that units
  // updated one after another do not ask to overwrite each other's calibration.
  auto* folderLabel = new QLabel("Folder for &read-back files (calibration):", frame);
  txtOutputFolder_ = new QLineEdit(frame);
  txtOutputFolder_->setObjectName("txtOutputFolder");
  txtOutputFolder_->setPlaceholderText("the current folder: " + QDir::currentPath());
  folderLabel->setBuddy(txtOutputFolder_);
  auto* cmdOutputFolder = new QPushButton("Bro&wse...", frame);
  cmdOutputFolder->setObjectName("cmdOutputFolder");
  auto* folderRow = new QHBoxLayout;
  folderRow->addWidget(txtOutputFolder_, 1);
  folderRow->addWidget(cmdOutputFolder);
  layout->addWidget(folderLabel);
  layout->addLayout(folderRow);
  // Off by default: reading back takes several times as long as programming.
  chkVerify_ = new QCheckBox("&Verify: read each programmed file back and compare it", frame);
  chkVerify_->setObjectName("chkVerify");
  chkVerify_->setChecked(QSettings().value(kVerifySetting, false).toBool());
  layout->addWidget(chkVerify_);
  connect(chkVerify_, &QCheckBox::toggled, this,
          [](bool on) { QSettings().setValue(kVerifySetting, on); });
  connect(cmdOutputFolder, &QPushButton::clicked, this, [this] {
    const QString start =
        txtOutputFolder_->text().isEmpty() ? QDir::currentPath() : txtOutputFolder_->text();
    const QString chosen = folderChooser_("Folder for read-back files", QString(), start);
    if (!chosen.isEmpty()) txtOutputFolder_->setText(chosen);
  });
}

void frmWizard::AddInstrumentCheck(QFrame* frame, QVBoxLayout* layout) {
  // A look at the instrument before (or instead of) updating it: nothing in
  // it is erased or programmed.
  auto* checkRow = new QHBoxLayout;
  cmdIdentify_ = new QPushButton("I&dentify", frame);
  cmdIdentify_->setObjectName("cmdIdentify");
  cmdIdentify_->setAutoDefault(false);
  cmdIdentify_->setToolTip(
      "Ask each flash memory of the package for its manufacturer and device "
      "code, then restart the instrument");
  cmdVerifyOnly_ = new QPushButton("Verify &Only", frame);
  cmdVerifyOnly_->setObjectName("cmdVerifyOnly");
  cmdVerifyOnly_->setAutoDefault(false);
  cmdVerifyOnly_->setToolTip(
      "Read back what the package programs and compare it, then restart "
      "the instrument");
  pboxCheck_ = new QProgressBar(frame);
  pboxCheck_->setObjectName("pboxCheck");
  pboxCheck_->setRange(0, 1);
  pboxCheck_->setValue(0);
  pboxCheck_->hide();
  checkRow->addWidget(cmdIdentify_);
  checkRow->addWidget(cmdVerifyOnly_);
  checkRow->addWidget(pboxCheck_, 1);
  layout->addLayout(checkRow);
  lblCheck_ = WrappedLabel(QString(), frame);
  lblCheck_->setObjectName("lblCheck");
  lblCheck_->setTextFormat(Qt::PlainText);
  lblCheck_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(lblCheck_);
  connect(cmdIdentify_, &QPushButton::clicked, this,
          [this] { RunCheck(upload::RunOperation::Identify); });
  connect(cmdVerifyOnly_, &QPushButton::clicked, this,
          [this] { RunCheck(upload::RunOperation::VerifyOnly); });
}

QFrame* frmWizard::BuildUploadStep() {
  QVBoxLayout* layout = NewStepFrame(3);
  QFrame* frame = fraStep_[3];

  auto* top = new QHBoxLayout;
  auto* bars = new QVBoxLayout;
  bars->addWidget(new QLabel("Entire Process:", frame));
  pboxEntireProcess_ = new QProgressBar(frame);
  pboxEntireProcess_->setObjectName("pboxEntireProcess");
  pboxEntireProcess_->setRange(0, 1);
  pboxEntireProcess_->setValue(0);
  bars->addWidget(pboxEntireProcess_);
  bars->addWidget(new QLabel("Current Action:", frame));
  lblActionText_ = new QLabel(frame);
  lblActionText_->setObjectName("lblActionText");
  bars->addWidget(lblActionText_);
  pboxStep_ = new QProgressBar(frame);
  pboxStep_->setObjectName("pboxStep");
  pboxStep_->setRange(0, 100);
  pboxStep_->setValue(0);
  bars->addWidget(pboxStep_);
  top->addLayout(bars, 1);
  imgStep3_ = new QLabel(frame);
  imgStep3_->setObjectName("imgStep3");
  imgStep3_->setPixmap(frames_[0]);
  top->addWidget(imgStep3_, 0, Qt::AlignTop);
  layout->addLayout(top);

  lstStep_ = new QListWidget(frame);
  lstStep_->setObjectName("lstStep");
  lstStep_->setVisible(false);
  layout->addWidget(lstStep_, 1);
  layout->addWidget(WrappedLabel(
      "The firmware is being transferred to your instrument, do not disconnect the "
      "communications cable or switch off the power to your instrument until this step is "
      "complete.",
      frame));
  layout->addStretch(0);
  return frame;
}

QFrame* frmWizard::BuildFinishedStep() {
  QVBoxLayout* layout = NewStepFrame(4);
  QFrame* frame = fraStep_[4];
  lblFinished_ = WrappedLabel(QString(), frame);
  lblFinished_->setObjectName("lblFinished");
  lblFinished_->setProperty(kTagProperty, res::kFinishedText);
  lblFinished_->setTextFormat(Qt::PlainText);
  lblFinished_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
  lblFinished_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(lblFinished_);
  lblHint_ = WrappedLabel(QString(), frame);
  lblHint_->setObjectName("lblHint");
  lblHint_->setTextFormat(Qt::PlainText);
  lblHint_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
  lblHint_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  lblHint_->hide();
  layout->addWidget(lblHint_);
  // The free space stays below the texts whether the hint shows or not;
  // without it a successful run spread the title and its rule down the page.
  layout->addStretch(1);
  auto* row = new QHBoxLayout;
  cmdSaveLog_ = new QPushButton("Save Log...", frame);
  cmdSaveLog_->setObjectName("cmdSaveLog");
  cmdSaveLog_->setAutoDefault(false);
  row->addWidget(cmdSaveLog_);
  lblRunLog_ = new QLabel(frame);
  lblRunLog_->setObjectName("lblRunLog");
  lblRunLog_->setTextFormat(Qt::PlainText);
  lblRunLog_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  lblRunLog_->setWordWrap(true);
  row->addWidget(lblRunLog_, 1);
  layout->addLayout(row);
  connect(cmdSaveLog_, &QPushButton::clicked, this, [this] { SaveLog(); });
  return frame;
}

// ---------------------------------------------------------------- opening

StartupOutcome frmWizard::Open(const StartupOptions& options) {
  backend_.UploadWizard_Running();
  return ApplyCommandLine(options, *this);
}

// ---------------------------------------------------------------- steps

void frmWizard::ShowStep(int step, Direction direction) {
  if (step < 0 || step >= kStepCount) return;
  if (step == kStepFinished) finishFlag_ = true;

  fraStep_[static_cast<std::size_t>(currentStep_)]->setEnabled(false);
  steps_->setCurrentIndex(step);
  fraStep_[static_cast<std::size_t>(step)]->setEnabled(true);
  setWindowTitle(Q(WindowCaption(ProgramVersion(), step)));
  currentStep_ = step;
  ApplyNavigation();

  switch (step) {
    case kStepSelect:
      if (direction != Direction::Back && !packageFromCommandLine_) SearchFolderForPackages();
      break;
    case kStepIntroduction:
      if (!backend_.DisplayReadMe())
        ShowStep(direction == Direction::Next ? kStepSettings : kStepSelect,
                 direction == Direction::Next ? Direction::Next : Direction::Back);
      break;
    case kStepSettings:
      if (direction == Direction::Next) {
        if (!LoadConfiguration()) {
          Ask(ConfigurationErrorText(LoadError()), kApplicationTitle, PromptButtons::Ok);
          ShowStep(kStepSelect, Direction::Back);
          return;
        }
        backend_.DisplayConfiguration();
      }
      break;
    case kStepUpload:
      if (direction == Direction::Back) finishFlag_ = false;
      if (direction == Direction::Next) RunUploadStep();
      break;
    default:
      break;
  }
}

void frmWizard::ApplyNavigation() {
  const NavigationState state = NavigationFor(currentStep_, finishFlag_);
  auto button = [this](NavButton b) { return cmdNav_[static_cast<std::size_t>(b)]; };
  button(NavButton::Next)->setText(Q(state.nextCaption));
  // While a run lasts, Back and Next belong to the controller: a step change
  // then could start a second run inside the first.
  button(NavButton::Back)->setEnabled(state.backEnabled && !uploadRunning_);
  button(NavButton::Next)->setEnabled(state.nextEnabled && !uploadRunning_);
  button(NavButton::Exit)->setEnabled(state.exitEnabled);
  button(NavButton::Help)->setEnabled(true);
  button(NavButton::Cancel)->setEnabled(true);
  cmdSaveLog_->setEnabled(!actions_.Empty());
  if (state.exitEnabled) button(NavButton::Exit)->setFocus();
}

void frmWizard::PressNavigation(NavButton button) {
  switch (button) {
    case NavButton::Help:
      OnHelp();
      break;
    case NavButton::Cancel:
      OnCancel();
      break;
    case NavButton::Back:
      if (uploadRunning_) return;
      ShowStep(currentStep_ - 1, Direction::Back);
      break;
    case NavButton::Next:
      if (uploadRunning_) return;
      OnNext();
      break;
    case NavButton::Exit:
      OnExit();
      break;
  }
}

void frmWizard::OnHelp() {
  if (help_ == nullptr) help_ = new HelpWindow(this);
  help_->ShowContext(HelpContextFor(currentStep_));
  helpShown_ = true;
}

void frmWizard::OnCancel() {
  // A check ends where it started, on the Settings step.
  if (checkRunning_) {
    backend_.Cancel();
    return;
  }
  // After a run has ended there is nothing left to cancel: the run's own
  // result stays on the Finished step, and Cancel only closes the wizard.
  if (currentStep_ == kStepFinished && finishedRun_) {
    close();
    return;
  }
  backend_.Cancel();
  QCoreApplication::processEvents();
  ShowStep(kStepFinished, Direction::Next);
}

void frmWizard::OnNext() {
  if (currentStep_ == kStepSelect && lstPackages_->count() == 0) {
    Ask("Please select a Firmware Package to upload", kApplicationTitle, PromptButtons::Ok);
    return;
  }
  if (currentStep_ == kStepSettings) SyncListsToController();
  ShowStep(currentStep_ + 1, Direction::Next);
}

void frmWizard::OnExit() {
  close();
}

// Escape would otherwise close the wizard (and with it cancel a running
// upload) on a stray key press; the buttons and the window frame are the ways out.
void frmWizard::reject() {}

void frmWizard::closeEvent(QCloseEvent* event) {
  if (uploadRunning_) {
    // The run is on the stack below this event: end it first, close after.
    closeAfterUpload_ = true;
    backend_.Cancel();
    event->ignore();
    return;
  }
  if (helpShown_ && help_ != nullptr) help_->close();
  event->accept();
}

// ---------------------------------------------------------------- packages

void frmWizard::SearchFolderForPackages() {
  QDir folder(searchFolder_);
  QStringList names = folder.entryList(QStringList{"*.qxpkg"}, QDir::Files | QDir::Readable,
                                       QDir::Name | QDir::IgnoreCase);
  for (const QString& name : names) {
    // Entry lists match case-insensitively here, but say so for other platforms.
    if (!name.endsWith(".qxpkg", Qt::CaseInsensitive)) continue;
    TryAddPackage(folder.filePath(name).toStdString());
  }
}

bool frmWizard::TryAddPackage(const std::string& path) {
  if (!backend_.IsPackage(path)) return false;
  std::string name = backend_.ArchiveComment(path);
  if (name.empty()) name = path;
  auto* item = new QListWidgetItem(PackageText(name));
  item->setData(kRowDataRole, static_cast<int>(packagePaths_.size()));
  item->setToolTip(Q(path));
  packagePaths_.push_back(path);
  lstPackages_->addItem(item);
  lstPackages_->setCurrentItem(item);
  // A second entry with the same row as before gets no change signal.
  OnPackageSelected();
  return true;
}

void frmWizard::AddPackage(const std::string& path) {
  if (TryAddPackage(path)) packageFromCommandLine_ = true;
}

void frmWizard::BrowsePackage() {
  const QString path = openChooser_(
      "Open Firmware Package", "Firmware Packages (*.QXPKG *.qxpkg);;All Files (*)", searchFolder_);
  if (path.isEmpty()) return;
  if (!TryAddPackage(path.toStdString()))
    Ask("File is not a valid Firmware Package", kApplicationTitle, PromptButtons::Ok);
}

const std::string* frmWizard::SelectedPackage() const {
  const QListWidgetItem* item = lstPackages_->currentItem();
  if (item == nullptr) return nullptr;
  const auto index = static_cast<std::size_t>(item->data(kRowDataRole).toInt());
  return index < packagePaths_.size() ? &packagePaths_[index] : nullptr;
}

void frmWizard::OnPackageSelected() {
  const std::string* path = SelectedPackage();
  if (path == nullptr) return;
  backend_.PackagePath(*path);
  lblNotes_->setText(PackageText(backend_.PackageNotes(*path)));
}

// ---------------------------------------------------------------- settings

std::string frmWizard::LoadError() const {
  return backend_.GetLastErrorString();
}

bool frmWizard::LoadConfiguration() {
  backend_.Filename(kConfigurationMember);
  if (backend_.GetLastError() != package::kErrOk) return false;
  FillListsFromConfiguration();
  return true;
}

void frmWizard::FillListsFromConfiguration() {
  // What was chosen before (on the command line or in the lists) survives the
  // reload while the new lists still offer it; the reload itself has set the
  // controller back to the package's defaults.
  const std::string chosenPort = Trimmed(cmbPorts_->currentText());
  const std::string chosenLanguage = Trimmed(cmbFirmwareLanguage_->currentText());
  {
    const QSignalBlocker blockPorts(cmbPorts_);
    const QSignalBlocker blockLanguages(cmbFirmwareLanguage_);
    cmbPorts_->clear();
    portDescriptions_.clear();
    for (const std::string& port : backend_.Ports()) cmbPorts_->addItem(Q(port));
    cmbPorts_->setCurrentText(Q(backend_.DefaultPort()));
    FillSerialDevices();
    // A device path given on the command line stays offered while it exists.
    const QString wantedPort = Q(ports::CanonicalPortName(chosenPort));
    const Qt::MatchFlags exactly = Qt::MatchExactly | Qt::MatchCaseSensitive;
    if (cmbPorts_->findText(wantedPort, exactly) < 0 && ports::DevicePresent(chosenPort))
      cmbPorts_->addItem(wantedPort);
    // Names as the lists spell them ("com1" is COM1), Linux paths exactly.
    if (const int at = cmbPorts_->findText(wantedPort, exactly); at >= 0)
      cmbPorts_->setCurrentIndex(at);
    cmbFirmwareLanguage_->clear();
    for (const std::string& language : backend_.FirmwareLanguages())
      cmbFirmwareLanguage_->addItem(Q(language));
    cmbFirmwareLanguage_->setCurrentText(Q(backend_.DefaultFirmwareLanguage()));
    if (const int at = cmbFirmwareLanguage_->findText(Q(chosenLanguage), Qt::MatchFixedString);
        at >= 0)
      cmbFirmwareLanguage_->setCurrentIndex(at);
  }
  SyncListsToController();
  UpdatePortDescription();
}

void frmWizard::FillSerialDevices() {
  // After the package's own ports, the serial devices of this machine; the
  // port shown stays what it was.
  const std::vector<std::string> ports = backend_.Ports();
  const QString shown = cmbPorts_->currentText();
  const QSignalBlocker blockPorts(cmbPorts_);
  while (cmbPorts_->count() > static_cast<int>(ports.size()))
    cmbPorts_->removeItem(cmbPorts_->count() - 1);
  portDescriptions_.clear();
  // A COM name of the package opens a device of another name here (COM1 is
  // /dev/ttyS0 on Linux): the technician sees which one.
  for (std::size_t i = 0; i < ports.size(); ++i) {
    const std::string device = ports::DeviceOfPort(ports[i]);
    if (device.empty() || ports::IsDevicePath(ports[i])) continue;
    const std::string note = ports[i] + " is the serial port " + device + " of this computer";
    cmbPorts_->setItemData(static_cast<int>(i), Q(note), Qt::ToolTipRole);
    portDescriptions_[ports[i]] = note;
  }
  const std::vector<ports::SerialDevice> devices =
      deviceFolder_.isEmpty() ? ports::ListSerialDevices().devices
                              : ports::FindSerialDevices(deviceFolder_.toStdString());
  for (const ports::SerialDevice& device : devices) {
    if (std::find(ports.begin(), ports.end(), device.path) != ports.end()) continue;
    // Names from udev and by-id links may hold anything; the list shows them
    // with their control characters escaped.
    const std::string shownPath = ports::PrintableText(device.path);
    cmbPorts_->addItem(Q(shownPath));
    cmbPorts_->setItemData(cmbPorts_->count() - 1, Q(ports::PortNote(device)), Qt::ToolTipRole);
    portDescriptions_[shownPath] = ports::PortNote(device);
  }
  cmbPorts_->setCurrentText(shown);
  UpdatePortDescription();
}

void frmWizard::UpdatePortDescription() {
  auto it = portDescriptions_.find(Trimmed(cmbPorts_->currentText()));
  lblPortDescription_->setText(it == portDescriptions_.end() ? QString() : Q(it->second));
}

void frmWizard::OnPortChosen() {
  const std::string port = Trimmed(cmbPorts_->currentText());
  if (port != backend_.ComPort()) backend_.ComPort(port);
}

void frmWizard::OnLanguageChosen() {
  const std::string language = Trimmed(cmbFirmwareLanguage_->currentText());
  if (language != backend_.FirmwareLanguage()) backend_.FirmwareLanguage(language);
}

void frmWizard::SyncListsToController() {
  // Text typed into a list counts as chosen, so that the run uses what the
  // window shows.
  OnPortChosen();
  OnLanguageChosen();
  backend_.OutputFolder(Trimmed(txtOutputFolder_->text()));
  backend_.Verify(chkVerify_->isChecked());
}

std::vector<std::string> frmWizard::PortEntries() const {
  std::vector<std::string> entries;
  for (int i = 0; i < cmbPorts_->count(); ++i)
    entries.push_back(cmbPorts_->itemText(i).toStdString());
  return entries;
}

std::vector<std::string> frmWizard::LanguageEntries() const {
  std::vector<std::string> entries;
  for (int i = 0; i < cmbFirmwareLanguage_->count(); ++i)
    entries.push_back(cmbFirmwareLanguage_->itemText(i).toStdString());
  return entries;
}

void frmWizard::SelectPort(const std::string& text) {
  cmbPorts_->setCurrentText(Q(text));
  OnPortChosen();
}

void frmWizard::SelectLanguage(const std::string& text) {
  cmbFirmwareLanguage_->setCurrentText(Q(text));
  OnLanguageChosen();
}

void frmWizard::AddPortEntry(const std::string& path) {
  cmbPorts_->addItem(Q(path));
}

void frmWizard::DisplayConfiguration() {
  backend_.DisplayConfiguration();
}

void frmWizard::SetAdvancedDisplay(bool on) {
  advancedDisplay_ = on;
  lstStep_->setVisible(on);
}

PromptAnswer frmWizard::Ask(const std::string& text, const std::string& caption,
                            PromptButtons buttons) {
  return prompt_.Ask(text, caption, buttons);
}

// ---------------------------------------------------------------- upload

void frmWizard::RunUploadStep() {
  std::optional<std::string> finalText;
  if (const std::string* path = SelectedPackage()) finalText = backend_.FinalText(*path);

  // Each run's lines are the record of one instrument: Save Log must not hand
  // in the lines of the unit updated before it, and a wizard left open for a
  // day of updates must not keep them all.
  actions_.Clear();
  lstStep_->clear();
  uploadRunning_ = true;
  ApplyNavigation();
  lblStep_[4]->setText(Q(LoadResString(kStepTitleResource[4])));
  lblActionText_->clear();
  pboxStep_->setValue(0);
  pboxEntireProcess_->setValue(0);
  QCoreApplication::processEvents();

  // Every run leaves its trace, so that a failure can be diagnosed after the
  // window is closed; a run goes on without one when no log can be written.
  std::string logError;
  std::filesystem::path runLog;
  if (const std::filesystem::path folder = RunLogFolder(); !folder.empty())
    runLog = NextRunLog(folder, std::chrono::system_clock::now(), kRunLogsKept, kRunLogsBytes,
                        &logError);
  if (!runLog.empty() &&
      !core::trace::Start(core::Utf8FromPath(runLog), &logError, core::Access::kPrivate))
    runLog.clear();
  lblRunLog_->setText(runLog.empty() ? QString()
                                     : Q("Trace of this run: " + core::Utf8FromPath(runLog)));

  bool ok = false;
  std::string failure;
  finishedRun_ = false;
  try {
    ok = backend_.Upload();
  } catch (const std::exception& error) {
    // A lower layer that fails with a status lets it travel up unhandled; in
    // the window it becomes a failed run instead of the end of the program.
    failure = error.what();
  }
  finishedRun_ = true;
  core::trace::Note("outcome", ok                ? "OK"
                               : failure.empty() ? backend_.GetLastErrorString()
                                                 : failure);
  // A trace the disk could not take is not offered as if it were there.
  // Another wizard started in the same second keeps its log.
  if (const core::WholeWrite trace = core::trace::Stop(core::Overwrite::kNever); !trace.ok)
    lblRunLog_->setText(Q("The trace of this run could not be written: " + trace.error));
  else if (!trace.written.empty())
    lblRunLog_->setText(Q("Trace of this run: " + trace.written));

  uploadRunning_ = false;
  std::string hint;
  if (failure.empty()) {
    lblFinished_->setText(PackageText(ResultText(ok, finalText)));
    if (!ok) hint = backend_.FailureHint();
  } else {
    if (currentStep_ != kStepFinished) ShowStep(kStepFinished, Direction::Next);
    lblFinished_->setText(Q("The Firmware Upload process failed.\n\n" + failure));
    hint = upload::CauseHint(upload::FailureCause::Internal, {});
  }
  // The same advice as the command-line runner gives for the same failure.
  lblHint_->setText(hint.empty() ? QString() : Q("Hint: " + hint));
  lblHint_->setVisible(!hint.empty());
  ApplyNavigation();
  if (closeAfterUpload_) close();
}

void frmWizard::RunCheck(upload::RunOperation operation) {
  if (uploadRunning_) return;
  SyncListsToController();
  actions_.Clear();
  lstStep_->clear();
  uploadRunning_ = true;
  checkRunning_ = true;
  cmdIdentify_->setEnabled(false);
  cmdVerifyOnly_->setEnabled(false);
  ApplyNavigation();
  lblCheck_->setText(operation == upload::RunOperation::Identify
                         ? "Identifying the instrument..."
                         : "Comparing the instrument with the package...");
  pboxCheck_->setValue(0);
  pboxCheck_->show();
  bool ok = false;
  std::string failure;
  try {
    ok = backend_.Check(operation);
  } catch (const std::exception& error) {
    failure = error.what();
  }
  uploadRunning_ = false;
  checkRunning_ = false;
  pboxCheck_->hide();
  cmdIdentify_->setEnabled(true);
  cmdVerifyOnly_->setEnabled(true);
  // The same texts as the command-line runner's: what was found, or why not.
  std::string text;
  const std::vector<std::string> found =
      failure.empty() ? backend_.CheckOutcome() : std::vector<std::string>{};
  if (ok || (operation == upload::RunOperation::VerifyOnly && !found.empty())) {
    for (const std::string& line : found) text += (text.empty() ? "" : "\n") + line;
  } else {
    text = std::string(upload::TextsOf(operation).failed) + "\n" +
           (failure.empty() ? backend_.GetLastErrorString() : failure);
    if (const std::string hint = failure.empty() ? backend_.FailureHint() : ""; !hint.empty())
      text += "\nHint: " + hint;
  }
  lblCheck_->setText(PackageText(text));
  ApplyNavigation();
  if (closeAfterUpload_) close();
}

std::string frmWizard::ResultText(bool ok, const std::optional<std::string>& finalText) const {
  if (backend_.TransferOnly())
    return ok ? "The Transfer Program has been uploaded successfully to your instrument."
              : "The Transfer Program Upload process failed.";
  if (!ok) return "The Firmware Upload process failed.\n\n" + backend_.GetLastErrorString();
  if (finalText) return *finalText;
  return std::string("The Firmware has been uploaded successfully to your instrument.\n\n") +
         (backend_.RestartInstrument()
              ? "Your instrument has been restarted please run the calibration routines."
              : "Please restart your instrument and run the calibration routines.");
}

void frmWizard::SaveLog() {
  const QString suggested =
      QDir(searchFolder_)
          .filePath(QDateTime::currentDateTime().toString("'pelvane-'yyyyMMdd-HHmmss'.log'"));
  const QString path =
      saveChooser_("Save Log", "Log Files (*.log *.txt);;All Files (*)", suggested);
  if (path.isEmpty()) return;
  std::string error;
  if (!actions_.Save(path.toStdString(), &error)) Ask(error, kApplicationTitle, PromptButtons::Ok);
}

// ---------------------------------------------------------------- the view

void frmWizard::ShowWizard() {
  show();
}

void frmWizard::ShowAction(const std::string& text) {
  actions_.Add(text);
  cmdSaveLog_->setEnabled(true);
  lstStep_->addItem(Q(text));
  lstStep_->scrollToBottom();
}

void frmWizard::ShowCancellation(const std::string& text) {
  lblStep_[4]->setText(Q(text));
}

void frmWizard::ShowStepProgress(const std::string& text, int percent) {
  lblActionText_->setText(Q(text));
  pboxStep_->setValue(std::clamp(percent, 0, 100));
}

void frmWizard::ShowOverallProgress(std::int32_t value, std::int32_t weight) {
  if (weight <= 0) return;
  if (checkRunning_) {
    pboxCheck_->setRange(0, weight);
    pboxCheck_->setValue(std::clamp(value, 0, weight));
    return;
  }
  pboxEntireProcess_->setRange(0, weight);
  pboxEntireProcess_->setValue(std::clamp(value, 0, weight));
}

void frmWizard::ShowAnimationFrame(int frame) {
  if (frame < 0 || frame >= upload::kAnimationFrames) return;
  imgStep3_->setPixmap(frames_[static_cast<std::size_t>(frame)]);
}

void frmWizard::EnableNavigation(bool enabled) {
  cmdNav_[static_cast<std::size_t>(NavButton::Back)]->setEnabled(enabled);
  cmdNav_[static_cast<std::size_t>(NavButton::Next)]->setEnabled(enabled);
}

void frmWizard::ShowResult() {
  // The controller moves on from inside its run to show the result step.
  ShowStep(currentStep_ + 1, Direction::Next);
}

void frmWizard::ShowReadMe(const std::string& text) {
  txtReadme_->setPlainText(PackageText(text));
}

void frmWizard::ClearSummary() {
  lblConfirm_->clear();
}

void frmWizard::AppendSummary(const std::string& piece) {
  // One piece a line: the advanced summary is a list of settings, and the
  // plain text is a single piece.
  const QString shown = lblConfirm_->text();
  lblConfirm_->setText(shown.isEmpty() ? Q(piece) : shown + "\n" + Q(piece));
}

}  // namespace pelvane::wizard
