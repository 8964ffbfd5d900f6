#include "wizard/logic/action_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace pelvane::wizard {
namespace {

TEST(ActionLog, EveryLineStartsWithItsTime) {
  ActionLog log;
  const auto t0 = ActionLog::Clock::from_time_t(1700000000) + std::chrono::milliseconds(42);
  log.Add("UPLOAD FIRMWARE STARTED", t0);
  log.Add("Transfer Program Running", t0 + std::chrono::milliseconds(1500));
  const std::string text = log.Format();
  std::istringstream lines(text);
  std::string line;
  const std::regex stamped(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}  .+)");
  std::vector<std::string> all;
  while (std::getline(lines, line)) {
    EXPECT_TRUE(std::regex_match(line, stamped)) << line;
    all.push_back(line);
  }
  ASSERT_EQ(all.size(), 2u);
  EXPECT_NE(all[0].find(".042  UPLOAD FIRMWARE STARTED"), std::string::npos) << all[0];
  EXPECT_NE(all[1].find(".542  Transfer Program Running"), std::string::npos) << all[1];
}

TEST(ActionLog, LineBreaksInsideATextAreIndented) {
  ActionLog log;
  log.Add("first\r\nsecond");
  const std::string text = log.Format();
  const std::size_t nl = text.find('\n');
  ASSERT_NE(nl, std::string::npos);
  EXPECT_EQ(text.substr(nl + 1), std::string(25, ' ') + "second\n");
  EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST(ActionLog, SaveWritesTheFormattedLinesAndReplacesTheFile) {
  ActionLog log;
  log.Add("one");
  const std::string path = testing::TempDir() + "/pelvane-action-log-test.log";
  { std::ofstream(path) << "an older and much longer content that must disappear\n"; }
  std::string error;
  ASSERT_TRUE(log.Save(path, &error)) << error;
  std::ifstream in(path);
  std::stringstream read;
  read << in.rdbuf();
  EXPECT_EQ(read.str(), log.Format());
  std::remove(path.c_str());
}

TEST(ActionLog, SaveFailureNamesFileAndCause) {
  ActionLog log;
  log.Add("one");
  std::string error;
  EXPECT_FALSE(log.Save("/nonexistent-folder/x.log", &error));
  EXPECT_NE(error.find("/nonexistent-folder/x.log"), std::string::npos) << error;
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}

TEST(RunLogs, EachRunGetsANewNameAndOnlyTheNewestAreKept) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::path(testing::TempDir()) / "pelvane-run-logs" / "logs";
  fs::remove_all(folder.parent_path());
  std::tm noon{};
  noon.tm_year = 2026 - 1900;
  noon.tm_mon = 11;
  noon.tm_mday = 9;
  noon.tm_hour = 12;
  noon.tm_isdst = -1;
  const auto time = std::chrono::system_clock::from_time_t(std::mktime(&noon));
  std::string error;
  std::vector<fs::path> made;
  for (int i = 0; i < 4; ++i) {
    made.push_back(NextRunLog(folder, time, 3, kRunLogsBytes, &error));
    ASSERT_FALSE(made.back().empty()) << error;
    std::ofstream(made.back()) << "trace\n";
  }
  EXPECT_EQ(made[0].filename(), "run-20261209-120000.log");
  EXPECT_EQ(made[1].filename(), "run-20261209-120000-2.log");
  // Three kept with the new one: the oldest two went; other files stay. The
  // new name is returned, not yet created.
  std::ofstream(folder / "notes.txt") << "mine\n";
  made.push_back(NextRunLog(folder, time + std::chrono::hours(1), 3, kRunLogsBytes, &error));
  EXPECT_EQ(made.back().filename(), "run-20261209-130000.log");
  std::ofstream(made.back()) << "trace\n";
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(folder))
    left.push_back(entry.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left,
            (std::vector<std::string>{"notes.txt", "run-20261209-120000-3.log",
                                      "run-20261209-120000-4.log", "run-20261209-130000.log"}));

  // The older logs also keep within their bytes: here room for one.
  NextRunLog(folder, time + std::chrono::hours(2), 20, 6, &error);
  left.clear();
  for (const auto& entry : fs::directory_iterator(folder))
    left.push_back(entry.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"notes.txt", "run-20261209-130000.log"}));

  EXPECT_TRUE(NextRunLog("/proc/no-logs-here", time, 3, kRunLogsBytes, &error).empty());
  EXPECT_NE(error.find("/proc/no-logs-here"), std::string::npos) << error;
  fs::remove_all(folder.parent_path());
}

}  // namespace
}  // namespace pelvane::wizard
