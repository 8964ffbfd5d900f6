#include "sim/fd_transport.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace pelvane::sim {
namespace {

// While no host holds the slave side open, the master reports a hang-up at
// once on every poll; this pause keeps that wait from spinning.
constexpr std::chrono::milliseconds kNoHostPause{20};

std::runtime_error SystemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

void SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    throw SystemError("cannot make the descriptor non-blocking");
  }
}

speed_t SpeedOf(long baud) {
  switch (baud) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    case 460800:
      return B460800;
    case 921600:
      return B921600;
    default:
      return B0;
  }
}

}  // namespace

FdTransport::FdTransport(int fd, Kind kind) : fd_(fd), kind_(kind) {}

FdTransport::~FdTransport() {
  Close();
}

ReadResult FdTransport::Read(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) {
  if (fd_ < 0) return {ReadState::Closed, 0};
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd_, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
    if (ready < 0) {
      if (errno == EINTR) return {ReadState::Timeout, 0};
      return {ReadState::Closed, 0};
    }
    if (ready == 0) return {ReadState::Timeout, 0};
    if (p.revents & POLLIN) {
      const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
      if (n > 0) return {ReadState::Data, static_cast<std::size_t>(n)};
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (kind_ == Kind::Stream) return {ReadState::Closed, 0};
      // A pty master reads EIO once the last holder of the slave has closed it.
    } else if (kind_ == Kind::Stream && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
      return {ReadState::Closed, 0};
    }
    if (kind_ == Kind::PtyMaster) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) return {ReadState::Timeout, 0};
      std::this_thread::sleep_for(
          std::min<std::chrono::steady_clock::duration>(kNoHostPause, deadline - now));
      if (std::chrono::steady_clock::now() >= deadline) return {ReadState::Timeout, 0};
    }
  }
}

bool FdTransport::Write(std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    if (fd_ < 0) return false;
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      // The host is not reading fast enough; wait until the line drains.
      pollfd p{fd_, POLLOUT, 0};
      if (poll(&p, 1, 1000) < 0 && errno != EINTR) return false;
      continue;
    }
    return false;
  }
  return true;
}

void FdTransport::DiscardInput() {
  if (fd_ < 0) return;
  if (tcflush(fd_, TCIFLUSH) == 0) return;
  std::uint8_t scrap[256];
  while (::read(fd_, scrap, sizeof scrap) > 0) {
  }
}

void FdTransport::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

Pty OpenPty() {
  const int fd = posix_openpt(O_RDWR | O_NOCTTY);
  if (fd < 0) throw SystemError("cannot open a pseudo-terminal");
  auto transport = std::make_unique<FdTransport>(fd, FdTransport::Kind::PtyMaster);
  if (grantpt(fd) != 0 || unlockpt(fd) != 0) throw SystemError("cannot unlock the pseudo-terminal");
  const char* name = ptsname(fd);
  if (name == nullptr) throw SystemError("cannot name the pseudo-terminal");
  // Raw from the start: an echoing line discipline would hand the instrument's
  // own answers back to it before a host has set the line up.
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) throw SystemError("cannot read the pseudo-terminal settings");
  cfmakeraw(&tio);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    throw SystemError("cannot set the pseudo-terminal to raw mode");
  }
  SetNonBlocking(fd);
  return Pty{std::move(transport), name};
}

std::unique_ptr<FdTransport> OpenSerialDevice(const std::string& path, long baud) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) throw SystemError("cannot open " + path);
  auto transport = std::make_unique<FdTransport>(fd, FdTransport::Kind::Stream);
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) throw SystemError("cannot read the settings of " + path);
  cfmakeraw(&tio);
  tio.c_cflag |= PARENB | CLOCAL | CREAD;
  tio.c_cflag &= ~(PARODD | CSTOPB | CSIZE | CRTSCTS);
  tio.c_cflag |= CS8;
  const speed_t speed = SpeedOf(baud);
  if (speed == B0) throw std::runtime_error("unsupported baud rate " + std::to_string(baud));
  cfsetispeed(&tio, speed);
  cfsetospeed(&tio, speed);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) throw SystemError("cannot set up " + path);
  return transport;
}

}  // namespace pelvane::sim
