#include "wizard/action_log.h"

#include <gtest/gtest.h>

#include <cstdio>
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
  const std::string path = ::testing::TempDir() + "/pelvane-action-log-test.log";
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

}  // namespace
}  // namespace pelvane::wizard
