// An instrument on the master side of a pseudo-terminal: the session opens
// the slave through the real serial port; a test thread plays the boot
// monitor or the transfer program, step by step, on the master.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "core/class_ids.h"
// Relative, so that users that put only this folder on their include path
// (the session benchmark) find it too.
#include "../support/pty_pair.h"

namespace pelvane::session::test {

class PtyInstrument {
 public:
  // A pseudo-terminal has no parity and always 8 data bits.
  std::string OpenString(long baud = 115200) const {
    return "clsid:" + std::string(core::clsid::kSerialPort) + " " + pty_.path() + ":" +
           std::to_string(baud) + ",N,8,1";
  }

  void Write(const std::vector<std::uint8_t>& bytes) { pty_.WriteMaster(bytes); }

  // Reads `count` bytes; fewer when nothing came for `idle` (a safety net
  // against a hang, or the expected silence).
  std::vector<std::uint8_t> Read(std::size_t count,
                                 std::chrono::milliseconds idle = std::chrono::milliseconds(5000)) {
    return pty_.ReadMaster(count, static_cast<int>(idle.count()));
  }

  // Answers a command in handshake mode: the length byte, then after the
  // host's 0xFF one body byte per acknowledgement. Gives the acknowledgements
  // (0xFF first); stops after `bodyBytes` bytes when that is smaller.
  std::vector<std::uint8_t> Answer(const std::vector<std::uint8_t>& body,
                                   std::size_t bodyBytes = SIZE_MAX) {
    std::vector<std::uint8_t> acks;
    Write({static_cast<std::uint8_t>(body.size() - 2)});
    const auto start = Read(1);
    acks.insert(acks.end(), start.begin(), start.end());
    for (std::size_t i = 0; i < body.size() && i < bodyBytes; ++i) {
      Write({body[i]});
      const auto ack = Read(1);
      acks.insert(acks.end(), ack.begin(), ack.end());
    }
    return acks;
  }

 private:
  pelvane::test::PtyPair pty_;
};

}  // namespace pelvane::session::test
