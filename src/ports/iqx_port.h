// The port contract: the one interface through which the session reaches the
// instrument, implemented by the serial port and the GPIB port.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/event_source.h"
#include "core/status.h"

namespace pelvane::ports {

class IQX_Port;

// Port events, raised synchronously on the thread that called the operation.
class IQX_PortEvents {
 public:
  virtual ~IQX_PortEvents() = default;
  virtual void OnReceive(IQX_Port* obj, std::int32_t lResult) = 0;
  virtual void OnSend(IQX_Port* obj, std::int32_t lResult) = 0;
};

// Every operation returns Status::Pointer when a buffer or result location is
// missing and then does nothing else; all failures of the port itself show in
// the results and in GetLastError (0 = success).
class IQX_Port {
 public:
  virtual ~IQX_Port() = default;

  virtual core::Status Close(bool* pbCloseFlag) = 0;
  virtual core::Status Open(const std::string& openParameters, bool* pbOpenFlag) = 0;
  // Places at most uiMaxSize bytes; when none is placed, returns 0 in lSize and
  // sets pucBuffer[0] to 0.
  virtual core::Status BlockRead(std::uint8_t* pucBuffer, std::int32_t uiMaxSize,
                                 std::int32_t* lSize) = 0;
  // lSize is the number of bytes accepted; fewer than uiMaxSize means the rest
  // was not sent.
  virtual core::Status BlockWrite(const std::uint8_t* pucBuffer, std::int32_t uiMaxSize,
                                  std::int32_t* lSize) = 0;
  virtual core::Status GetLastErrorString(std::string* lastError) = 0;
  virtual core::Status GetLastError(std::int16_t* piLastError) = 0;

  virtual core::Status Advise(IQX_PortEvents* listener, core::Cookie* cookie) = 0;
  virtual core::Status Unadvise(core::Cookie cookie) = 0;
};

// Offered beside IQX_Port (found with dynamic_cast) by ports whose reads never
// wait, so that a caller can sleep until input is there instead of spinning.
class IQX_PortWait {
 public:
  virtual ~IQX_PortWait() = default;
  // True when a BlockRead would now place at least one byte, or the device
  // reports a condition that BlockRead will turn into an error; false when
  // `timeout` passed first. A closed port returns false at once.
  virtual bool WaitReadable(std::chrono::milliseconds timeout) = 0;
  // Returns once `bytes` written from `writeStart` on have left the host: the
  // transmit queues are empty and their wire time at the line's speed has
  // passed, because some drivers (USB adapters, pseudo-terminals) report an
  // empty queue while the bytes are still on their way. The queues get at
  // most `drainLimit` beyond the wire time. A port without a line speed
  // returns at once.
  virtual void WaitSent(std::size_t /*bytes*/, std::chrono::steady_clock::time_point /*writeStart*/,
                        std::chrono::milliseconds /*drainLimit*/) {}
};

}  // namespace pelvane::ports
