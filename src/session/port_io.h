// Reading and writing through IQX_Port without spinning. Internal to the
// session component.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "ports/iqx_port.h"

namespace pelvane::session {

using SessionClock = std::chrono::steady_clock;

// Where the session reads the time its time-outs are measured in: the steady
// clock, or in tests one that can be moved on, so that a time-out comes
// without waiting it out.
class SessionTime {
 public:
  virtual ~SessionTime() = default;
  virtual SessionClock::time_point Now() const = 0;
};
const SessionTime& SteadySessionTime();

// Sleeps for at most the given time; returns early when the caller has
// something else to do (the worker's wake signal, for example).
using Sleeper = std::function<void(std::chrono::milliseconds)>;

// Waits for input on a port. A serial port offers IQX_PortWait and its reads
// never wait, so the wait sleeps in poll(); a port without it (GPIB) waits
// inside its own BlockRead, so only a short pause is left to take here.
class PortInput {
 public:
  PortInput(ports::IQX_Port& port, Sleeper sleep);

  // One BlockRead; the number of bytes placed (0 when none came).
  std::int32_t Read(std::uint8_t* buffer, std::int32_t size);
  // The port's last error right now (0 = success).
  std::int16_t LastError();
  // Sleeps until input may be there, for at most `limit`.
  void Wait(std::chrono::milliseconds limit);

 private:
  ports::IQX_Port& port_;
  ports::IQX_PortWait* wait_;
  Sleeper sleep_;
  // A device in an error state reports itself readable while reads bring
  // nothing; without this the wait would turn into a spin.
  bool lastWaitReady_ = false;
  bool readyButEmpty_ = false;
};

enum class WriteOutcome { Written, PortError, Stalled, Stopped };

// Offers `size` bytes to the port until it has taken all of them. A write that
// the port only partly accepts (a full transmit queue) is continued after a
// short pause; `stall` without progress, or a port error, ends it.
WriteOutcome WriteAll(ports::IQX_Port& port, const std::uint8_t* data, std::int32_t size,
                      std::chrono::milliseconds stall, const Sleeper& sleep,
                      const std::function<bool()>& stopRequested);

}  // namespace pelvane::session
