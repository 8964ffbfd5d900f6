#include "session/port_io.h"

#include <algorithm>
#include <utility>

#include "core/trace.h"

namespace pelvane::session {

namespace {
using std::chrono::milliseconds;

// Pause between tries on a port that cannot tell when it is ready: short
// against the protocol's times, long enough not to load the processor.
constexpr milliseconds kRetryPause{1};
// Pause before offering the rest of a block again to a full transmit queue.
constexpr milliseconds kWriteRetryPause{2};
}  // namespace

const SessionTime& SteadySessionTime() {
  static const struct final : SessionTime {
    SessionClock::time_point Now() const override { return SessionClock::now(); }
  } steady;
  return steady;
}

PortInput::PortInput(ports::IQX_Port& port, Sleeper sleep)
    : port_(port), wait_(dynamic_cast<ports::IQX_PortWait*>(&port)), sleep_(std::move(sleep)) {}

std::int32_t PortInput::Read(std::uint8_t* buffer, std::int32_t size) {
  std::int32_t placed = 0;
  if (port_.BlockRead(buffer, size, &placed) != core::Status::Ok) placed = 0;
  placed = std::clamp(placed, std::int32_t{0}, size);
  core::trace::Bytes(core::trace::Direction::kIn, buffer, static_cast<std::size_t>(placed));
  readyButEmpty_ = placed == 0 && lastWaitReady_;
  lastWaitReady_ = false;
  return placed;
}

std::int16_t PortInput::LastError() {
  std::int16_t error = 0;
  port_.GetLastError(&error);
  return error;
}

void PortInput::Wait(milliseconds limit) {
  if (limit <= milliseconds(0)) return;
  if (wait_ == nullptr || readyButEmpty_) {
    readyButEmpty_ = false;
    sleep_(wait_ == nullptr ? std::min(limit, kRetryPause) : limit);
    return;
  }
  lastWaitReady_ = wait_->WaitReadable(limit);
}

WriteOutcome WriteAll(ports::IQX_Port& port, const std::uint8_t* data, std::int32_t size,
                      milliseconds stall, const Sleeper& sleep,
                      const std::function<bool()>& stopRequested) {
  std::int32_t done = 0;
  auto lastProgress = SessionClock::now();
  while (done < size) {
    if (stopRequested && stopRequested()) return WriteOutcome::Stopped;
    std::int32_t accepted = 0;
    if (port.BlockWrite(data + done, size - done, &accepted) != core::Status::Ok) accepted = 0;
    std::int16_t error = 0;
    port.GetLastError(&error);
    if (error != 0) return WriteOutcome::PortError;
    accepted = std::clamp(accepted, std::int32_t{0}, size - done);
    if (accepted > 0) {
      core::trace::Bytes(core::trace::Direction::kOut, data + done,
                         static_cast<std::size_t>(accepted));
      done += accepted;
      lastProgress = SessionClock::now();
      continue;
    }
    if (SessionClock::now() - lastProgress >= stall) return WriteOutcome::Stalled;
    sleep(kWriteRetryPause);
  }
  return WriteOutcome::Written;
}

}  // namespace pelvane::session
