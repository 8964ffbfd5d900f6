#include "ports/serial_line/posix/tty_io.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
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

int TtyIo::RequestLowLatency(int fd) {
  serial_struct serial{};
  if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) return -1;
  if (serial.flags & ASYNC_LOW_LATENCY) return 0;
  serial.flags |= ASYNC_LOW_LATENCY;
  return ::ioctl(fd, TIOCSSERIAL, &serial);
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

}  // namespace pelvane::ports::serial_line
