// The session's codes that the layers above it act on: the boot monitor's
// verdict on a transfer-program upload (the one character it answers with,
// and the value the session reports for it) and the message numbers a session
// keeps and its OnError event carries. Kept apart from the session's
// interface so that the application layer's protocol header (and through it
// the instrument simulator) can name them without the rest.
#pragma once

#include <chrono>
#include <cstdint>

namespace pelvane::session {

// How long the boot monitor may take for its verdict once the transfer
// program has left the host (tests shorten it through SessionTimeouts).
inline constexpr std::chrono::milliseconds kVerdictWait{10000};

// The boot monitor's one-character answers.
inline constexpr std::uint8_t kVerdictOk = 'T';
inline constexpr std::uint8_t kVerdictParity = 'P';
inline constexpr std::uint8_t kVerdictFraming = 'F';
inline constexpr std::uint8_t kVerdictOverrun = 'O';
inline constexpr std::uint8_t kVerdictChecksum = 'C';

// The verdict as IQX_Transfer::IsUploadOK reports it.
enum PTS_FAILCODE : std::int32_t {
  PT_OK = 0,
  PT_TPARITYERR = 0x901,
  PT_TFRAMINGERR = 0x902,
  PT_TOVERRUNERR = 0x903,
  PT_TCHECKSUMERR = 0x904,
  PT_TNORESPONSE = 0x906,
};

// The error code a session keeps is one of these numbers; GetLastError hands
// out the number minus 101, OnError the number itself. The texts are in
// session_messages.h.
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
  // An answer frame whose checksum does not match its message: damaged on
  // the line. Reported at once, so that the command can be judged or asked
  // again instead of waiting for an answer that will not come.
  kMsgAnswerDamaged = 118,
};

inline constexpr std::int16_t kFirstSessionMessage = kMsgSuccess;
inline constexpr std::int16_t kLastSessionMessage = kMsgAnswerDamaged;

}  // namespace pelvane::session
