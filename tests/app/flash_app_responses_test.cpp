// Responses: the result store, the getters' gating and what is dropped.
#include <gtest/gtest.h>

#include "app_test_support.h"

namespace pelvane::app::test {
namespace {

using ResponsesTest = AppFixture;

// Every getter's output, with sentinels where nothing was delivered.
struct Readout {
  std::uint32_t manufacturer = 0xDEAD, flashType = 0xDEAD, checksum = 0xDEAD;
  std::int16_t status = -7, eraseStatus = -7, progStatus = -7;
  std::uint32_t eraseFail = 0xDEAD, progFail = 0xDEAD;
  bool operator==(const Readout&) const = default;
};

Readout ReadAll(FlashApp& app) {
  Readout r;
  EXPECT_EQ(app.GetManufacturerCode(&r.manufacturer), core::Status::Ok);
  EXPECT_EQ(app.GetFlashType(&r.flashType), core::Status::Ok);
  EXPECT_EQ(app.GetChecksum(&r.checksum), core::Status::Ok);
  EXPECT_EQ(app.GetStatus(&r.status), core::Status::Ok);
  EXPECT_EQ(app.GetEraseStatus(&r.eraseFail, &r.eraseStatus), core::Status::Ok);
  EXPECT_EQ(app.GetProgStatus(&r.progFail, &r.progStatus), core::Status::Ok);
  return r;
}

TEST_F(ResponsesTest, BeforeAnyResponseOnlyGetStatusDelivers) {
  Readout expected;
  expected.status = 0;
  EXPECT_EQ(ReadAll(*app), expected);
  std::uint32_t len = 0xDEAD;
  app->GetReadDataLength(&len);
  EXPECT_EQ(len, 0xDEADu);
  EXPECT_EQ(LastError(), 4);  // 105, out of sequence
}

TEST_F(ResponsesTest, EachResponseStoresItsFieldsAndGatesTheOthers) {
  Respond({HMANUFACTURER, 0x01, 0x02, 0x03, 0x04, 0x89, 0x00, 0x00, 0x00});
  Readout expected;
  expected.manufacturer = 0x04030201;
  expected.flashType = 0x89;
  EXPECT_EQ(ReadAll(*app), expected);

  // A fail address is the 32-bit value at bytes 3 to 6 (an erase failing at
  // 0x480000 is not "address 0"); an answer that ends before byte 6 gives
  // byte 3 alone. The checksum is one byte.
  Respond({HPROGDATEN, 0x05, 0xEE, 0x00, 0x00, 0x48, 0x00});
  expected = {};
  expected.progStatus = 5;
  expected.progFail = 0x480000;
  EXPECT_EQ(ReadAll(*app), expected);
  Respond({HPROGDATEN, 0x05, 0xEE, 0x42, 0xEE, 0xEE});
  EXPECT_EQ(ReadAll(*app).progFail, 0x42u);

  Respond({HFLASHERASE, 0x80, 0xEE, 0x81});
  expected = {};
  expected.eraseStatus = 0x80;  // zero-extended, never negative
  expected.eraseFail = 0x81;
  EXPECT_EQ(ReadAll(*app), expected);
  Respond({HFLASHERASE, 0x80, 0xEE, 0x78, 0x56, 0x34, 0x12});
  EXPECT_EQ(ReadAll(*app).eraseFail, 0x12345678u);

  Respond({HCHECKSUM, 0xFE, 0x12, 0x34});
  expected = {};
  expected.checksum = 0xFE;
  EXPECT_EQ(ReadAll(*app), expected);

  Respond({HERROR, 0x33});
  expected = {};
  expected.status = 0x33;
  EXPECT_EQ(ReadAll(*app), expected);
  Respond({HPROGPWROFF, 0x02});
  EXPECT_EQ(ReadAll(*app).status, 2);

  EXPECT_EQ(listener.log, (std::vector<std::string>{"Response 161", "Response 165", "Response 165",
                                                    "Response 167", "Response 167", "Response 166",
                                                    "Response 32", "Response 163"}));
  // GetReadDataLength after another kind records 105 and leaves the place alone.
  std::uint32_t len = 0xDEAD;
  app->GetReadDataLength(&len);
  EXPECT_EQ(len, 0xDEADu);
  EXPECT_EQ(LastError(), 4);
}

TEST_F(ResponsesTest, UnknownCodeRaisesNothingButBecomesTheLastResponse) {
  Respond({HPROGPWRON, 0x09});
  Respond({0x7E, 0x01, 0x02});
  EXPECT_EQ(listener.log, (std::vector<std::string>{"Response 162"}));
  EXPECT_EQ(ReadAll(*app), Readout{});  // not even the status is delivered now
  EXPECT_EQ(LastError(), 0);
  // A command code echoed back is just as unknown as a response.
  Respond({TPROGPWRON, 0x00});
  EXPECT_EQ(listener.log.size(), 1u);

  Respond({HPROGPWRON, 0x00});
  EXPECT_EQ(ReadAll(*app).status, 0);
}

TEST_F(ResponsesTest, CorruptChecksumChangesNothingButTheLastError) {
  Respond({HMANUFACTURER, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00});
  const Readout before = ReadAll(*app);
  listener.log.clear();

  Bytes corrupt = WithChecksum({HPROGDATEN, 0x01, 0x00, 0x10});
  corrupt.back() ^= 0x01;
  session->Deliver(corrupt);
  EXPECT_TRUE(listener.log.empty());
  EXPECT_EQ(ReadAll(*app), before);
  EXPECT_EQ(LastError(), 1);                     // 102, the presentation layer failed
  EXPECT_EQ(ErrorString(), "Checksum failure");  // the presentation layer's own text

  // Too few bytes to hold a checksum at all.
  session->Deliver({0xA5});
  EXPECT_EQ(ReadAll(*app), before);
  session->Deliver({});
  EXPECT_EQ(ReadAll(*app), before);
  EXPECT_TRUE(listener.log.empty());
}

TEST_F(ResponsesTest, ResponsesTooShortForTheirFieldsAreDropped) {
  Respond({HCHECKSUM, 0x44});
  listener.log.clear();
  const std::vector<Bytes> shortOnes = {
      {},  // an empty message has no code at all
      {HERROR},
      {HMANUFACTURER, 1, 2, 3, 4, 5, 6, 7},
      {HFLASHERASE, 1, 2},
      {HLESEDATEN, 0, 0, 0, 0, 0},
      // The length byte announces 4 data bytes; only 3 arrived.
      {HLESEDATEN, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0xA, 0xB, 0xC},
  };
  for (const Bytes& message : shortOnes) {
    SCOPED_TRACE(message.size());
    app->GetReadDataLength(nullptr);  // no-op; keeps the error from the last round
    Respond(message);
    EXPECT_EQ(LastError(), 1);  // 102, the presentation layer failed
    EXPECT_EQ(ErrorString(), "An Error occured in the presentation layer");
    std::uint32_t checksum = 0;
    app->GetChecksum(&checksum);
    EXPECT_EQ(checksum, 0x44u);  // still the last response
  }
  EXPECT_TRUE(listener.log.empty());
  EXPECT_EQ(session->calls.back(), "Receive");  // HPROGEND-like side effects never happened
}

TEST_F(ResponsesTest, ReadDataIsDeliveredOnceAndReplacedByTheNext) {
  Respond({HLESEDATEN, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0x11, 0x22, 0x33, 0x99});
  std::uint32_t len = 0;
  app->GetReadDataLength(&len);
  EXPECT_EQ(len, 3u);
  Bytes out(4, 0xEE);
  app->GetReadData(out.data());
  EXPECT_EQ(out, (Bytes{0x11, 0x22, 0x33, 0xEE}));  // the trailing byte is not data
  // Delivered once: the data is gone, the length stays.
  Bytes again(4, 0xEE);
  app->GetReadData(again.data());
  EXPECT_EQ(again, Bytes(4, 0xEE));
  len = 0;
  app->GetReadDataLength(&len);
  EXPECT_EQ(len, 3u);

  // A second answer releases the first one's data before it was read.
  Respond({HLESEDATEN, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0x55});
  Respond({HLESEDATEN, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0x66, 0x77});
  out.assign(4, 0xEE);
  app->GetReadData(out.data());
  EXPECT_EQ(out, (Bytes{0x66, 0x77, 0xEE, 0xEE}));

  // Length 0 leaves no data; seven bytes carry it.
  Respond({HLESEDATEN, 0, 0, 0, 0, 0, 0});
  app->GetReadDataLength(&len);
  EXPECT_EQ(len, 0u);
  out.assign(4, 0xEE);
  app->GetReadData(out.data());
  EXPECT_EQ(out, Bytes(4, 0xEE));

  // Data held, but the last response is another kind: nothing is copied.
  Respond({HLESEDATEN, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0x55});
  Respond({HCHECKSUM, 1});
  out.assign(2, 0xEE);
  app->GetReadData(out.data());
  EXPECT_EQ(out, Bytes(2, 0xEE));
  EXPECT_EQ(app->GetReadData(nullptr), core::Status::Pointer);
}

TEST_F(ResponsesTest, TheLargestReadAnswerIsTakenWhole) {
  Bytes message{HLESEDATEN, 0, 0, 0, 0, 0, 245, 0, 0, 0};
  for (int i = 0; i < 245; ++i) message.push_back(static_cast<std::uint8_t>(i));
  Respond(message);
  Bytes out(245);
  app->GetReadData(out.data());
  EXPECT_EQ(out, Bytes(message.begin() + 10, message.end()));
}

TEST_F(ResponsesTest, ProgEndClosesTheSessionBeforeTheResponse) {
  bool openDuringResponse = true;
  listener.onResponse = [&](std::uint8_t) { openDuringResponse = session->open; };
  Respond({HPROGEND});
  EXPECT_FALSE(openDuringResponse);
  EXPECT_EQ(session->calls.back(), "Close");
  EXPECT_EQ(listener.log, (std::vector<std::string>{"Response 72"}));
  // Commands now fail in the session.
  app->ProgPowerOn();
  EXPECT_EQ(LastError(), 2);  // 103, the session layer failed
}

TEST_F(ResponsesTest, ProgEndWhoseCloseFailsRaisesNothing) {
  session->errorAfterClose = 9;
  Respond({HPROGEND});
  EXPECT_TRUE(listener.log.empty());
  EXPECT_EQ(LastError(), 2);  // 103, the session layer failed
}

TEST_F(ResponsesTest, AFailedReceiveIsASessionErrorAndDropsTheResponse) {
  session->open = false;  // Receive now reports "Session not open"
  Respond({HPROGPWRON, 1});
  EXPECT_TRUE(listener.log.empty());
  EXPECT_EQ(LastError(), 2);  // 103, the session layer failed
  EXPECT_EQ(ErrorString(), "Session not open");
}

TEST_F(ResponsesTest, AListenerMaySendTheNextCommandFromItsHandler) {
  std::int16_t seen = -1;
  listener.onResponse = [&](std::uint8_t code) {
    if (code == HPROGPWRON) {
      app->GetStatus(&seen);
      app->ProgPowerOff();
    }
  };
  RecordingListener second;
  core::Cookie secondCookie = 0;
  app->Advise(&second, &secondCookie);
  Respond({HPROGPWRON, 0x03});
  EXPECT_EQ(seen, 3);
  EXPECT_EQ(session->sent.back(), WithChecksum({TPROGPWROFF}));
  EXPECT_EQ(second.log, (std::vector<std::string>{"Response 162"}));  // every listener, in order

  EXPECT_EQ(app->Unadvise(secondCookie), core::Status::Ok);
  EXPECT_EQ(app->Unadvise(secondCookie), core::Status::Fail);
}

}  // namespace
}  // namespace pelvane::app::test
