// The thin layer between the termios line and the kernel: every system call
// the line makes on its device goes through here. The default bodies call the
// system; tests derive from it to record what the line asked for, because a
// pseudo-terminal silently forces 8 data bits, no parity and has no modem lines.
#pragma once

#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "ports/serial_line/serial_line.h"

namespace pelvane::ports::serial_line {

// Every call returns what the system call returns (-1 with errno on failure).
class TtyIo {
 public:
  virtual ~TtyIo() = default;

  virtual int Open(const char* path, int flags);
  virtual int Close(int fd);
  virtual int Stat(const char* path, struct stat* st);
  virtual int Flock(int fd, int operation);
  virtual int SetExclusive(int fd, bool exclusive);  // TIOCEXCL / TIOCNXCL

  virtual int GetAttr(int fd, termios* tio);
  virtual int SetAttr(int fd, const termios* tio);  // TCSANOW
  // A rate without a Bxxx constant, through termios2 and BOTHER; the rest of
  // the line settings are left as they are.
  virtual int SetCustomBaud(int fd, std::uint32_t baud);
  virtual int GetCustomBaud(int fd, std::uint32_t* baud);

  virtual int SetModemBits(int fd, int bits);    // TIOCMBIS
  virtual int ClearModemBits(int fd, int bits);  // TIOCMBIC

  virtual int OutputQueue(int fd, int* count);  // TIOCOUTQ
  virtual int Flush(int fd, int queue);         // tcflush
  // tcdrain: waits until the driver has sent what it holds. Bounded only when
  // the driver's queue is empty already (the last characters in the UART).
  virtual int Drain(int fd);
  // The driver's ASYNC_LOW_LATENCY flag (TIOCGSERIAL); setting or clearing
  // it leaves the driver's other serial settings as they are (TIOCSSERIAL).
  virtual int GetLowLatency(int fd, bool* on);
  virtual int SetLowLatency(int fd, bool on);
  // The first line of a sysfs attribute, or the last name of the path a
  // sysfs link leads to (a device's "driver"); false when there is none.
  virtual bool ReadAttribute(const std::string& path, std::string* text);
  virtual bool ReadLinkName(const std::string& path, std::string* name);

  virtual ssize_t Read(int fd, void* buffer, std::size_t count);
  virtual ssize_t Write(int fd, const void* buffer, std::size_t count);
  virtual int Poll(pollfd* fds, nfds_t count, int timeoutMs);
  virtual void Sleep(int milliseconds);
};

// The layer used when nobody passes another.
TtyIo& SystemTtyIo();

// The driver and the latency timer of the adapter whose sysfs device folder
// is `deviceDir` (/sys/class/tty/ttyUSB0/device), read through `io`.
AdapterFacts ReadAdapterFacts(const std::string& deviceDir, TtyIo& io);

}  // namespace pelvane::ports::serial_line
