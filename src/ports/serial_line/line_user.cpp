#include "ports/serial_line/line_user.h"

#include <thread>

#include "ports/serial_line/line_errors.h"

namespace pelvane::ports::serial_line {
namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

LineUser::LineUser(SerialLine& line) : line_(line) {
  if (line_.ErrorCode() != kLineOk) return;
  settings_ = std::make_unique<LineSettings>(line_);
  settings_->Set(kUserDefaults);
  flow_ = std::make_unique<FlowSettings>(line_);
  line_.SetFlowControl(kFlowNone, kFlowNone);
}

LineUser::~LineUser() {
  flow_.reset();
  settings_.reset();
}

// Between tries the user sleeps in poll() until input comes instead of
// yielding in a loop: an idle wait costs no processor time.
int LineUser::ReadByte(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const int byte = line_.ReadByte();
    if (byte != kNoByte) return byte;
    const int left = MillisecondsLeft(deadline);
    if (left == 0 || !line_.WaitReadable(left) || line_.DeviceLost()) {
      const int last = line_.ReadByte();
      return last;
    }
  }
}

int LineUser::WriteByte(std::uint8_t byte) {
  const int code = line_.WriteByte(byte);
  if (postWriteDelay_.count() > 0) std::this_thread::sleep_for(postWriteDelay_);
  return code;
}

int LineUser::BlockRead(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) {
  if (buffer.empty()) return 0;
  const auto deadline = Clock::now() + timeout;
  std::size_t placed = static_cast<std::size_t>(line_.ReadBlock(buffer));
  while (placed < buffer.size()) {
    const int left = MillisecondsLeft(deadline);
    if (left == 0 || !line_.WaitReadable(left) || line_.DeviceLost()) break;
    placed += static_cast<std::size_t>(line_.ReadBlock(buffer.subspan(placed)));
  }
  if (placed < buffer.size()) buffer[placed] = 0;
  return static_cast<int>(placed);
}

int LineUser::BlockWrite(std::span<const std::uint8_t> bytes) {
  if (bytes.data() == nullptr) return 0;
  return line_.WriteBlock(bytes);
}

int LineUser::SetQueueSizes(int transmitSize) {
  return line_.SetQueueSizes(0, 0, transmitSize);
}

int LineUser::TransmitCount() {
  QueueStatus status;
  return line_.GetQueueStatus(&status) == kLineOk ? status.transmitCount : 0;
}

}  // namespace pelvane::ports::serial_line
