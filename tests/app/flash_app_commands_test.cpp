// Commands, the transfer-program upload and the object's lifecycle.
#include <gtest/gtest.h>

#include "app/commands.h"
#include "app_test_support.h"
#include "session/session_timeouts.h"

namespace pelvane::app::test {
namespace {

using CommandsTest = AppFixture;

TEST_F(CommandsTest, EveryCommandSendsItsLayoutLittleEndianWithTheChecksum) {
  struct Case {
    std::function<void(FlashApp&)> send;
    Bytes message;
  };
  const std::uint8_t block[3] = {0xAA, 0xBB, 0xCC};
  const std::vector<Case> cases = {
      {[](FlashApp& a) { a.QueryManufacturerCode(0x00100000, 1, 2); },
       {0x21, 0x01, 0x02, 0x00, 0x00, 0x10, 0x00}},
      {[](FlashApp& a) { a.ProgPowerOn(); }, {0x22}},
      {[](FlashApp& a) { a.ProgPowerOff(); }, {0x23}},
      {[](FlashApp& a) { a.ProgEnd(); }, {0x49}},
      {[](FlashApp& a) { a.FlashDelete(3, 4, 0x12345678, 0x9ABCDEF0); },
       {0x27, 0x03, 0x04, 0x78, 0x56, 0x34, 0x12, 0xF0, 0xDE, 0xBC, 0x9A}},
      {[&](FlashApp& a) { a.Prog(0x00A1B2C3, 3, 5, 6, block); },
       {0x25, 0x05, 0x06, 0xC3, 0xB2, 0xA1, 0x00, 0x03, 0x00, 0xAA, 0xBB, 0xCC}},
      {[](FlashApp& a) { a.Prog(0x10, 0, 5, 6, nullptr); },
       {0x25, 0x05, 0x06, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00}},
      {[](FlashApp& a) { a.ReadData(7, 0x01020304, 0x0A0B0C0D); },
       {0x24, 0x07, 0x04, 0x03, 0x02, 0x01, 0x0D, 0x0C, 0x0B, 0x0A}},
      {[](FlashApp& a) { a.Checksum(7, 0x01020304, 0x0A0B0C0D); },
       {0x26, 0x07, 0x04, 0x03, 0x02, 0x01, 0x0D, 0x0C, 0x0B, 0x0A}},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    cases[i].send(*app);
    ASSERT_EQ(session->sent.size(), i + 1);
    EXPECT_EQ(session->sent.back(), WithChecksum(cases[i].message));
    EXPECT_EQ(session->sentSizes.back(), static_cast<std::int32_t>(cases[i].message.size()));
  }
  // The worked example, byte for byte.
  EXPECT_EQ(session->sent[0], (Bytes{0x21, 0x01, 0x02, 0x00, 0x00, 0x10, 0x00, 0x34, 0x00}));
  EXPECT_EQ(LastError(), 0);
  EXPECT_TRUE(listener.log.empty());
}

TEST_F(CommandsTest, ProgOutsideOneFrameIsRefusedAndSendsNothing) {
  const Bytes data(300, 0x5A);
  for (std::int16_t bad : {std::int16_t{-1}, std::int16_t{247}, std::int16_t{-32768}}) {
    EXPECT_EQ(app->Prog(0, bad, 1, 2, data.data()), core::Status::Ok);
    EXPECT_TRUE(session->sent.empty());
    EXPECT_EQ(LastError(), 5);  // 106, length out of range
    EXPECT_EQ(ErrorString(), "Program block length out of range (0 to 246 bytes)");
  }
  // The largest block fills a frame exactly.
  app->Prog(0, kMaxProgBlock, 1, 2, data.data());
  ASSERT_EQ(session->sent.size(), 1u);
  EXPECT_EQ(session->sentSizes[0], 255);
  EXPECT_EQ(session->sent[0].size(), 257u);
  EXPECT_EQ(app->Prog(0, 4, 1, 2, nullptr), core::Status::Pointer);
}

TEST_F(CommandsTest, CommandOnAClosedSessionRecordsSessionErrorUntilGetReadDataLength) {
  app->Close();
  EXPECT_EQ(LastError(), 0);
  app->ProgPowerOn();
  EXPECT_EQ(LastError(), 2);
  EXPECT_EQ(ErrorString(), "Session not open");

  // Sticky: a later successful command leaves the failure in place ...
  session->open = true;
  app->ProgPowerOff();
  EXPECT_EQ(session->lastError, 0);
  EXPECT_EQ(LastError(), 2);
  EXPECT_EQ(ErrorString(), "An Error occured in the session layer");
  // ... until GetReadDataLength resets it (and then reports its own verdict).
  Respond({HLESEDATEN, 0, 0, 0, 0, 0, 0});
  std::uint32_t len = 99;
  app->GetReadDataLength(&len);
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(LastError(), 0);
  EXPECT_EQ(ErrorString(), "Last command completed successfully");
}

TEST_F(CommandsTest, ALowerCallFailingWithAStatusReachesTheCaller) {
  session->sendStatus = core::Status::Fail;
  try {
    app->ProgPowerOn();
    FAIL() << "no exception";
  } catch (const core::StatusError& e) {
    EXPECT_EQ(e.status(), core::Status::Fail);
  }
}

TEST_F(CommandsTest, UploadBlockCarriesLengthAddressesProgramAndSum) {
  const Bytes program{0xAA, 0xBB};
  QUARNEL_ERR verdict = PT_TNORESPONSE;
  EXPECT_EQ(app->UploadTransferProgram(program.data(), 2, 0x1000, 0x1004, &verdict),
            core::Status::Ok);
  ASSERT_EQ(session->uploads.size(), 1u);
  EXPECT_EQ(session->uploads[0], (Bytes{0x02, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x04, 0x10,
                                        0x00, 0x00, 0xAA, 0xBB, 0x89, 0x01}));
  EXPECT_EQ(verdict, PT_TOK);
  EXPECT_EQ(LastError(), 0);
  EXPECT_TRUE(session->sent.empty());  // the block bypasses the command path

  // The sum covers the addresses and the program but not the length, and only
  // its low 16 bits travel.
  const Bytes big(300, 0xFF);
  const Bytes block = TransferProgramBlock(big, 0xFFFFFFFF, 0x80000000);
  ASSERT_EQ(block.size(), 314u);
  const std::uint32_t sum = 300 * 0xFF + 4 * 0xFF + 0x80;
  EXPECT_EQ(block[312], sum & 0xFF);
  EXPECT_EQ(block[313], (sum >> 8) & 0xFF);
  EXPECT_EQ((Bytes{block.begin(), block.begin() + 4}), (Bytes{0x2C, 0x01, 0x00, 0x00}));
}

TEST_F(CommandsTest, UploadVerdictsAndSessionFailures) {
  const Bytes program{0x01};
  QUARNEL_ERR verdict = PT_TNORESPONSE;

  // The instrument reports a checksum failure: the verdict passes through and
  // the session's own text explains it.
  session->verdict = session::PT_TCHECKSUMERR;
  session->errorAfterVerdict = 6;
  app->UploadTransferProgram(program.data(), 1, 0, 0, &verdict);
  EXPECT_EQ(verdict, PT_TCHECKSUMERR);
  EXPECT_EQ(LastError(), 2);
  EXPECT_EQ(ErrorString(), "Upload failed (Checksum Error)");

  // A port failure during Upload: no verdict is asked for, PT_TOK stays, 103.
  session->calls.clear();
  session->errorAfterUpload = 14;
  verdict = PT_TNORESPONSE;
  app->UploadTransferProgram(program.data(), 1, 0, 0, &verdict);
  EXPECT_EQ(verdict, PT_TOK);
  EXPECT_EQ(LastError(), 2);
  EXPECT_EQ(session->calls, (std::vector<std::string>{"Upload"}));

  EXPECT_EQ(app->UploadTransferProgram(program.data(), 1, 0, 0, nullptr), core::Status::Pointer);
  EXPECT_EQ(app->UploadTransferProgram(nullptr, 1, 0, 0, &verdict), core::Status::Pointer);
  session->uploads.clear();
  app->UploadTransferProgram(program.data(), -1, 0, 0, &verdict);
  EXPECT_EQ(LastError(), 6);  // 107, upload length out of range
  EXPECT_TRUE(session->uploads.empty());
}

TEST_F(CommandsTest, InitialiseOpensTheDefaultLinkOrTheGivenOneAndReplacesTheSession) {
  EXPECT_EQ(session->openStrings,
            (std::vector<std::string>{"clsid:519498DF-CB5C-11D4-A40B-0050DAE004CA "
                                      "COM1:115200,E,8,1"}));
  EXPECT_EQ(session->events.size(), 1u);

  bool firstDestroyed = false;
  session->onDestroy = [&] { firstDestroyed = true; };
  app->ExplicitInitialise("clsid:519498DF-CB5C-11D4-A40B-0050DAE004CA /dev/pts/9");
  EXPECT_TRUE(firstDestroyed);  // the old session goes before the new one is made
  EXPECT_EQ(session->openStrings,
            (std::vector<std::string>{"clsid:519498DF-CB5C-11D4-A40B-0050DAE004CA /dev/pts/9"}));
  EXPECT_EQ(session->events.size(), 1u);
  Respond({HPROGPWRON, 0});
  EXPECT_EQ(listener.log, (std::vector<std::string>{"Response 162"}));
}

TEST_F(CommandsTest, ShutdownEndsEventsAndMayRepeat) {
  EXPECT_EQ(app->Shutdown(), core::Status::Ok);
  EXPECT_EQ(session->events.size(), 0u);
  EXPECT_EQ(app->Shutdown(), core::Status::Ok);
  Respond({HPROGPWRON, 0});
  session->RaiseError(111);
  EXPECT_TRUE(listener.log.empty());
  // The session stays: Close still reaches it.
  app->Close();
  EXPECT_EQ(session->calls.back(), "Close");
}

TEST_F(CommandsTest, SessionErrorEventPassesItsCodeThroughUntouched) {
  session->RaiseError(111);
  EXPECT_EQ(listener.log, (std::vector<std::string>{"Error 111"}));
  EXPECT_EQ(LastError(), 0);
}

TEST_F(CommandsTest, CloseFailureIsASessionError) {
  session->errorAfterClose = 9;
  app->Close();
  EXPECT_EQ(LastError(), 2);
  EXPECT_EQ(ErrorString(), "Port failure");
}

class UninitialisedTest : public AppFixture {
 protected:
  void SetUp() override {}
};

void ExpectPointerError(const std::function<void()>& call) {
  try {
    call();
    ADD_FAILURE() << "no exception";
  } catch (const core::StatusError& e) {
    EXPECT_EQ(e.status(), core::Status::Pointer);
  }
}

TEST_F(UninitialisedTest, CommandsNeedTheLowerObjects) {
  app = MakeApp();
  ExpectPointerError([&] { app->ProgPowerOn(); });
  ExpectPointerError([&] { app->Prog(0, 1000, 1, 2, nullptr); });
  ExpectPointerError([&] { app->Close(); });
  std::string text;
  ExpectPointerError([&] { app->GetErrorString(&text); });
  QUARNEL_ERR verdict = PT_TNORESPONSE;
  const std::uint8_t byte = 0;
  ExpectPointerError([&] { app->UploadTransferProgram(&byte, 1, 0, 0, &verdict); });
  EXPECT_EQ(app->Shutdown(), core::Status::Ok);
  EXPECT_EQ(LastError(), 0);  // nothing changed
  std::int16_t status = -1;
  app->GetStatus(&status);
  EXPECT_EQ(status, 0);  // HERROR with status 0 until a response arrives

  // No session class: ExplicitInitialise itself raises the pointer error.
  auto noSession = MakeApp(false, true);
  ExpectPointerError([&] { noSession->ExplicitInitialise(""); });

  // No presentation class: unnoticed until the first command or response needs it.
  auto noPresentation = MakeApp(true, false);
  EXPECT_EQ(noPresentation->ExplicitInitialise(""), core::Status::Ok);
  ExpectPointerError([&] { noPresentation->ProgPowerOn(); });
  ExpectPointerError([&] { session->Deliver(WithChecksum({HPROGPWRON, 0})); });
}

TEST(AppRegistryTest, CreatesFlashAppByClassId) {
  const auto registry = DefaultAppRegistry();
  EXPECT_NE(registry.Create("b67989e4-d029-11d4-a40d-0050dae004ca"), nullptr);
  EXPECT_EQ(registry.Create(core::clsid::kSession), nullptr);
  EXPECT_NE(CreateFlashApp(), nullptr);
  EXPECT_TRUE(DefaultPresentationRegistry().Contains(core::clsid::kPresentation));
}

TEST(AppRegistryTest, MessageTable) {
  EXPECT_EQ(AppMessageText(101), "Last command completed successfully");
  EXPECT_EQ(AppMessageText(102), "An Error occured in the presentation layer");
  EXPECT_EQ(AppMessageText(103), "An Error occured in the session layer");
  EXPECT_EQ(AppMessageText(104), "Memory allocation failure");
  EXPECT_EQ(AppMessageText(105), "Associated command called out of sequence");
  EXPECT_EQ(AppMessageText(100), "ardmel");
  EXPECT_EQ(AppMessageText(108), "");
}

// The protocol's numbers as the instrument knows them, written out instead
// of taken from the headers: the simulator builds its answers from those
// same headers, so a wrong number there would pass every end-to-end run.
TEST(ProtocolNumbers, CodesVerdictsAndTimesAreTheInstruments) {
  struct Number {
    const char* name;
    std::int64_t value;
    std::int64_t instrument;
  };
  using ms = std::chrono::milliseconds;
  const session::SessionTimeouts times;
  const Number numbers[] = {
      {"HERROR", HERROR, 0x20},
      {"TMANUFACTURER", TMANUFACTURER, 0x21},
      {"HMANUFACTURER", HMANUFACTURER, 0xA1},
      {"TPROGPWRON", TPROGPWRON, 0x22},
      {"HPROGPWRON", HPROGPWRON, 0xA2},
      {"TPROGPWROFF", TPROGPWROFF, 0x23},
      {"HPROGPWROFF", HPROGPWROFF, 0xA3},
      {"TLESEDATEN", TLESEDATEN, 0x24},
      {"HLESEDATEN", HLESEDATEN, 0xA4},
      {"TPROGDATEN", TPROGDATEN, 0x25},
      {"HPROGDATEN", HPROGDATEN, 0xA5},
      {"TCHECKSUM", TCHECKSUM, 0x26},
      {"HCHECKSUM", HCHECKSUM, 0xA6},
      {"TFLASHERASE", TFLASHERASE, 0x27},
      {"HFLASHERASE", HFLASHERASE, 0xA7},
      {"TPROGEND", TPROGEND, 0x49},
      {"HPROGEND", HPROGEND, 0x48},
      {"erase status", kStatusEraseOk, 0x41},
      {"program status", kStatusProgOk, 0x42},
      {"no-error status", kStatusNoError, 0x42},
      {"power-on status", kStatusPowerOn, 0x44},
      {"power-off status", kStatusPowerOff, 0x46},
      {"failed-read status", kStatusReadFailed, 0x20},
      {"length acknowledgement", kLengthAck, 0xFF},
      {"verdict T", session::kVerdictOk, 'T'},
      {"verdict P", session::kVerdictParity, 'P'},
      {"verdict F", session::kVerdictFraming, 'F'},
      {"verdict O", session::kVerdictOverrun, 'O'},
      {"verdict C", session::kVerdictChecksum, 'C'},
      {"PT_TOK", PT_TOK, 0},
      {"PT_TPARITYERR", PT_TPARITYERR, 0x901},
      {"PT_TFRAMINGERR", PT_TFRAMINGERR, 0x902},
      {"PT_TOVERRUNERR", PT_TOVERRUNERR, 0x903},
      {"PT_TCHECKSUMERR", PT_TCHECKSUMERR, 0x904},
      {"PT_TNORESPONSE", PT_TNORESPONSE, 0x906},
      {"framing error", session::kMsgUploadFraming, 104},
      {"parity error", session::kMsgUploadParity, 105},
      {"overrun error", session::kMsgUploadOverrun, 106},
      {"checksum error", session::kMsgUploadChecksum, 107},
      {"session time-out", session::kMsgSessionTimeout, 111},
      {"read time-out", session::kMsgReadTimeout, 113},
      {"write time-out", session::kMsgWriteTimeout, 114},
      {"port failure SR", session::kMsgPortFailureSR, 117},
      {"response time (ms)", times.response.count(), 120000},
      {"per-byte time (ms)", times.perByte.count(), 4000},
      {"verdict time (ms)", times.uploadVerdict.count(), 10000},
      {"verdict wait (ms)", ms(session::kVerdictWait).count(), 10000},
      {"close settle (ms)", times.closeSettle.count(), 10},
  };
  for (const Number& n : numbers) EXPECT_EQ(n.value, n.instrument) << n.name;
}

}  // namespace
}  // namespace pelvane::app::test
