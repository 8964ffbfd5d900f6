// The instrument's end of the project's GPIB test driver library: a stream
// socket that the driver connects to when the host opens its device (the host
// names it in PELVANE_GPIB_SOCKET): a Unix socket, or TCP on the loopback
// address for hosts that have no Unix sockets (the Windows driver under Wine).
// The bytes carry no framing of their own, just as the session's frames need
// none on the bus.
//
// One host at a time. A host that goes away is not the end of the
// instrument: like a pseudo-terminal whose terminal side is closed, the
// socket reads as a time-out until the next host connects, so one simulator
// serves one upload after another.
#pragma once

#include <cstdint>
#include <string>

#include "sim/transport.h"

namespace pelvane::sim {

class GpibSocketTransport : public Transport {
 public:
  struct Tcp {
    std::uint16_t port = 0;  // 0: any free port
  };

  // Listens at `path`. A socket left there by an earlier run is replaced; any
  // other kind of file is not touched. Throws std::runtime_error on failure.
  explicit GpibSocketTransport(std::string path);
  // Listens on 127.0.0.1 only: the bus is no service for other computers.
  // Throws std::runtime_error on failure.
  explicit GpibSocketTransport(Tcp tcp);
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

  // The value of PELVANE_GPIB_SOCKET that reaches this bus: the path, or
  // "tcp:127.0.0.1:PORT" with the port in use.
  const std::string& address() const { return address_; }

 private:
  void Listen(int family, const void* address, unsigned length, const std::string& where);
  void DropHost();

  std::string path_;  // the Unix socket's file; empty on TCP
  std::string address_;
  int listener_ = -1;
  int host_ = -1;
  bool closed_ = false;
};

}  // namespace pelvane::sim
