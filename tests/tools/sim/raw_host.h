// A minimal host for the simulator's tests: raw bytes on one end of a socket
// pair or a pseudo-terminal, written from the protocol as a host sees it and
// sharing nothing with the project's own session code.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace pelvane::sim::test {

using Bytes = std::vector<std::uint8_t>;

inline std::uint16_t Sum16(const Bytes& b, std::size_t from = 0, std::size_t to = SIZE_MAX) {
  std::uint32_t s = 0;
  for (std::size_t i = from; i < b.size() && i < to; ++i) s += b[i];
  return static_cast<std::uint16_t>(s);
}

inline void Put32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

inline std::uint32_t Get32(const Bytes& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// The boot monitor's upload block: length, load and start address, program, sum.
inline Bytes UploadBlock(const Bytes& program, std::uint32_t load, std::uint32_t exec) {
  Bytes block;
  Put32(block, static_cast<std::uint32_t>(program.size()));
  Put32(block, load);
  Put32(block, exec);
  block.insert(block.end(), program.begin(), program.end());
  const std::uint16_t sum = Sum16(block, 4);
  block.push_back(static_cast<std::uint8_t>(sum));
  block.push_back(static_cast<std::uint8_t>(sum >> 8));
  return block;
}

inline Bytes Frame(const Bytes& payload) {
  Bytes frame{static_cast<std::uint8_t>(payload.size())};
  frame.insert(frame.end(), payload.begin(), payload.end());
  const std::uint16_t sum = Sum16(payload);
  frame.push_back(static_cast<std::uint8_t>(sum));
  frame.push_back(static_cast<std::uint8_t>(sum >> 8));
  return frame;
}

class RawHost {
 public:
  explicit RawHost(int fd) : fd_(fd) {}

  void Write(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  }

  // Up to n bytes; fewer when `timeout` passes or the line closes.
  Bytes Read(std::size_t n, std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) {
    Bytes out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      std::uint8_t buffer[512];
      const ssize_t got = ::read(fd_, buffer, std::min(sizeof buffer, n - out.size()));
      if (got <= 0) {
        eof_ = true;
        break;
      }
      out.insert(out.end(), buffer, buffer + got);
    }
    return out;
  }

  std::optional<std::uint8_t> Upload(
      const Bytes& program, std::uint32_t load = 0x1000, std::uint32_t exec = 0x1004,
      std::chrono::milliseconds wait = std::chrono::milliseconds(2000)) {
    Write(UploadBlock(program, load, exec));
    const Bytes verdict = Read(1, wait);
    if (verdict.empty()) return std::nullopt;
    return verdict[0];
  }

  // Takes an answer frame in handshake mode, acknowledging as a host does;
  // `acks` may replace the acknowledgement of body byte i. Returns the body
  // (payload and checksum), empty when nothing came.
  Bytes ReceiveHandshake(std::optional<std::pair<std::size_t, std::uint8_t>> wrong_ack = {}) {
    const Bytes length = Read(1);
    if (length.empty()) return {};
    Write({0xFF});
    Bytes body;
    for (std::size_t i = 0; i < std::size_t{length[0]} + 2; ++i) {
      const Bytes b = Read(1);
      if (b.empty()) return body;
      body.push_back(b[0]);
      auto ack = static_cast<std::uint8_t>(~(body[0] + i + 1));
      if (wrong_ack && wrong_ack->first == i) ack = wrong_ack->second;
      Write({ack});
    }
    return body;
  }

  // Sends a command and returns the answer's payload after checking its
  // checksum; empty when no answer came or its checksum failed.
  Bytes Command(const Bytes& payload) {
    Write(Frame(payload));
    return Payload(ReceiveHandshake());
  }

  static Bytes Payload(const Bytes& body) {
    if (body.size() < 3) return {};
    const std::size_t n = body.size() - 2;
    const std::uint16_t sum = Sum16(body, 0, n);
    if (body[n] != static_cast<std::uint8_t>(sum) || body[n + 1] != (sum >> 8)) return {};
    return Bytes(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(n));
  }

  bool eof() const { return eof_; }

 private:
  int fd_;
  bool eof_ = false;
};

// Command messages as a host builds them.
inline Bytes QueryManufacturer(std::uint32_t base, std::uint8_t type) {
  Bytes b{0x21, 0x01, type};
  Put32(b, base);
  return b;
}
inline Bytes Erase(std::uint32_t address, std::uint32_t length, std::uint8_t type = 0x16) {
  Bytes b{0x27, 0x01, type};
  Put32(b, address);
  Put32(b, length);
  return b;
}
inline Bytes Prog(std::uint32_t address, const Bytes& data, std::uint8_t type = 0x16) {
  Bytes b{0x25, 0x01, type};
  Put32(b, address);
  b.push_back(static_cast<std::uint8_t>(data.size()));
  b.push_back(static_cast<std::uint8_t>(data.size() >> 8));
  b.insert(b.end(), data.begin(), data.end());
  return b;
}
inline Bytes ReadData(std::uint32_t address, std::uint32_t length) {
  Bytes b{0x24, 0x01};
  Put32(b, address);
  Put32(b, length);
  return b;
}
inline Bytes Checksum(std::uint32_t address, std::uint32_t length) {
  Bytes b{0x26, 0x01};
  Put32(b, address);
  Put32(b, length);
  return b;
}

}  // namespace pelvane::sim::test
