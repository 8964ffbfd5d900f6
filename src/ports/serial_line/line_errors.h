// The serial line library's own result codes. Operations return 0 (or a count
// or a byte) on success and one of these on failure; the line also keeps the
// code as its sticky error until it is read and cleared.
#pragma once

#include <string_view>

namespace pelvane::ports::serial_line {

inline constexpr int kLineOk = 0;
inline constexpr int kGeneralFailure = -801;  // also every system failure
inline constexpr int kNoByte = -802;          // nothing to read / time-out
inline constexpr int kNotSupported = -803;
inline constexpr int kShortWrite = -805;  // fewer bytes accepted than asked
inline constexpr int kBreakFailed = -827;
inline constexpr int kCloseFailed = -829;
inline constexpr int kUnknownFlowType = -830;
inline constexpr int kUnknownFlowKind = -832;
inline constexpr int kNoMemory = -836;
inline constexpr int kAlreadyOpen = -838;  // the port is held already in this process
inline constexpr int kBadParity = -840;
inline constexpr int kBadStopBits = -841;
inline constexpr int kBadDataBits = -842;

// A short English text for a code; "unknown serial line error" for others.
std::string_view LineErrorText(int code);

}  // namespace pelvane::ports::serial_line
