// termios2 lives in the kernel's own headers, which clash with glibc's
// <termios.h>; this file therefore includes nothing else of the line.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstdint>

namespace pelvane::ports::serial_line {

int SetCustomBaudTermios2(int fd, std::uint32_t baud) {
  termios2 tio{};
  if (::ioctl(fd, TCGETS2, &tio) != 0) return -1;
  tio.c_cflag &= ~CBAUD;
  tio.c_cflag |= BOTHER;
  tio.c_cflag &= ~(CBAUD << IBSHIFT);
  tio.c_cflag |= BOTHER << IBSHIFT;
  tio.c_ispeed = baud;
  tio.c_ospeed = baud;
  return ::ioctl(fd, TCSETS2, &tio);
}

int GetCustomBaudTermios2(int fd, std::uint32_t* baud) {
  termios2 tio{};
  if (::ioctl(fd, TCGETS2, &tio) != 0) return -1;
  *baud = tio.c_ospeed;
  return 0;
}

}  // namespace pelvane::ports::serial_line
