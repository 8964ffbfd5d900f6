// Numbers of the IEEE-488 driver interface that the GPIB port relies on. They are
// the same in linux-gpib and in NI-488.2, so a driver of either family (or the
// project's own test driver) answers in these terms.
#pragma once

namespace pelvane::ports::gpib {

// Bits of the status word `ibsta`.
inline constexpr int kErr = 0x8000;   // the call failed; `iberr` says why
inline constexpr int kTimo = 0x4000;  // the time limit of the call passed
inline constexpr int kEnd = 0x2000;   // EOI or the end-of-string byte was received
inline constexpr int kCmpl = 0x0100;  // the I/O completed

// Values of the error number `iberr` (meaningful while kErr is set).
inline constexpr int kEdvr = 0;  // system error; `ibcntl` holds the system's code
inline constexpr int kEnol = 2;  // no listener on the bus
inline constexpr int kEarg = 4;  // invalid argument
inline constexpr int kEabo = 6;  // I/O aborted, for instance by a time-out
inline constexpr int kEneb = 7;  // no such board

// Time-out codes of `ibdev` and `ibtmo`.
inline constexpr int kTnone = 0;
inline constexpr int kT1ms = 5;
inline constexpr int kT3s = 12;
inline constexpr int kT10s = 13;
inline constexpr int kT1000s = 17;

}  // namespace pelvane::ports::gpib
