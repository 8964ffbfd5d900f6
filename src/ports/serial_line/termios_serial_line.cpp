#include "ports/serial_line/termios_serial_line.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <optional>

#include "ports/serial_line/line_errors.h"

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

constexpr char kParityLetters[] = {'N', 'O', 'E', 'M', 'S'};

int ParityValue(char letter) {
  for (int i = 0; i < 5; ++i)
    if (kParityLetters[i] == letter) return i;
  return -1;
}

int DataBitsOf(tcflag_t cflag) {
  switch (cflag & CSIZE) {
    case CS5:
      return 5;
    case CS6:
      return 6;
    case CS7:
      return 7;
    default:
      return 8;
  }
}

char ParityOf(tcflag_t cflag) {
  if (!(cflag & PARENB)) return 'N';
  if (cflag & CMSPAR) return (cflag & PARODD) ? 'M' : 'S';
  return (cflag & PARODD) ? 'O' : 'E';
}

int ModemStatusOf(int bits) {
  int status = 0;
  if (bits & TIOCM_CTS) status |= kModemCts;
  if (bits & TIOCM_DSR) status |= kModemDsr;
  if (bits & TIOCM_RI) status |= kModemRing;
  if (bits & TIOCM_CD) status |= kModemCarrier;
  return status;
}

int Remaining(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

}  // namespace

std::string LineName::Device() const {
  if (!devicePath.empty()) return devicePath;
  return "/dev/ttyS" + std::to_string(portNumber - 1);
}

TermiosSerialLine::TermiosSerialLine(TtyIo& io, LineName name, int receiveQueue, int transmitQueue)
    : io_(io), name_(std::move(name)), receiveSize_(receiveQueue), transmitSize_(transmitQueue) {
  OpenAndConfigure();
}

TermiosSerialLine::~TermiosSerialLine() {
  if (fd_ >= 0) CloseDevice();
  // Only a line that counted itself in gives its count back: a line that
  // failed because another held the port must not release the other's hold.
  if (counted_) OpenCountTable::Instance().Release(key_);
}

int TermiosSerialLine::RequireOpen() {
  if (fd_ >= 0) return kLineOk;
  return Fail(kGeneralFailure);
}

int TermiosSerialLine::MapSystemError(int errnum, std::string_view what) {
  SetProblem(DescribeSystemError(errnum, name_.Device(), what));
  return Fail(Problem().lineCode);
}

int TermiosSerialLine::OpenAndConfigure() {
  const std::string device = name_.Device();
  if (name_.devicePath.empty()) {
    key_.portIndex = name_.portNumber - 1;
    if (!OpenCountTable::InRange(key_.portIndex)) {
      SetProblem({kGeneralFailure, ProblemKind::kMissing,
                  "COM" + std::to_string(name_.portNumber) + ": no such port (COM1 to COM" +
                      std::to_string(OpenCountTable::kPorts) + ")",
                  "name the device path instead, for example /dev/ttyUSB0"});
      return Fail(kGeneralFailure);
    }
  } else {
    struct stat st {};
    if (io_.Stat(device.c_str(), &st) != 0) return MapSystemError(errno, "open");
    if (!S_ISCHR(st.st_mode)) return MapSystemError(ENOTTY, "open");
    key_.device = st.st_rdev;
  }
  if (!OpenCountTable::Instance().TryAcquire(key_)) {
    SetProblem({kAlreadyOpen, ProblemKind::kBusy, device + ": already open in this program",
                "close the other connection first"});
    return Fail(kAlreadyOpen);
  }
  counted_ = true;
  if (const int code = OpenDevice(); code != kLineOk) return code;

  termios tio{};
  if (io_.GetAttr(fd_, &tio) != 0) return MapSystemError(errno, "read line settings");
  // Raw bytes, no echo, no translation; reads return at once with what is
  // there (VMIN 0, VTIME 0 on a non-blocking descriptor).
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~(CRTSCTS | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
  tio.c_cflag |= CS8;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  tio.c_cc[VSTART] = 0x11;
  tio.c_cc[VSTOP] = 0x13;
  ::cfsetspeed(&tio, B19200);
  xonLimit_ = receiveSize_ / 4;
  xoffLimit_ = 128;
  if (const int code = ApplyTermios(tio, 19200, "configure"); code != kLineOk) return code;
  baud_ = 19200;
  parity_ = 'N';

  // Pseudo-terminals and some adapters have no modem lines: the request is
  // remembered even where the device cannot carry it out.
  io_.SetModemBits(fd_, TIOCM_DTR | TIOCM_RTS);
  dtr_ = rts_ = true;
  // USB adapters otherwise add a few milliseconds to every turnaround; many
  // drivers refuse the request, which changes nothing for us.
  io_.RequestLowLatency(fd_);
  return kLineOk;
}

int TermiosSerialLine::OpenDevice() {
  const std::string device = name_.Device();
  const int fd = io_.Open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return MapSystemError(errno, "open");
  // TIOCEXCL keeps other users out but does not stop root; the lock does,
  // and it also covers programs that lock the device the same way.
  if (io_.Flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int errnum = errno;
    io_.Close(fd);
    return MapSystemError(errnum == EWOULDBLOCK ? EBUSY : errnum, "open");
  }
  // Programs such as minicom and screen announce their use in a lock file
  // instead; a device held that way is refused, and while Pelvane holds the
  // line they find its own lock.
  if (uucpLock_.Acquire(device) == UucpLock::Outcome::kHeld) {
    io_.Close(fd);
    SystemProblem problem = DescribeSystemError(EBUSY, device, "open");
    const std::string holder =
        (uucpLock_.HolderName().empty() ? "another program" : uucpLock_.HolderName()) + " (pid " +
        std::to_string(uucpLock_.HolderPid()) + ")";
    problem.reason = device + ": open: held by " + holder + ", lock file " + uucpLock_.Path();
    problem.hint = "close " + holder + " first";
    SetProblem(problem);
    return Fail(problem.lineCode);
  }
  io_.SetExclusive(fd, true);
  fd_ = fd;
  deviceLost_ = false;
  // Unknown until asked: the first write asks.
  kernelQueuedAtMost_ = INT32_MAX;
  return kLineOk;
}

int TermiosSerialLine::CloseDevice() {
  if (fd_ < 0) return kLineOk;
  io_.Flush(fd_, TCIFLUSH);
  // Output is dropped only when some is left (a drain that gave up). On a
  // pseudo-terminal TCOFLUSH discards what the other side has not read yet,
  // so an unconditional flush would cut off the last bytes sent.
  if (!pending_.empty() || KernelOutputQueue() > 0) io_.Flush(fd_, TCOFLUSH);
  pending_.clear();
  io_.ClearModemBits(fd_, TIOCM_DTR | TIOCM_RTS);
  dtr_ = rts_ = false;
  io_.SetExclusive(fd_, false);
  const int rc = io_.Close(fd_);  // also releases the lock
  uucpLock_.Release();
  fd_ = -1;
  return rc == 0 ? kLineOk : Fail(kCloseFailed);
}

int TermiosSerialLine::ApplyTermios(const termios& tio, std::uint32_t baud, std::string_view what) {
  if (io_.SetAttr(fd_, &tio) != 0) return MapSystemError(errno, what);
  if (!StandardSpeed(baud) && io_.SetCustomBaud(fd_, baud) != 0) {
    const int errnum = errno;
    io_.SetAttr(fd_, &tio_);
    return MapSystemError(errnum, "set baud rate " + std::to_string(baud));
  }
  tio_ = tio;
  return kLineOk;
}

int TermiosSerialLine::RefreshStatus() {
  if (const int code = RequireOpen(); code != kLineOk) return code;
  int bits = 0;
  modemStatus_ = io_.GetModemBits(fd_, &bits) == 0 ? ModemStatusOf(bits) : 0;
  TtyIo::ErrorCounts counts;
  if (io_.GetErrorCounts(fd_, &counts) == 0) {
    if (haveCounts_) {
      if (counts.frame != counts_.frame) lineErrors_ |= 1u << kBitFramingError;
      if (counts.overrun != counts_.overrun) lineErrors_ |= 1u << kBitOverrun;
      if (counts.parity != counts_.parity) lineErrors_ |= 1u << kBitParityError;
      if (counts.brk != counts_.brk) lineErrors_ |= 1u << kBitBreakReceived;
      if (counts.bufferOverrun != counts_.bufferOverrun) lineErrors_ |= 1u << kBitReceiveOverflow;
    }
    counts_ = counts;
    haveCounts_ = true;
  }
  return kLineOk;
}

int TermiosSerialLine::KernelOutputQueue() {
  int count = 0;
  if (io_.OutputQueue(fd_, &count) != 0) count = 0;
  kernelQueuedAtMost_ = count;
  return count;
}

int TermiosSerialLine::GetQueueStatus(QueueStatus* status) {
  if (const int code = RefreshStatus(); code != kLineOk) return code;
  PumpTransmit();
  *status = {};
  io_.InputQueue(fd_, &status->receiveCount);
  status->receiveSize = receiveSize_;
  status->transmitCount = static_cast<int>(pending_.size()) + KernelOutputQueue();
  status->transmitSize = transmitSize_;
  if ((tio_.c_cflag & CRTSCTS) && !(modemStatus_ & kModemCts) && status->transmitCount > 0)
    status->flags |= kTransmitHeld;
  return kLineOk;
}

int TermiosSerialLine::SetQueueSizes(int receiveSize, int xoffLimit, int transmitSize) {
  if (const int code = RequireOpen(); code != kLineOk) return code;
  io_.Flush(fd_, TCIOFLUSH);
  pending_.clear();
  // The kernel's queues cannot be resized; the sizes bound what the line
  // accepts (transmit) and set the software flow-control limits.
  if (receiveSize != 0) receiveSize_ = receiveSize & 0xFFFF;
  if (transmitSize != 0) transmitSize_ = transmitSize & 0xFFFF;
  xonLimit_ = receiveSize / 4;
  if (xoffLimit != 0) xoffLimit_ = xoffLimit;
  io_.Flush(fd_, TCIOFLUSH);
  return ApplyTermios(tio_, baud_, "set queue sizes");
}

int TermiosSerialLine::SetFlowControl(int type, int kind) {
  if (const int code = RequireOpen(); code != kLineOk) return code;
  termios tio = tio_;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  tio.c_cflag &= ~CRTSCTS;
  switch (type) {
    case kFlowNone:
      break;
    case kFlowTypeXonXoff:
      tio.c_iflag |= IXOFF;
      break;
    // Linux couples RTS and CTS in one setting and has no DTR handshake.
    case kFlowTypeRts:
      tio.c_cflag |= CRTSCTS;
      break;
    case kFlowTypeDtr:
    case kFlowTypeUnsupported:
      return Fail(kNotSupported);
    default:
      return Fail(kUnknownFlowType);
  }
  switch (kind) {
    case kFlowNone:
      break;
    case kFlowKindXonXoff:
      tio.c_iflag |= IXON;
      break;
    case kFlowKindCts:
      tio.c_cflag |= CRTSCTS;
      break;
    // Linux has no DSR output flow control.
    case kFlowKindDsr:
    case kFlowKindUnsupported:
      return Fail(kNotSupported);
    default:
      return Fail(kUnknownFlowKind);
  }
  if (const int code = ApplyTermios(tio, baud_, "set flow control"); code != kLineOk) return code;
  flowType_ = type;
  flowKind_ = kind;
  return kLineOk;
}

int TermiosSerialLine::GetFlowControl(int* type, int* kind) {
  *type = flowType_;
  *kind = flowKind_;
  return kLineOk;
}

int TermiosSerialLine::LineBit(int code, int value) {
  auto modemLine = [&](bool& state, int bit) {
    if (fd_ >= 0 && (value == 0 || value == 1)) {
      if (value == 1)
        io_.SetModemBits(fd_, bit);
      else
        io_.ClearModemBits(fd_, bit);
      state = value == 1;
    }
    return state ? 1 : 0;
  };
  auto modemStatus = [&](int mask) {
    RefreshStatus();
    return (modemStatus_ & mask) ? 1 : 0;
  };
  switch (code) {
    case kBitDtr:
      return modemLine(dtr_, TIOCM_DTR);
    case kBitRts:
      return modemLine(rts_, TIOCM_RTS);
    case kBitBreak:  // the line never sends a break
      return 0;
    case kBitCts:
      return modemStatus(kModemCts);
    case kBitDsr:
      return modemStatus(kModemDsr);
    case kBitRing:
      return modemStatus(kModemRing);
    case kBitCarrier:
      return modemStatus(kModemCarrier);
    case kBitFirstHold:
    case kBitFirstHold + 1:
    case kBitFirstHold + 2:
    case kBitLastHold:
      return 0;
    case kBitOverrun:
    case kBitParityError:
    case kBitFramingError:
    case kBitBreakReceived:
    case kBitReceiveOverflow:
      RefreshStatus();
      return (lineErrors_ >> code) & 1u;
    default:
      return kBitUnknown;
  }
}

int TermiosSerialLine::SetLineParameters(const LineParameters& p) {
  // Everything is checked before anything changes, so a refused set leaves
  // the line exactly as it was.
  const int parity = ParityValue(p.parity);
  if (parity < 0) return Fail(kBadParity);
  // Linux has no 4-bit character size.
  if (p.dataBits < 5 || p.dataBits > 8) return Fail(kBadDataBits);
  if (p.stopBits != 1 && p.stopBits != 2) return Fail(kBadStopBits);
  if (const int code = RequireOpen(); code != kLineOk) return code;
  if (p.baud <= 0) return MapSystemError(EINVAL, "set baud rate " + std::to_string(p.baud));

  termios tio = tio_;
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  tio.c_cflag |= kSizes[p.dataBits - 5];
  switch (p.parity) {
    case 'O':
      tio.c_cflag |= PARENB | PARODD;
      break;
    case 'E':
      tio.c_cflag |= PARENB;
      break;
    case 'M':
      tio.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case 'S':
      tio.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  // There is no setting for 1.5 stop bits on Linux. Five-bit characters
  // always ask for the longer stop (CSTOPB), which 8250-family UARTs send as
  // 1.5 stop bits with 5 data bits; other devices send 2.
  if (p.stopBits == 2 || p.dataBits == 5) tio.c_cflag |= CSTOPB;
  const auto baud = static_cast<std::uint32_t>(p.baud);
  if (const auto speed = StandardSpeed(baud)) ::cfsetspeed(&tio, *speed);
  if (const int code = ApplyTermios(tio, baud, "set line parameters"); code != kLineOk) return code;
  baud_ = baud;
  parity_ = p.parity;
  return kLineOk;
}

int TermiosSerialLine::GetLineParameters(LineParameters* p) {
  if (const int code = RequireOpen(); code != kLineOk) return code;
  termios tio{};
  if (io_.GetAttr(fd_, &tio) != 0) return MapSystemError(errno, "read line settings");
  std::uint32_t baud = 0;
  if (const auto standard = SpeedBaud(::cfgetospeed(&tio)))
    baud = *standard;
  else if (io_.GetCustomBaud(fd_, &baud) != 0)
    baud = baud_;
  p->baud = static_cast<std::int32_t>(baud);
  p->parity = ParityOf(tio.c_cflag);
  p->dataBits = DataBitsOf(tio.c_cflag);
  p->stopBits = (tio.c_cflag & CSTOPB) ? 2 : 1;
  return kLineOk;
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
  lineErrors_ |= 1u << kBitReceiveOverflow;
  if (errnum == EIO || errnum == ENXIO || errnum == ENODEV || errnum == EBADF) {
    deviceLost_ = true;
    SetProblem(DescribeSystemError(errnum, name_.Device(), "transfer"));
  }
}

int TermiosSerialLine::WriteBlock(std::span<const std::uint8_t> bytes) {
  if (fd_ < 0) {
    Fail(kGeneralFailure);
    return 0;
  }
  PumpTransmit();
  const int count = static_cast<int>(std::min<std::size_t>(bytes.size(), INT32_MAX));
  const auto pending = static_cast<std::int64_t>(pending_.size());
  std::int64_t queued = pending + kernelQueuedAtMost_;
  if (queued + count > transmitSize_) queued = pending + KernelOutputQueue();
  const auto room = static_cast<int>(std::max<std::int64_t>(0, transmitSize_ - queued));
  int accepted = std::min(count, room);
  std::size_t written = 0;
  if (pending_.empty() && accepted > 0) {
    const ssize_t rc = io_.Write(fd_, bytes.data(), static_cast<std::size_t>(accepted));
    if (rc > 0) {
      written = static_cast<std::size_t>(rc);
      kernelQueuedAtMost_ += rc;
    } else if (rc < 0 && errno != EAGAIN && errno != EINTR) {
      NoteDeviceFailure(errno);
      accepted = 0;
    }
  }
  pending_.insert(pending_.end(), bytes.begin() + written, bytes.begin() + accepted);
  if (accepted < count) Fail(kShortWrite);
  return accepted;
}

int TermiosSerialLine::WriteByte(std::uint8_t byte) {
  return WriteBlock({&byte, 1}) == 1 ? kLineOk : ErrorCode();
}

int TermiosSerialLine::WriteText(std::string_view text) {
  const std::span bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  return WriteBlock(bytes) == static_cast<int>(text.size()) ? kLineOk : ErrorCode();
}

int TermiosSerialLine::SendByteAhead(std::uint8_t byte) {
  if (const int code = RequireOpen(); code != kLineOk) return code;
  // Straight to the kernel, past whatever waits in the line's own queue.
  if (io_.Write(fd_, &byte, 1) != 1) return Fail(kGeneralFailure);
  ++kernelQueuedAtMost_;
  return kLineOk;
}

int TermiosSerialLine::ReadBlock(std::span<std::uint8_t> buffer) {
  if (fd_ < 0 || buffer.empty()) return 0;
  PumpTransmit();
  const ssize_t rc = io_.Read(fd_, buffer.data(), buffer.size());
  if (rc > 0) return static_cast<int>(rc);
  if (rc < 0 && errno != EAGAIN && errno != EINTR) NoteDeviceFailure(errno);
  return 0;
}

int TermiosSerialLine::ReadByte() {
  std::uint8_t byte = 0;
  return ReadBlock({&byte, 1}) == 1 ? byte : kNoByte;
}

int TermiosSerialLine::Purge(int direction, int count) {
  if (const int code = RequireOpen(); code != kLineOk) return code;
  if (direction == 1) {
    pending_.clear();
    return io_.Flush(fd_, TCOFLUSH) == 0 ? kLineOk : MapSystemError(errno, "purge");
  }
  if (count == 0) return io_.Flush(fd_, TCIFLUSH) == 0 ? kLineOk : MapSystemError(errno, "purge");
  std::uint8_t scratch[256];
  int dropped = 0;
  while (dropped < count) {
    const int want = std::min<int>(count - dropped, sizeof scratch);
    const int got = ReadBlock({scratch, static_cast<std::size_t>(want)});
    if (got <= 0) break;
    dropped += got;
  }
  // A full count tells the caller that more may still be waiting.
  return dropped == count ? kGeneralFailure : kLineOk;
}

void TermiosSerialLine::StatusDump(const std::function<void(std::string_view)>& sink) {
  QueueStatus queues;
  if (GetQueueStatus(&queues) != kLineOk) queues = {};
  char line[160];
  const int parityValue = ParityValue(ParityOf(tio_.c_cflag));
  const int stopBits = (tio_.c_cflag & CSTOPB) ? 2 : 1;
  std::snprintf(line, sizeof line,
                "Port type: Linux termios  BaudRate: %-6u  ByteSize: %1d  Parity: %1d", baud_,
                DataBitsOf(tio_.c_cflag), parityValue);
  sink(line);
  std::snprintf(line, sizeof line, "StopBits: %1d  fBinary: %1d  fRtsControl: %1d", stopBits, 1,
                rts_ ? 1 : 0);
  sink(line);
  std::snprintf(
      line, sizeof line,
      "Parity: %1d  OutCtsFlow: %1d  OutDsrFlow: %1d  DtrControl: %1d  OutX: %1d  InX: %1d",
      (tio_.c_cflag & PARENB) ? 1 : 0, (tio_.c_cflag & CRTSCTS) ? 1 : 0, 0, dtr_ ? 1 : 0,
      (tio_.c_iflag & IXON) ? 1 : 0, (tio_.c_iflag & IXOFF) ? 1 : 0);
  sink(line);
  std::snprintf(line, sizeof line, "Null: %1d  XonChar: %02x  XoffChar: %02x", 0, tio_.c_cc[VSTART],
                tio_.c_cc[VSTOP]);
  sink(line);
  std::snprintf(line, sizeof line, "XonLim: %-5u XoffLim: %-5u EofChr: %02x  EvtChr: %02x",
                static_cast<unsigned>(xonLimit_), static_cast<unsigned>(xoffLimit_), 0, 0);
  sink(line);
  std::snprintf(line, sizeof line,
                "RX sz/ct: %5d/%-5d  TX sz/ct: %5d/%-5d  BLOCK SENT:%d  BLOCK RECEIVED:%d",
                queues.receiveSize, queues.receiveCount, queues.transmitSize, queues.transmitCount,
                (queues.flags & kXoffSent) ? 1 : 0, (queues.flags & kTransmitHeld) ? 1 : 0);
  sink(line);
}

bool TermiosSerialLine::WaitReadable(int timeoutMs) {
  if (fd_ < 0) return false;
  if (deviceLost_) {
    // The condition was reported already; sleeping out the wait keeps a
    // caller that does not stop from spinning.
    io_.Sleep(timeoutMs);
    return true;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
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

void TermiosSerialLine::FinishSending() {
  // Only with nothing queued, so that tcdrain waits for the UART's last few
  // characters and nothing more; closing flushes the queues, which would
  // otherwise cut off the final bytes (often the last acknowledgement).
  if (fd_ < 0 || deviceLost_ || !pending_.empty() || KernelOutputQueue() > 0) return;
  io_.Drain(fd_);
}

void TermiosSerialLine::WaitTransmitProgress(int timeoutMs) {
  if (fd_ < 0) return;
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
