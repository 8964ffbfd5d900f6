#include "wizard/logic/startup.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace pelvane::wizard {
namespace {

using package::PromptAnswer;
using package::PromptButtons;

// Records what start-up does to the window, and answers its questions from a
// script.
class FakeHost : public StartupHost {
 public:
  std::vector<std::string> calls;
  std::deque<PromptAnswer> answers;
  bool loadOk = true;
  std::vector<std::string> ports{"COM1", "COM2", "GPIB"};
  std::vector<std::string> languages{"ENGLISH", "GERMAN"};

  PromptAnswer Ask(const std::string& text, const std::string& caption,
                   PromptButtons buttons) override {
    calls.push_back("ask[" + caption + "|" +
                    (buttons == PromptButtons::OkCancel ? "okcancel" : "?") + "] " + text);
    PromptAnswer a = answers.empty() ? PromptAnswer::Ok : answers.front();
    if (!answers.empty()) answers.pop_front();
    return a;
  }
  void SetAdvancedDisplay(bool on) override { calls.push_back(on ? "advanced" : "simple"); }
  void AddPackage(const std::string& path) override { calls.push_back("add " + path); }
  bool LoadConfiguration() override {
    calls.push_back("load");
    return loadOk;
  }
  std::string LoadError() const override { return loadOk ? "" : "\nKey Not Found BAUD"; }
  std::vector<std::string> PortEntries() const override { return ports; }
  std::vector<std::string> LanguageEntries() const override { return languages; }
  void SelectPort(const std::string& text) override { calls.push_back("port " + text); }
  void SelectLanguage(const std::string& text) override { calls.push_back("language " + text); }
  void AddPortEntry(const std::string& path) override {
    ports.push_back(path);
    calls.push_back("port entry " + path);
  }
  void DisplayConfiguration() override { calls.push_back("summary"); }
  void ShowStep(int step, Direction direction) override {
    calls.push_back("step " + std::to_string(step) + "/" +
                    std::to_string(static_cast<int>(direction)));
  }
};

StartupOptions WithPackage() {
  StartupOptions o;
  o.given = true;
  o.fileFlag = true;
  o.filePath = "/pkgs/a.qxpkg";
  return o;
}

using Calls = std::vector<std::string>;

TEST(Startup, NoArgumentsOpensTheSelectionStep) {
  FakeHost host;
  EXPECT_EQ(ApplyCommandLine({}, host), StartupOutcome::Running);
  EXPECT_EQ(host.calls, Calls{"step 0/0"});
}

TEST(Startup, BadSwitchAsksAndOkIgnoresEverySwitch) {
  StartupOptions o = WithPackage();
  o.autoStart = true;
  o.advanced = true;
  o.errorCode = 14;
  o.errorText = "Invalid command line switch /ABC";
  FakeHost host;
  EXPECT_EQ(ApplyCommandLine(o, host), StartupOutcome::Running);
  EXPECT_EQ(host.calls, (Calls{"ask[Invalid Command Line Switch|okcancel] Invalid command line "
                               "switch /ABC",
                               "step 0/0"}));
}

TEST(Startup, BadSwitchCancelEndsAtOnce) {
  StartupOptions o;
  o.given = true;
  o.errorCode = 14;
  o.errorText = "Invalid command line switch /autostart";
  FakeHost host;
  host.answers = {PromptAnswer::Cancel};
  EXPECT_EQ(ApplyCommandLine(o, host), StartupOutcome::ExitRequested);
  EXPECT_EQ(host.calls.size(), 1u);
}

TEST(Startup, AutostartWithoutPackageStartsNothing) {
  StartupOptions o;
  o.given = true;
  o.autoStart = true;
  o.portSet = true;
  o.port = "COM2";
  FakeHost host;
  ApplyCommandLine(o, host);
  EXPECT_EQ(host.calls, Calls{"step 0/0"});
}

TEST(Startup, AdvancedDisplayIsAppliedEvenWithoutPackage) {
  StartupOptions o;
  o.given = true;
  o.advanced = true;
  FakeHost host;
  ApplyCommandLine(o, host);
  EXPECT_EQ(host.calls, (Calls{"advanced", "step 0/0"}));
}

TEST(Startup, PackageOpensTheIntroduction) {
  FakeHost host;
  ApplyCommandLine(WithPackage(), host);
  EXPECT_EQ(host.calls, (Calls{"add /pkgs/a.qxpkg", "load", "step 1/2"}));
}

TEST(Startup, PackageWithAutostartWritesTheSummaryAndUploads) {
  StartupOptions o = WithPackage();
  o.autoStart = true;
  FakeHost host;
  ApplyCommandLine(o, host);
  EXPECT_EQ(host.calls, (Calls{"add /pkgs/a.qxpkg", "load", "summary", "step 3/2"}));
}

TEST(Startup, ConfigurationErrorOkShowsSelectionCancelEnds) {
  FakeHost ok;
  ok.loadOk = false;
  EXPECT_EQ(ApplyCommandLine(WithPackage(), ok), StartupOutcome::Running);
  EXPECT_EQ(ok.calls,
            (Calls{"add /pkgs/a.qxpkg", "load",
                   "ask[Pelvane|okcancel] Error Occurred reading configuration file\n\nKey Not "
                   "Found BAUD",
                   "step 0/0"}));
  FakeHost cancel;
  cancel.loadOk = false;
  cancel.answers = {PromptAnswer::Cancel};
  EXPECT_EQ(ApplyCommandLine(WithPackage(), cancel), StartupOutcome::ExitRequested);
  EXPECT_EQ(
      cancel.calls.back(),
      "ask[Pelvane|okcancel] Error Occurred reading configuration file\n\nKey Not Found BAUD");
}

TEST(Startup, LanguageAndPortMatchUpperCasedAndKeepTheTextAsGiven) {
  StartupOptions o = WithPackage();
  o.languageSet = true;
  o.language = "German";
  o.portSet = true;
  o.port = "com2";
  FakeHost host;
  ApplyCommandLine(o, host);
  EXPECT_EQ(host.calls,
            (Calls{"add /pkgs/a.qxpkg", "load", "language German", "port com2", "step 1/2"}));
}

TEST(Startup, UnknownLanguageAndPortAreReportedUpperCased) {
  StartupOptions o = WithPackage();
  o.languageSet = true;
  o.language = "french";
  o.portSet = true;
  o.port = " COM2";  // «/PORT COM2» keeps its blank and matches nothing
  o.autoStart = true;
  FakeHost host;
  EXPECT_EQ(ApplyCommandLine(o, host), StartupOutcome::Running);
  EXPECT_EQ(host.calls,
            (Calls{"add /pkgs/a.qxpkg", "load",
                   "ask[Pelvane|okcancel] Invalid Command Line Switch /FIRMWARE_LANGUAGEFRENCH",
                   "ask[Pelvane|okcancel] Invalid Command Line Switch /PORT COM2", "summary",
                   "step 3/2"}));
}

TEST(Startup, CancelOnAnUnknownValueEndsBeforeAnyStep) {
  StartupOptions o = WithPackage();
  o.portSet = true;
  o.port = "COM9";
  o.autoStart = true;
  FakeHost host;
  host.answers = {PromptAnswer::Cancel};
  EXPECT_EQ(ApplyCommandLine(o, host), StartupOutcome::ExitRequested);
  for (const std::string& call : host.calls) EXPECT_EQ(call.rfind("step", 0), std::string::npos);
}

TEST(Startup, ExistingDevicePathIsAddedToThePortList) {
  StartupOptions o = WithPackage();
  o.portSet = true;
  o.port = "/dev/null";  // exists on every Linux machine
  FakeHost host;
  ApplyCommandLine(o, host);
  EXPECT_EQ(host.calls, (Calls{"add /pkgs/a.qxpkg", "load", "port entry /dev/null",
                               "port /dev/null", "step 1/2"}));
}

TEST(Startup, MissingDevicePathIsReported) {
  StartupOptions o = WithPackage();
  o.portSet = true;
  o.port = "/dev/pelvane-no-such-device";
  FakeHost host;
  ApplyCommandLine(o, host);
  EXPECT_EQ(host.calls[2],
            "ask[Pelvane|okcancel] Invalid Command Line Switch /PORT/DEV/PELVANE-NO-SUCH-DEVICE");
}

}  // namespace
}  // namespace pelvane::wizard
