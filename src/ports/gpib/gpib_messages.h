// The GPIB port's message table. Its last-error code is the message number
// itself (0 for success), unlike the serial port's.
#pragma once

#include <string_view>

namespace pelvane::ports::gpib {

inline constexpr int kMsgModuleName = 100;
inline constexpr int kMsgSuccess = 101;
inline constexpr int kMsgUnableToOpen = 102;
inline constexpr int kMsgAlreadyOpen = 103;
inline constexpr int kMsgWriteTimeout = 104;
// 105 and 106 are held in the table for completeness; no operation raises
// them. 107 is raised by a write that moved fewer bytes than asked without a
// time-out.
inline constexpr int kMsgIberrInRead = 105;
inline constexpr int kMsgNegativeCount = 106;
inline constexpr int kMsgShortWrite = 107;

// The text of a message number; "" for a number outside the table.
std::string_view MessageText(int number);

}  // namespace pelvane::ports::gpib
