// The driver's stream to the instrument simulator, over the system's sockets:
// a Unix socket or loopback TCP with POSIX sockets (sim_connection_posix.cpp),
// loopback TCP with Winsock (sim_connection_win32.cpp). The build picks one.
// Errors are the system's own codes (errno, WSAGetLastError), which the driver
// reports in ibcntl.
#pragma once

#include <cstdint>
#include <string>

namespace pelvane::gpib_driver {

// A connected, non-blocking socket.
using Connection = std::uintptr_t;
inline constexpr Connection kNoConnection = ~Connection{0};

// 0 and the new connection, or the system's error code.
int ConnectTcp(const std::string& host, std::uint16_t port, Connection* connection);
int ConnectUnix(const std::string& path, Connection* connection);

enum class Io {
  Moved,   // `count` bytes went through
  Again,   // nothing now; wait and try again
  Gone,    // the simulator closed its end
  Failed,  // `error` says why
};

struct IoResult {
  Io state = Io::Failed;
  long count = 0;
  int error = 0;
};

IoResult Receive(Connection connection, void* buffer, long count);
IoResult Send(Connection connection, const void* bytes, long count);

// Waits until the connection can be read (or written) or `timeoutMs` passes
// (-1: no limit). 1 when ready, 0 when the time passed or a signal cut the
// wait short, -1 with `*error` on failure.
int Wait(Connection connection, bool forWriting, int timeoutMs, int* error);

void Close(Connection connection);

}  // namespace pelvane::gpib_driver
