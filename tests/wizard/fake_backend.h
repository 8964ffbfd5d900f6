// A wizard backend for the screen tests: packages are names in a table, and
// the controller's operations write into the view the way the real one does.
#pragma once

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "package/prompt.h"
#include "wizard/ui/wizard_backend.h"

namespace pelvane::wizard::test {

struct FakePackage {
  std::string comment;
  std::string notes;
  std::optional<std::string> readme;
  std::optional<std::string> finalText;
  bool loads = true;
};

class FakeBackend : public WizardBackend {
 public:
  std::map<std::string, FakePackage> packages;  // by file name (without folder)
  std::vector<std::string> calls;
  int isPackageCalls = 0;
  int uploads = 0;
  upload::QN_UploadView* view = nullptr;
  std::string packagePath;
  std::string port;
  std::string language;
  std::string outputFolder = "(not set)";
  bool verify = false;
  std::int32_t error = 0;
  std::string errorText;
  bool restart = false;
  bool transferOnly = false;
  bool cancelled = false;
  std::string hint = "check the cable";  // after a failure
  // What a run does; by default a successful one that presses Next itself.
  std::function<bool()> upload;
  // What a check does, and what it found; by default it goes through.
  std::function<bool(upload::RunOperation)> check = [](upload::RunOperation) { return true; };
  std::vector<std::string> checked;  // the operations, by name
  std::vector<std::string> found{"Memory at H400000: Manufacturer H1, Device HA4"};
  std::vector<std::string> ports{"COM1", "COM2", "GPIB"};
  std::vector<std::string> languages{"ENGLISH", "GERMAN"};

  FakeBackend() {
    upload = [this] {
      view->EnableNavigation(false);
      view->ShowAction("UPLOAD FIRMWARE STARTED");
      view->ShowOverallProgress(50, 100);
      view->ShowAnimationFrame(1);
      view->ShowAction("Firmware Upload Process completed in 0 Minutes 1 Seconds");
      view->EnableNavigation(true);
      view->ShowResult();
      return true;
    };
  }

  static std::string Base(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
  }
  const FakePackage* Find(const std::string& path) const {
    auto it = packages.find(Base(path));
    return it == packages.end() ? nullptr : &it->second;
  }

  bool IsPackage(const std::string& path) override {
    ++isPackageCalls;
    return Find(path) != nullptr;
  }
  std::string ArchiveComment(const std::string& path) override {
    return Find(path) ? Find(path)->comment : "";
  }
  std::string PackageNotes(const std::string& path) override {
    return Find(path) ? Find(path)->notes : "";
  }
  std::optional<std::string> FinalText(const std::string& path) override {
    return Find(path) ? Find(path)->finalText : std::nullopt;
  }

  void SetView(upload::QN_UploadView* v) override { view = v; }
  bool UploadWizard_Running() override {
    calls.push_back("running");
    view->ShowWizard();
    return true;
  }
  void PackagePath(const std::string& path) override { packagePath = path; }
  void Filename(const std::string& member) override {
    calls.push_back("load " + member);
    const FakePackage* p = Find(packagePath);
    error = (p && p->loads) ? 0 : 1;
    if (error == 0) {
      port = ports.front();
      language = languages.front();
    }
  }
  void DisplayConfiguration() override {
    calls.push_back("summary");
    view->ClearSummary();
    view->AppendSummary("Please connect your instrument using a Serial Cable (null modem) to " +
                        port);
    // The advanced summary's settings, one piece each.
    if (view->AdvancedDisplay()) {
      view->AppendSummary(" ");
      view->AppendSummary("Communications Channel = " + port);
    }
  }
  bool DisplayReadMe() override {
    calls.push_back("readme");
    view->ShowReadMe("");
    const FakePackage* p = Find(packagePath);
    if (!p || !p->readme) return false;
    view->ShowReadMe(*p->readme);
    return true;
  }
  void ComPort(const std::string& p) override {
    calls.push_back("port " + p);
    port = p;
    DisplayConfiguration();
  }
  std::string ComPort() const override { return port; }
  void FirmwareLanguage(const std::string& l) override {
    calls.push_back("language " + l);
    language = l;
  }
  std::string FirmwareLanguage() const override { return language; }
  void OutputFolder(const std::string& folder) override { outputFolder = folder; }
  void Verify(bool on) override { verify = on; }
  bool Upload() override {
    ++uploads;
    cancelled = false;
    return upload();
  }
  bool Check(upload::RunOperation operation) override {
    checked.emplace_back(upload::OperationName(operation));
    view->EnableNavigation(false);
    view->ShowOverallProgress(1, 2);
    const bool ok = check(operation);
    view->EnableNavigation(true);
    return ok;
  }
  std::vector<std::string> CheckOutcome() const override { return found; }
  void Cancel() override {
    calls.push_back("cancel");
    cancelled = true;
    error = 11;
    errorText = "";
    view->ShowCancellation("Firmware Upload Cancelled");
  }
  bool RestartInstrument() const override { return restart; }
  bool TransferOnly() const override { return transferOnly; }
  std::int32_t GetLastError() const override { return error; }
  std::string GetLastErrorString() const override {
    return (error == 11 ? "Process Cancelled by User" : error == 0 ? "OK" : "Error") + errorText;
  }
  std::string FailureHint() const override { return error == 0 ? "" : hint; }
  std::vector<std::string> Ports() const override { return ports; }
  std::string DefaultPort() const override { return ports.front(); }
  std::vector<std::string> FirmwareLanguages() const override { return languages; }
  std::string DefaultFirmwareLanguage() const override { return languages.front(); }

  // A run that waits, as the real one does, by turning the event loop until
  // it is cancelled (or a safety limit passes, so a fault cannot hang a test).
  bool WaitUntilCancelled() {
    view->EnableNavigation(false);
    view->ShowAction("UPLOAD FIRMWARE STARTED");
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
      if (cancelled) loop.quit();
    });
    poll.start(5);
    QTimer::singleShot(3000, &loop, &QEventLoop::quit);
    loop.exec();
    view->ShowAction("Firmware Upload Process completed in 0 Minutes 0 Seconds");
    return false;
  }
};

class FakePrompt : public package::QN_Prompt {
 public:
  struct Question {
    std::string text;
    std::string caption;
    package::PromptButtons buttons;
  };
  std::vector<Question> asked;
  std::vector<package::PromptAnswer> answers;  // used front to back; Ok when none left

  package::PromptAnswer Ask(const std::string& text, const std::string& caption,
                            package::PromptButtons buttons) override {
    asked.push_back({text, caption, buttons});
    if (answers.empty()) return package::PromptAnswer::Ok;
    package::PromptAnswer a = answers.front();
    answers.erase(answers.begin());
    return a;
  }
};

}  // namespace pelvane::wizard::test
