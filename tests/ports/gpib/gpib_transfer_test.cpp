// The transfer-result rules, case by case.
#include "ports/gpib/gpib_transfer.h"

#include <gtest/gtest.h>

#include "ports/gpib/gpib_constants.h"

namespace pelvane::ports::gpib {
namespace {

struct Row {
  const char* what;
  int status;
  int iberr;
  long ibcntl;
  std::int32_t requested;
  std::int32_t count;
  bool timedOut;
};

class TransferRuleTest : public ::testing::TestWithParam<Row> {};

TEST_P(TransferRuleTest, CountAndTimeout) {
  const Row& row = GetParam();
  const TransferResult r = EvaluateTransfer(row.status, row.iberr, row.ibcntl, row.requested);
  EXPECT_EQ(r.count, row.count) << row.what;
  EXPECT_EQ(r.timedOut, row.timedOut) << row.what;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TransferRuleTest,
    ::testing::Values(Row{"complete", kCmpl, 0, 7, 7, 7, false},
                      Row{"complete with END", kCmpl | kEnd, 0, 3, 10, 3, false},
                      Row{"time-out, nothing", kErr | kTimo, kEabo, 0, 1, 0, true},
                      Row{"time-out, one byte", kErr | kTimo, kEabo, 1, 10, 1, true},
                      Row{"time-out, two bytes", kErr | kTimo, kEabo, 2, 10, 0, true},
                      Row{"TIMO without ERR, one byte", kTimo, 0, 1, 10, 1, true},
                      Row{"TIMO without ERR, five bytes", kTimo, 0, 5, 10, 0, true},
                      Row{"aborted, one byte", kErr, kEabo, 1, 10, 1, false},
                      Row{"aborted, three bytes", kErr, kEabo, 3, 10, 0, false},
                      Row{"other error, one byte", kErr, kEnol, 1, 10, 0, false},
                      Row{"driver error keeps errno in ibcntl", kErr, kEdvr, 2, 10, 0, false},
                      Row{"negative count", kCmpl, 0, -1, 10, 0, false},
                      Row{"count beyond the request", kCmpl, 0, 300, 256, 256, false}),
    [](const ::testing::TestParamInfo<Row>& info) { return std::to_string(info.index); });

}  // namespace
}  // namespace pelvane::ports::gpib
