// The session's message table. The error code a session keeps is one of these
// numbers; GetLastError hands out the number minus 101, OnError the number
// itself.
#pragma once

#include <cstdint>
#include <string_view>

namespace pelvane::session {

enum SessionMessage : std::int16_t {
  kMsgSuccess = 101,
  kMsgUnableToOpen = 102,
  kMsgAlreadyOpen = 103,
  kMsgUploadFraming = 104,
  kMsgUploadParity = 105,
  kMsgUploadOverrun = 106,
  kMsgUploadChecksum = 107,
  kMsgAlreadyClosed = 108,
  kMsgNotOpen = 109,
  kMsgPortFailure = 110,
  kMsgSessionTimeout = 111,
  kMsgMemory = 112,
  kMsgReadTimeout = 113,
  kMsgWriteTimeout = 114,
  kMsgPortFailureUpload = 115,
  kMsgPortFailureUploadOK = 116,
  kMsgPortFailureSR = 117,
};

inline constexpr std::int16_t kFirstSessionMessage = kMsgSuccess;
inline constexpr std::int16_t kLastSessionMessage = kMsgPortFailureSR;

// The text of a message number; empty for a number outside 101..117.
std::string_view SessionMessageText(std::int16_t number);

}  // namespace pelvane::session
