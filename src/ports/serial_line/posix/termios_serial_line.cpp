#include "ports/serial_line/posix/termios_serial_line.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "ports/serial_line/posix/system_error.h"

namespace pelvane::ports::serial_line {
namespace {

struct SpeedRow {
  std::uint32_t baud;
  speed_t speed;
};

constexpr SpeedRow kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

std::optional<speed_t> StandardSpeed(std::uint32_t baud) {
  for (const SpeedRow& row : kSpeeds)
    if (row.baud == baud) return row.speed;
  return std::nullopt;
}

std::optional<std::uint32_t> SpeedBaud(speed_t speed) {
  for (const SpeedRow& row : kSpeeds)
    if (row.speed == speed) return row.baud;
  return std::nullopt;
}

constexpr tcflag_t kFramingFlags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

tcflag_t FramingFlags(const LineParameters& p) {
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  tcflag_t flags = kSizes[p.dataBits - 5];
  switch (p.parity) {
    case 'O':
      flags |= PARENB | PARODD;
      break;
    case 'E':
      flags |= PARENB;
      break;
    case 'M':
      flags |= PARENB | CMSPAR | PARODD;
      break;
    case 'S':
      flags |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  // There is no setting for 1.5 stop bits on Linux. Five-bit characters
  // always ask for the longer stop (CSTOPB), which 8250-family UARTs send as
  // 1.5 stop bits with 5 data bits; other devices send 2.
  if (p.stopBits == 2 || p.dataBits == 5) flags |= CSTOPB;
  return flags;
}

LineParameters ParametersOf(tcflag_t cflag, std::uint32_t baud) {
  LineParameters p;
  p.baud = static_cast<std::int32_t>(baud);
  if (cflag & PARENB) {
    if (cflag & CMSPAR)
      p.parity = (cflag & PARODD) ? 'M' : 'S';
    else
      p.parity = (cflag & PARODD) ? 'O' : 'E';
  }
  switch (cflag & CSIZE) {
    case CS5:
      p.dataBits = 5;
      break;
    case CS6:
      p.dataBits = 6;
      break;
    case CS7:
      p.dataBits = 7;
      break;
    default:
      p.dataBits = 8;
      break;
  }
  p.stopBits = (cflag & CSTOPB) ? 2 : 1;
  return p;
}

int Remaining(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT32_MAX));
}

// How often a wait for the kernel's own output queue looks again: nothing
// signals that it has emptied (POLLOUT only tells that it has room).
constexpr int kTransmitCheckMs = 10;

}  // namespace

std::unique_ptr<SerialLine> CreateSerialLine() {
  return std::make_unique<TermiosSerialLine>(SystemTtyIo());
}

std::string TermiosSerialLine::DevicePath(const LineName& name) {
  if (!name.devicePath.empty()) return name.devicePath;
  return "/dev/ttyS" + std::to_string(name.portNumber - 1);
}

TermiosSerialLine::TermiosSerialLine(TtyIo& io) : io_(io) {}

TermiosSerialLine::~TermiosSerialLine() {
  CloseDevice();
  // Only a line that counted itself in gives its count back: a line that
  // failed because another held the port must not release the other's hold.
  if (counted_) OpenCountTable::Instance().Release(key_);
}

bool TermiosSerialLine::Fail(SystemProblem problem) {
  problem_ = std::move(problem);
  return false;
}

bool TermiosSerialLine::FailWithError(int errnum, std::string_view what) {
  return Fail(DescribeSystemError(errnum, device_, what));
}

bool TermiosSerialLine::Open(const LineName& name, const std::optional<LineParameters>& wanted) {
  device_ = DevicePath(name);
  if (name.devicePath.empty()) {
    key_.portIndex = name.portNumber - 1;
    if (!OpenCountTable::InRange(key_.portIndex))
      return Fail({ProblemKind::kMissing,
                   "COM" + std::to_string(name.portNumber) + ": no such port (COM1 to COM" +
                       std::to_string(OpenCountTable::kPorts) + ")",
                   "name the device path instead, for example /dev/ttyUSB0"});
  } else {
    struct stat st {};
    if (io_.Stat(device_.c_str(), &st) != 0) return FailWithError(errno, kStepOpen);
    if (!S_ISCHR(st.st_mode)) return FailWithError(ENOTTY, kStepOpen);
    key_.device = std::to_string(st.st_rdev);
  }
  // Settings no termios line can carry are refused before the device is
  // touched. Linux has no 4-bit characters.
  if (wanted) {
    if (const std::string fault = ParameterFault(*wanted, 5); !fault.empty())
      return Fail(RefusedParameters(device_, *wanted, fault));
  }
  if (!OpenCountTable::Instance().TryAcquire(key_))
    return Fail({ProblemKind::kBusy, device_ + ": already open in this program",
                 "close the other connection first"});
  counted_ = true;
  return OpenDevice() && Configure(wanted);
}

bool TermiosSerialLine::OpenDevice() {
  const int fd = io_.Open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return FailWithError(errno, kStepOpen);
  // TIOCEXCL keeps other users out but does not stop root; the lock does,
  // and it also covers programs that lock the device the same way.
  if (io_.Flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int errnum = errno;
    io_.Close(fd);
    return FailWithError(errnum == EWOULDBLOCK ? EBUSY : errnum, kStepOpen);
  }
  // Programs such as minicom and screen announce their use in a lock file
  // instead; a device held that way is refused, and while Pelvane holds the
  // line they find its own lock.
  const UucpLock::Outcome lock = uucpLock_.Acquire(device_);
  if (lock == UucpLock::Outcome::kForeign) {
    io_.Close(fd);
    SystemProblem problem = DescribeSystemError(EBUSY, device_, kStepOpen);
    problem.reason = device_ + ": open: its lock file " + uucpLock_.Path() + " is " +
                     uucpLock_.ForeignReason() +
                     ", so whether a program uses the device is unknown";
    problem.hint = "remove " + uucpLock_.Path() + " if no program uses " + device_;
    return Fail(std::move(problem));
  }
  if (lock == UucpLock::Outcome::kHeld) {
    io_.Close(fd);
    SystemProblem problem = DescribeSystemError(EBUSY, device_, kStepOpen);
    const std::string holder =
        (uucpLock_.HolderName().empty() ? "another program" : uucpLock_.HolderName()) + " (pid " +
        std::to_string(uucpLock_.HolderPid()) + ")";
    problem.reason = device_ + ": open: held by " + holder + ", lock file " + uucpLock_.Path();
    problem.hint = "close " + holder + " first";
    return Fail(std::move(problem));
  }
  io_.SetExclusive(fd, true);
  fd_ = fd;
  // Unknown until asked: the first write asks.
  kernelQueuedAtMost_ = INT32_MAX;
  return true;
}

bool TermiosSerialLine::Configure(const std::optional<LineParameters>& wanted) {
  if (io_.GetAttr(fd_, &saved_) != 0) return FailWithError(errno, kStepOpen);
  const std::optional<std::uint32_t> foundBaud = SpeedBaud(::cfgetospeed(&saved_));
  if (!foundBaud && io_.GetCustomBaud(fd_, &savedCustomBaud_) != 0) savedCustomBaud_ = 0;
  haveSaved_ = true;

  termios tio = saved_;
  // Raw bytes, no echo, no translation, no flow control; reads return at
  // once with what is there (VMIN 0, VTIME 0 on a non-blocking descriptor).
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~(CRTSCTS | kFramingFlags);
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  tio.c_cc[VSTART] = 0x11;
  tio.c_cc[VSTOP] = 0x13;
  std::uint32_t baud = foundBaud.value_or(savedCustomBaud_);
  std::string what = "configure";
  if (wanted) {
    baud = static_cast<std::uint32_t>(wanted->baud);
    what = "line parameters " + DescribeParameters(*wanted) + " refused";
    tio.c_cflag |= FramingFlags(*wanted);
    if (const auto speed = StandardSpeed(baud)) ::cfsetspeed(&tio, *speed);
  } else {
    // A bare device name keeps the device's own speed and framing.
    tio.c_cflag |= saved_.c_cflag & kFramingFlags;
  }
  if (io_.SetAttr(fd_, &tio) != 0) return FailWithError(errno, what);
  if (wanted && !StandardSpeed(baud) && io_.SetCustomBaud(fd_, baud) != 0)
    return FailWithError(errno, what);
  parameters_ = ParametersOf(tio.c_cflag, baud);

  // Pseudo-terminals and some adapters have no modem lines and refuse the
  // request, which changes nothing for us.
  io_.SetModemBits(fd_, TIOCM_DTR | TIOCM_RTS);
  AskForLowLatency();
  return true;
}

void TermiosSerialLine::AskForLowLatency() {
  // USB adapters hold each byte from the instrument for their latency timer
  // (16 ms by default on FTDI chips), and the handshake pays that once per
  // answer byte. Every USB serial driver accepts the request; only some act
  // on it, so what holds afterwards is read back rather than assumed.
  bool wasOn = false;
  LowLatency outcome = LowLatency::kRefused;
  if (io_.GetLowLatency(fd_, &wasOn) == 0 && (wasOn || io_.SetLowLatency(fd_, true) == 0)) {
    clearLowLatencyAtClose_ = !wasOn;
    bool isOn = false;
    outcome = io_.GetLowLatency(fd_, &isOn) == 0 && isOn ? LowLatency::kKept : LowLatency::kIgnored;
  }
  struct stat st {};
  if (io_.Stat(device_.c_str(), &st) == 0)
    adapter_ = ReadAdapterFacts("/sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                                    std::to_string(minor(st.st_rdev)) + "/device",
                                io_);
  // FTDI's driver turns the flag into a 1 ms latency timer; a timer still
  // longer did not take it.
  if (outcome == LowLatency::kKept && adapter_.latencyTimerMs > 1) outcome = LowLatency::kIgnored;
  adapter_.lowLatency = outcome;
}

void TermiosSerialLine::CloseDevice() {
  if (fd_ < 0) return;
  io_.Flush(fd_, TCIFLUSH);
  // Output is dropped only when some is left (a drain that gave up). On a
  // pseudo-terminal TCOFLUSH discards what the other side has not read yet,
  // so an unconditional flush would cut off the last bytes sent (often the
  // last acknowledgement). With nothing left, tcdrain waits for the UART's
  // last few characters and nothing more.
  if (!pending_.empty() || KernelOutputQueue() > 0)
    io_.Flush(fd_, TCOFLUSH);
  else if (!deviceLost_)
    io_.Drain(fd_);
  pending_.clear();
  if (haveSaved_) {
    io_.SetAttr(fd_, &saved_);
    if (savedCustomBaud_ != 0) io_.SetCustomBaud(fd_, savedCustomBaud_);
  }
  if (clearLowLatencyAtClose_) io_.SetLowLatency(fd_, false);
  clearLowLatencyAtClose_ = false;
  io_.ClearModemBits(fd_, TIOCM_DTR | TIOCM_RTS);
  io_.SetExclusive(fd_, false);
  io_.Close(fd_);  // also releases the lock
  uucpLock_.Release();
  fd_ = -1;
}

int TermiosSerialLine::KernelOutputQueue() {
  int count = 0;
  if (io_.OutputQueue(fd_, &count) != 0) count = 0;
  kernelQueuedAtMost_ = count;
  return count;
}

void TermiosSerialLine::PumpTransmit() {
  while (!pending_.empty()) {
    const ssize_t written = io_.Write(fd_, pending_.data(), pending_.size());
    if (written > 0) {
      kernelQueuedAtMost_ += written;
      pending_.erase(pending_.begin(), pending_.begin() + written);
      continue;
    }
    if (written < 0 && errno != EAGAIN && errno != EINTR) {
      // The device is gone or broken: what waits can never be sent.
      NoteDeviceFailure(errno);
      pending_.clear();
    }
    return;
  }
}

void TermiosSerialLine::NoteDeviceFailure(int errnum) {
  SystemProblem problem = DescribeSystemError(errnum, device_, kStepTransfer);
  if (problem.kind != ProblemKind::kVanished) return;
  problem_ = std::move(problem);
  deviceLost_ = true;
}

std::size_t TermiosSerialLine::Write(std::span<const std::uint8_t> bytes) {
  if (fd_ < 0) return 0;
  PumpTransmit();
  const auto count = static_cast<std::int64_t>(bytes.size());
  const auto pending = static_cast<std::int64_t>(pending_.size());
  const auto size = static_cast<std::int64_t>(kTransmitQueueSize);
  std::int64_t queued = pending + kernelQueuedAtMost_;
  if (queued + count > size) queued = pending + KernelOutputQueue();
  auto accepted = static_cast<std::size_t>(std::clamp<std::int64_t>(size - queued, 0, count));
  std::size_t written = 0;
  if (pending_.empty() && accepted > 0) {
    const ssize_t rc = io_.Write(fd_, bytes.data(), accepted);
    if (rc > 0) {
      written = static_cast<std::size_t>(rc);
      kernelQueuedAtMost_ += rc;
    } else if (rc < 0 && errno != EAGAIN && errno != EINTR) {
      NoteDeviceFailure(errno);
      accepted = 0;
    }
  }
  pending_.insert(pending_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(written),
                  bytes.begin() + static_cast<std::ptrdiff_t>(accepted));
  return accepted;
}

std::size_t TermiosSerialLine::Read(std::span<std::uint8_t> buffer) {
  if (fd_ < 0 || buffer.empty()) return 0;
  PumpTransmit();
  const ssize_t rc = io_.Read(fd_, buffer.data(), buffer.size());
  if (rc > 0) return static_cast<std::size_t>(rc);
  if (rc < 0 && errno != EAGAIN && errno != EINTR) NoteDeviceFailure(errno);
  return 0;
}

bool TermiosSerialLine::WaitReadable(std::chrono::milliseconds timeout) {
  if (fd_ < 0) return false;
  if (deviceLost_) {
    // The condition was reported already; sleeping out the wait keeps a
    // caller that does not stop from spinning.
    io_.Sleep(static_cast<int>(timeout.count()));
    return true;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool wantOut = !pending_.empty();
  for (;;) {
    pollfd fd{fd_, static_cast<short>(POLLIN | (wantOut ? POLLOUT : 0)), 0};
    const int rc = io_.Poll(&fd, 1, Remaining(deadline));
    if (rc < 0) {
      if (errno == EINTR) continue;
      NoteDeviceFailure(EIO);
      return true;
    }
    if (rc == 0) return false;
    if (fd.revents & (POLLERR | POLLHUP | POLLNVAL)) {
      NoteDeviceFailure(EIO);
      return true;
    }
    if (fd.revents & POLLIN) return true;
    if (fd.revents & POLLOUT) {
      // A device that reports room but takes nothing would turn this wait
      // into a spin; from then on only input ends it.
      const std::size_t before = pending_.size();
      PumpTransmit();
      wantOut = !pending_.empty() && pending_.size() < before;
    }
    if (Remaining(deadline) == 0) return false;
  }
}

bool TermiosSerialLine::WaitTransmitted(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (fd_ < 0 || deviceLost_) return false;
    PumpTransmit();
    if (pending_.empty() && KernelOutputQueue() == 0) return true;
    const int left = Remaining(deadline);
    if (left == 0) return false;
    WaitTransmitProgress(std::min(left, kTransmitCheckMs));
  }
}

void TermiosSerialLine::WaitTransmitProgress(int timeoutMs) {
  if (pending_.empty()) {
    io_.Sleep(timeoutMs);
    return;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  pollfd fd{fd_, POLLOUT, 0};
  const std::size_t before = pending_.size();
  if (io_.Poll(&fd, 1, timeoutMs) > 0) PumpTransmit();
  if (pending_.size() == before) io_.Sleep(Remaining(deadline));
}

}  // namespace pelvane::ports::serial_line
