// An instrument on the master side of a pseudo-terminal: the session opens
// the slave through the real serial port; a test thread plays the boot
// monitor or the transfer program, step by step, on the master.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/class_ids.h"

namespace pelvane::session::testing {

class PtyInstrument {
 public:
  PtyInstrument() {
    char name[128] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
      throw std::runtime_error("openpty failed");
    path_ = name;
    termios tio{};
    ::tcgetattr(master_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(master_, TCSANOW, &tio);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~PtyInstrument() {
    ::close(master_);
    // The test keeps a slave descriptor of its own, so the master never reads
    // end-of-file while the port is closed between two Opens.
    ::close(slave_);
  }
  PtyInstrument(const PtyInstrument&) = delete;
  PtyInstrument& operator=(const PtyInstrument&) = delete;

  // A pseudo-terminal has no parity and always 8 data bits.
  std::string OpenString() const {
    return "clsid:" + std::string(core::clsid::kSerialPort) + " " + path_ + ":115200,N,8,1";
  }

  void Write(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else {
        pollfd fd{master_, POLLOUT, 0};
        ::poll(&fd, 1, 100);
      }
    }
  }

  // Reads `count` bytes; fewer when nothing came for `idle` (a safety net
  // against a hang, or the expected silence).
  std::vector<std::uint8_t> Read(std::size_t count,
                                 std::chrono::milliseconds idle = std::chrono::milliseconds(5000)) {
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[4096];
    while (bytes.size() < count) {
      pollfd fd{master_, POLLIN, 0};
      if (::poll(&fd, 1, static_cast<int>(idle.count())) <= 0) break;
      const ssize_t n = ::read(master_, chunk, std::min(sizeof chunk, count - bytes.size()));
      if (n <= 0) break;
      bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return bytes;
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
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

}  // namespace pelvane::session::testing
