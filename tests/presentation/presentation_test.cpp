#include "presentation/presentation.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace pelvane::presentation {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Outcome {
  std::int32_t size = -1;
  std::int16_t lastError = -1;
  Bytes data;
};

Outcome Apply(Presentation& p, const Bytes& in, bool decode) {
  Outcome o;
  const auto call = decode ? &Presentation::Decode : &Presentation::Encode;
  EXPECT_EQ((p.*call)(in.data(), static_cast<std::int32_t>(in.size()), &o.size), core::Status::Ok);
  EXPECT_EQ(p.GetLastError(&o.lastError), core::Status::Ok);
  o.data.assign(static_cast<std::size_t>(o.size), 0xEE);
  EXPECT_EQ(p.GetData(o.data.data(), o.size), core::Status::Ok);
  return o;
}

TEST(PresentationTest, EncodeAppendsTheSumLowByteFirst) {
  Presentation p;
  EXPECT_EQ(Apply(p, {0x22}, false).data, (Bytes{0x22, 0x22, 0x00}));
  EXPECT_EQ(Apply(p, {0x21, 0x01, 0x02, 0x00, 0x00, 0x10, 0x00}, false).data,
            (Bytes{0x21, 0x01, 0x02, 0x00, 0x00, 0x10, 0x00, 0x34, 0x00}));
  const Outcome empty = Apply(p, {}, false);
  EXPECT_EQ(empty.size, 2);
  EXPECT_EQ(empty.data, (Bytes{0x00, 0x00}));

  // 255 x 0xFF sums to 0xFE01: both checksum bytes carry information.
  const Outcome full = Apply(p, Bytes(255, 0xFF), false);
  ASSERT_EQ(full.size, 257);
  EXPECT_EQ(full.lastError, 0);
  EXPECT_EQ(full.data[255], 0x01);
  EXPECT_EQ(full.data[256], 0xFE);
}

TEST(PresentationTest, DecodeChecksAndStripsTheSum) {
  Presentation p;
  const Outcome ok = Apply(p, {0x22, 0x22, 0x00}, true);
  EXPECT_EQ(ok.size, 1);
  EXPECT_EQ(ok.lastError, 0);
  EXPECT_EQ(ok.data, (Bytes{0x22}));

  const Outcome empty = Apply(p, {0x00, 0x00}, true);
  EXPECT_EQ(empty.size, 0);
  EXPECT_EQ(empty.lastError, 0);

  // Round trip through both directions for a long message.
  Bytes message(255);
  for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<std::uint8_t>(i * 7);
  const Outcome encoded = Apply(p, message, false);
  EXPECT_EQ(Apply(p, encoded.data, true).data, message);
}

TEST(PresentationTest, BadChecksumOrTooFewBytesIsAChecksumFailureWithNoResult) {
  for (const Bytes& bad : {Bytes{0x22, 0x23, 0x00}, Bytes{0x22, 0x22, 0x01}, Bytes{0x22}, Bytes{},
                           Bytes{0x01, 0x00, 0x00}}) {
    Presentation p;
    Apply(p, {0x55}, false);  // leaves a result that the failure must discard
    std::int32_t size = -1;
    ASSERT_EQ(p.Decode(bad.data(), static_cast<std::int32_t>(bad.size()), &size), core::Status::Ok);
    EXPECT_EQ(size, 0);
    std::int16_t err = -1;
    p.GetLastError(&err);
    EXPECT_EQ(err, 1);
    std::string text;
    EXPECT_EQ(p.GetErrorString(&text), core::Status::Ok);
    EXPECT_EQ(text, "Checksum failure");

    // No result buffer: GetData copies nothing and resets the error.
    Bytes out(4, 0xEE);
    EXPECT_EQ(p.GetData(out.data(), 4), core::Status::Ok);
    EXPECT_EQ(out, Bytes(4, 0xEE));
    p.GetLastError(&err);
    EXPECT_EQ(err, 0);
  }
}

TEST(PresentationTest, ErrorIsNotKeptAndGetDataMayRepeat) {
  Presentation p;
  Apply(p, {0x22, 0x23, 0x00}, true);
  const Outcome ok = Apply(p, {0x22, 0x22, 0x00}, true);
  EXPECT_EQ(ok.lastError, 0);
  std::string text;
  p.GetErrorString(&text);
  EXPECT_EQ(text, "Last command completed successfully");

  Apply(p, {0x01, 0x02}, false);
  Bytes first(4), second(4);
  p.GetData(first.data(), 4);
  p.GetData(second.data(), 4);
  EXPECT_EQ(first, (Bytes{0x01, 0x02, 0x03, 0x00}));
  EXPECT_EQ(second, first);
}

TEST(PresentationTest, GetDataNeverCopiesPastTheResult) {
  Presentation p;
  Apply(p, {0x07}, false);
  Bytes out(8, 0xEE);
  EXPECT_EQ(p.GetData(out.data(), 8), core::Status::Ok);
  EXPECT_EQ(out, (Bytes{0x07, 0x07, 0x00, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
}

TEST(PresentationTest, MissingPlacesArePointerErrors) {
  Presentation p;
  std::int32_t size = 0;
  EXPECT_EQ(p.GetLastError(nullptr), core::Status::Pointer);
  EXPECT_EQ(p.GetErrorString(nullptr), core::Status::Pointer);
  EXPECT_EQ(p.Encode(nullptr, 3, &size), core::Status::Pointer);
  const std::uint8_t byte = 1;
  EXPECT_EQ(p.Decode(&byte, 1, nullptr), core::Status::Pointer);
  EXPECT_EQ(p.Encode(&byte, -1, &size), core::Status::Pointer);
  EXPECT_EQ(size, 0);
}

TEST(PresentationTest, MessageTable) {
  EXPECT_EQ(PresentationMessageText(101), "Last command completed successfully");
  EXPECT_EQ(PresentationMessageText(102), "Checksum failure");
  EXPECT_EQ(PresentationMessageText(103), "Memory allocation failure");
  EXPECT_EQ(PresentationMessageText(100), "lunwick");
  EXPECT_EQ(PresentationMessageText(104), "");
  EXPECT_NE(CreatePresentation(), nullptr);
}

}  // namespace
}  // namespace pelvane::presentation
