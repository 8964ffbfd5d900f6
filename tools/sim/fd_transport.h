// A transport over a file descriptor: the master side of a pseudo-terminal,
// a serial device or one end of a socket pair.
#pragma once

#include <memory>
#include <string>

#include "sim/transport.h"

namespace pelvane::sim {

class FdTransport : public Transport {
 public:
  enum class Kind {
    Stream,     // end of file or an error closes it
    PtyMaster,  // EIO and hang-up mean "no host has the slave open yet"
  };

  // Takes ownership of `fd`.
  FdTransport(int fd, Kind kind);
  ~FdTransport() override;
  FdTransport(const FdTransport&) = delete;
  FdTransport& operator=(const FdTransport&) = delete;

  ReadResult Read(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) override;
  bool Write(std::span<const std::uint8_t> bytes) override;
  void DiscardInput() override;
  void Close() override;

  int fd() const { return fd_; }

 private:
  int fd_;
  Kind kind_;
};

// A pseudo-terminal in raw mode; the path of its slave side is what a host opens.
struct Pty {
  std::unique_ptr<FdTransport> transport;
  std::string slave_path;
};

// Opens a pseudo-terminal in raw mode. Throws std::runtime_error on failure.
Pty OpenPty();

// Opens a serial device raw, 8 data bits, even parity, 1 stop bit at `baud`.
// Throws std::runtime_error on failure.
std::unique_ptr<FdTransport> OpenSerialDevice(const std::string& path, long baud);

}  // namespace pelvane::sim
