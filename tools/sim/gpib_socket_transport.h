// The instrument's end of the project's GPIB test driver library: a Unix
// stream socket that the driver connects to when the host opens its device
// (the host names the socket in PELVANE_GPIB_SOCKET). The bytes carry no
// framing of their own, just as the session's frames need none on the bus.
//
// One host at a time. A host that goes away is not the end of the
// instrument: like a pseudo-terminal whose terminal side is closed, the
// socket reads as a time-out until the next host connects, so one simulator
// serves one upload after another.
#pragma once

#include <string>

#include "sim/transport.h"

namespace pelvane::sim {

class GpibSocketTransport : public Transport {
 public:
  // Listens at `path`. A socket left there by an earlier run is replaced; any
  // other kind of file is not touched. Throws std::runtime_error on failure.
  explicit GpibSocketTransport(std::string path);
  ~GpibSocketTransport() override;
  GpibSocketTransport(const GpibSocketTransport&) = delete;
  GpibSocketTransport& operator=(const GpibSocketTransport&) = delete;

  ReadResult Read(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) override;
  // Without a host the bytes are dropped, as on a bus with nobody listening;
  // false only after Close.
  bool Write(std::span<const std::uint8_t> bytes) override;
  void DiscardInput() override;
  // Stops listening and removes the socket file.
  void Close() override;

  bool has_host() const { return host_ >= 0; }

 private:
  void DropHost();

  std::string path_;
  int listener_ = -1;
  int host_ = -1;
  bool closed_ = false;
};

}  // namespace pelvane::sim
