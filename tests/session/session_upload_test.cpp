// The transfer-program upload: the block goes out whole, the boot monitor's
// verdict character decides the result.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "core/message_loop.h"
#include "session/session.h"
#include "session/session_messages.h"
#include "session_test_util.h"

namespace pelvane::session {
namespace {

using std::chrono::milliseconds;
using test::Event;
using test::EventRecorder;
using test::FakeLine;
using test::kGpibOpen;
using test::kSerialOpen;
using test::PumpFor;
using test::PumpUntil;

class SessionUploadTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(session_.Advise(&events_, &cookie_), core::Status::Ok); }
  void TearDown() override { session_.Unadvise(cookie_); }

  void Open(const std::string& openString = kSerialOpen) {
    bool opened = false;
    session_.Open(openString, &opened);
    ASSERT_TRUE(opened);
  }
  IQX_Transfer& Transfer() {
    return dynamic_cast<IQX_Transfer&>(static_cast<IQX_Session&>(session_));
  }
  std::int16_t LastError() {
    std::int16_t error = -1;
    session_.GetLastError(&error);
    return error;
  }

  core::PlainMessageLoop loop_;
  core::ScopedMessageLoop scope_{loop_};
  std::shared_ptr<FakeLine> line_ = std::make_shared<FakeLine>();
  ports::PortRegistry registry_ = test::FakeRegistry(line_);
  Session session_{registry_, test::ShortTimeouts()};
  EventRecorder events_;
  core::Cookie cookie_ = 0;
};

TEST_F(SessionUploadTest, EachVerdictCharacterGivesItsCode) {
  struct Row {
    std::uint8_t answer;
    PTS_FAILCODE code;
    std::int16_t lastError;
    const char* text;
  };
  const Row rows[] = {
      {'T', PT_OK, 0, "The last command completed successfully"},
      {'P', PT_TPARITYERR, 4, "Upload failed (Parity Error)"},
      {'F', PT_TFRAMINGERR, 3, "Upload failed (Framing Error)"},
      {'O', PT_TOVERRUNERR, 5, "Upload failed (Overrun Error)"},
      {'C', PT_TCHECKSUMERR, 6, "Upload failed (Checksum Error)"},
      {'t', PT_TNORESPONSE, 0, "The last command completed successfully"},
      {0x00, PT_TNORESPONSE, 0, "The last command completed successfully"},
      {'X', PT_TNORESPONSE, 0, "The last command completed successfully"},
  };
  Open();
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.answer));
    const std::vector<std::uint8_t> block{0x10, 0x20, 0x30};
    ASSERT_EQ(Transfer().Upload(block.data(), 3), core::Status::Ok);
    line_->Feed({row.answer});
    PTS_FAILCODE code = static_cast<PTS_FAILCODE>(-1);
    ASSERT_EQ(Transfer().IsUploadOK(&code), core::Status::Ok);
    EXPECT_EQ(code, row.code);
    EXPECT_EQ(LastError(), row.lastError);
    std::string text;
    session_.GetErrorString(&text);
    EXPECT_EQ(text, row.text);
  }
  PumpFor(loop_, milliseconds(20));
  EXPECT_EQ(events_.events.size(), 1u);  // OnConnect only: verdicts raise no event
}

TEST_F(SessionUploadTest, ASilentBootMonitorIsNoResponseWithoutAnEvent) {
  Open();
  PTS_FAILCODE code = PT_OK;
  ASSERT_EQ(Transfer().IsUploadOK(&code), core::Status::Ok);
  EXPECT_EQ(code, PT_TNORESPONSE);
  EXPECT_EQ(LastError(), 0);
  PumpFor(loop_, milliseconds(20));
  EXPECT_EQ(events_.events.size(), 1u);
}

TEST_F(SessionUploadTest, APortFailureWhileWaitingLeavesTheCodeAlone) {
  Open(kGpibOpen);  // like a GPIB read that times out
  line_->failReads = true;
  PTS_FAILCODE code = static_cast<PTS_FAILCODE>(1234);
  ASSERT_EQ(Transfer().IsUploadOK(&code), core::Status::Ok);
  EXPECT_EQ(code, static_cast<PTS_FAILCODE>(1234));
  EXPECT_EQ(LastError(), 15);
  ASSERT_TRUE(PumpUntil(loop_, [&] { return events_.Has(Event::Error, kMsgPortFailureUploadOK); }));
}

TEST_F(SessionUploadTest, ABlockLargerThanTheTransmitQueueArrivesWhole) {
  Open();
  std::vector<std::uint8_t> block(40000);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 31 + 7);
  // The queue takes at most 32768 bytes at once, and now and then nothing.
  line_->writeLimit = 32768;
  line_->refuseEveryOtherWrite = true;
  ASSERT_EQ(Transfer().Upload(block.data(), static_cast<std::int32_t>(block.size())),
            core::Status::Ok);
  EXPECT_EQ(LastError(), 0);
  EXPECT_EQ(line_->Written(), block);
  PumpFor(loop_, milliseconds(20));
  EXPECT_FALSE(events_.Has(Event::Error, kMsgPortFailureUpload));
}

TEST_F(SessionUploadTest, ABlockThePortStopsTakingIsAPortFailure) {
  Open();
  std::vector<std::uint8_t> block(100, 0x5A);
  line_->writeLimit = 0;
  ASSERT_EQ(Transfer().Upload(block.data(), 100), core::Status::Ok);
  EXPECT_EQ(LastError(), 14);
  ASSERT_TRUE(PumpUntil(loop_, [&] { return events_.Has(Event::Error, kMsgPortFailureUpload); }));

  line_->writeLimit = 10;
  line_->failWrites = 1;
  events_.events.clear();
  ASSERT_EQ(Transfer().Upload(block.data(), 100), core::Status::Ok);
  EXPECT_EQ(LastError(), 14);
  ASSERT_TRUE(PumpUntil(loop_, [&] { return events_.Has(Event::Error, kMsgPortFailureUpload); }));
}

TEST_F(SessionUploadTest, WithoutAnOpenLinkThereIsNothingToUploadTo) {
  const std::vector<std::uint8_t> block{1, 2, 3};
  EXPECT_EQ(Transfer().Upload(block.data(), 3), core::Status::Ok);
  EXPECT_EQ(LastError(), 8);
  PTS_FAILCODE code = static_cast<PTS_FAILCODE>(77);
  EXPECT_EQ(Transfer().IsUploadOK(&code), core::Status::Ok);
  EXPECT_EQ(LastError(), 8);
  EXPECT_EQ(code, static_cast<PTS_FAILCODE>(77));
  EXPECT_EQ(Transfer().Upload(nullptr, 3), core::Status::Pointer);
  EXPECT_EQ(Transfer().IsUploadOK(nullptr), core::Status::Pointer);
  EXPECT_EQ(line_->PortsCreated(), 0);
}

TEST_F(SessionUploadTest, AnUploadWhileACommandIsUnderwayIsRefused) {
  // The frame goes out and its answer is long in coming: the worker keeps the
  // port for it, and raises no error of its own that could overwrite the
  // refusal while the test looks at it.
  SessionTimeouts timeouts = test::ShortTimeouts();
  timeouts.response = std::chrono::minutes(1);
  Session session{registry_, timeouts};
  bool opened = false;
  session.Open(kSerialOpen, &opened);
  ASSERT_TRUE(opened);
  const std::vector<std::uint8_t> frame{0x42, 0x42, 0x00};
  bool sent = false;
  session.Send(frame.data(), 1, &sent);
  ASSERT_TRUE(sent);
  ASSERT_TRUE(line_->WaitForWritten(4));
  auto& transfer = dynamic_cast<IQX_Transfer&>(static_cast<IQX_Session&>(session));
  const auto lastError = [&] {
    std::int16_t error = -1;
    session.GetLastError(&error);
    return error;
  };
  const std::vector<std::uint8_t> block{1, 2, 3};
  ASSERT_EQ(transfer.Upload(block.data(), 3), core::Status::Ok);
  EXPECT_EQ(lastError(), 14);
  PTS_FAILCODE code = PT_OK;
  ASSERT_EQ(transfer.IsUploadOK(&code), core::Status::Ok);
  EXPECT_EQ(lastError(), 15);
  EXPECT_EQ(line_->Written().size(), 4u);  // nothing of the block went out
}

}  // namespace
}  // namespace pelvane::session
