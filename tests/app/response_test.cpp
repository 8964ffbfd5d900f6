// The pure response decoder: every code's fields, and the exact point where a
// response becomes too short for them.
#include "app/response.h"

#include <gtest/gtest.h>

#include <vector>

namespace pelvane::app {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(ResponseDecoderTest, EachCodeNeedsExactlyTheBytesItReads) {
  struct Case {
    std::uint8_t code;
    std::size_t needed;
    ResponseKind kind;
  };
  const Case cases[] = {
      {HERROR, 2, ResponseKind::Status},
      {HPROGPWRON, 2, ResponseKind::Status},
      {HPROGPWROFF, 2, ResponseKind::Status},
      {HMANUFACTURER, 9, ResponseKind::Manufacturer},
      {HPROGDATEN, 4, ResponseKind::ProgStatus},
      {HCHECKSUM, 2, ResponseKind::Checksum},
      {HFLASHERASE, 4, ResponseKind::EraseStatus},
      {HPROGEND, 1, ResponseKind::ProgEnd},
      {0x00, 1, ResponseKind::Unknown},
      {0xFF, 1, ResponseKind::Unknown},
      {HLESEDATEN, 7, ResponseKind::ReadData},  // length byte 0
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.code));
    Bytes message(c.needed, 0);
    message[0] = c.code;
    EXPECT_EQ(DecodeResponse(message).kind, c.kind);
    message.pop_back();
    const DecodedResponse shortOne = DecodeResponse(message);
    EXPECT_EQ(shortOne.kind, ResponseKind::Truncated);
  }
}

TEST(ResponseDecoderTest, ReadDataLengthByteBoundsTheData) {
  Bytes message{HLESEDATEN, 0, 0, 0, 0, 0, 3, 0, 0, 0, 1, 2};
  EXPECT_EQ(BytesNeeded(message), 13u);
  EXPECT_EQ(DecodeResponse(message).kind, ResponseKind::Truncated);
  message.push_back(3);
  message.push_back(4);  // bytes beyond the announced data are not data
  const DecodedResponse r = DecodeResponse(message);
  ASSERT_EQ(r.kind, ResponseKind::ReadData);
  EXPECT_EQ(r.readLength, 3u);
  EXPECT_EQ(Bytes(r.readData.begin(), r.readData.end()), (Bytes{1, 2, 3}));
}

}  // namespace
}  // namespace pelvane::app
