#include "ports/serial_line/posix/tty_io.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <fstream>
#include <string_view>
#include <thread>

namespace pelvane::ports::serial_line {

// In custom_baud.cpp: <asm/termbits.h> cannot share a translation unit with <termios.h>.
int SetCustomBaudTermios2(int fd, std::uint32_t baud);
int GetCustomBaudTermios2(int fd, std::uint32_t* baud);

int TtyIo::Open(const char* path, int flags) {
  return ::open(path, flags);
}
int TtyIo::Close(int fd) {
  return ::close(fd);
}
int TtyIo::Stat(const char* path, struct stat* st) {
  return ::stat(path, st);
}
int TtyIo::Flock(int fd, int operation) {
  return ::flock(fd, operation);
}
int TtyIo::SetExclusive(int fd, bool exclusive) {
  return ::ioctl(fd, exclusive ? TIOCEXCL : TIOCNXCL);
}

int TtyIo::GetAttr(int fd, termios* tio) {
  return ::tcgetattr(fd, tio);
}
int TtyIo::SetAttr(int fd, const termios* tio) {
  return ::tcsetattr(fd, TCSANOW, tio);
}
int TtyIo::SetCustomBaud(int fd, std::uint32_t baud) {
  return SetCustomBaudTermios2(fd, baud);
}
int TtyIo::GetCustomBaud(int fd, std::uint32_t* baud) {
  return GetCustomBaudTermios2(fd, baud);
}

int TtyIo::SetModemBits(int fd, int bits) {
  return ::ioctl(fd, TIOCMBIS, &bits);
}
int TtyIo::ClearModemBits(int fd, int bits) {
  return ::ioctl(fd, TIOCMBIC, &bits);
}
int TtyIo::OutputQueue(int fd, int* count) {
  return ::ioctl(fd, TIOCOUTQ, count);
}
int TtyIo::Flush(int fd, int queue) {
  return ::tcflush(fd, queue);
}

int TtyIo::Drain(int fd) {
  return ::tcdrain(fd);
}

int TtyIo::GetLowLatency(int fd, bool* on) {
  serial_struct serial{};
  if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) return -1;
  *on = (serial.flags & ASYNC_LOW_LATENCY) != 0;
  return 0;
}

int TtyIo::SetLowLatency(int fd, bool on) {
  serial_struct serial{};
  if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) return -1;
  if (on)
    serial.flags |= ASYNC_LOW_LATENCY;
  else
    serial.flags &= ~ASYNC_LOW_LATENCY;
  return ::ioctl(fd, TIOCSSERIAL, &serial);
}

bool TtyIo::ReadAttribute(const std::string& path, std::string* text) {
  std::ifstream in(path);
  return static_cast<bool>(std::getline(in, *text));
}

bool TtyIo::ReadLinkName(const std::string& path, std::string* name) {
  char target[4096];
  const ssize_t length = ::readlink(path.c_str(), target, sizeof target);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return false;
  const std::string_view whole(target, static_cast<std::size_t>(length));
  *name = std::string(whole.substr(whole.rfind('/') + 1));
  return !name->empty();
}

ssize_t TtyIo::Read(int fd, void* buffer, std::size_t count) {
  return ::read(fd, buffer, count);
}
ssize_t TtyIo::Write(int fd, const void* buffer, std::size_t count) {
  return ::write(fd, buffer, count);
}
int TtyIo::Poll(pollfd* fds, nfds_t count, int timeoutMs) {
  return ::poll(fds, count, timeoutMs);
}
void TtyIo::Sleep(int milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

TtyIo& SystemTtyIo() {
  static TtyIo io;
  return io;
}

AdapterFacts ReadAdapterFacts(const std::string& deviceDir, TtyIo& io) {
  AdapterFacts facts;
  io.ReadLinkName(deviceDir + "/driver", &facts.driver);
  std::string timer;
  if (io.ReadAttribute(deviceDir + "/latency_timer", &timer)) {
    const char* end = timer.data() + timer.size();
    int ms = -1;
    if (std::from_chars(timer.data(), end, ms).ec == std::errc() && ms >= 0)
      facts.latencyTimerMs = ms;
  }
  return facts;
}

}  // namespace pelvane::ports::serial_line
