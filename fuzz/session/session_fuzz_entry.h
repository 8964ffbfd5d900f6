// Fuzz entry for the session's receive path: the input is what the
// instrument answers, read through a scripted port in handshake or block
// mode, while the host sends a few frames. Returns false when an invariant
// breaks (a hang counts: every run must end by itself within its limit).
//
// The first input byte holds the switches:
//   bit 0      block mode (the GPIB binding) instead of handshake mode
//   bits 1-2   bytes handed over per read: all, 1, 3 or 7
//   bit 3      one host write fails (the one numbered by bits 4-7)
#pragma once

#include <cstdint>
#include <span>

namespace pelvane::session::fuzz {

bool FuzzSessionReceive(std::span<const std::uint8_t> data);

}  // namespace pelvane::session::fuzz
