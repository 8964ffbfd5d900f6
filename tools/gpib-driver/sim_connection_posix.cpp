// The driver's stream to the simulator with POSIX sockets.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim_connection.h"

namespace pelvane::gpib_driver {

namespace {

int Fd(Connection connection) {
  return static_cast<int>(connection);
}

// Connects a new socket of `family` to `address` and makes it non-blocking.
int ConnectSocket(int family, const sockaddr* address, socklen_t length, Connection* connection) {
  const int s = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return errno;
  if (connect(s, address, length) != 0) {
    const int saved = errno;
    close(s);
    return saved;
  }
  const int flags = fcntl(s, F_GETFL);
  if (flags < 0 || fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0) {
    const int saved = errno;
    close(s);
    return saved;
  }
  *connection = static_cast<Connection>(s);
  return 0;
}

}  // namespace

int ConnectTcp(const std::string& host, std::uint16_t port, Connection* connection) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return EINVAL;
  const int failure = ConnectSocket(AF_INET, reinterpret_cast<const sockaddr*>(&address),
                                    sizeof address, connection);
  // Frames are small and each waits for its answer: no coalescing delay.
  const int on = 1;
  if (failure == 0) setsockopt(Fd(*connection), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return failure;
}

int ConnectUnix(const std::string& path, Connection* connection) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return ENAMETOOLONG;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return ConnectSocket(AF_UNIX, reinterpret_cast<const sockaddr*>(&address), sizeof address,
                       connection);
}

IoResult Receive(Connection connection, void* buffer, long count) {
  const ssize_t n = recv(Fd(connection), buffer, static_cast<std::size_t>(count), 0);
  if (n > 0) return {Io::Moved, n, 0};
  if (n == 0 || errno == ECONNRESET) return {Io::Gone, 0, 0};
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return {Io::Again, 0, 0};
  return {Io::Failed, 0, errno};
}

IoResult Send(Connection connection, const void* bytes, long count) {
  const ssize_t n = send(Fd(connection), bytes, static_cast<std::size_t>(count), MSG_NOSIGNAL);
  if (n > 0) return {Io::Moved, n, 0};
  if (n == 0) return {Io::Again, 0, 0};
  if (errno == EPIPE || errno == ECONNRESET) return {Io::Gone, 0, 0};
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return {Io::Again, 0, 0};
  return {Io::Failed, 0, errno};
}

int Wait(Connection connection, bool forWriting, int timeoutMs, int* error) {
  pollfd p{Fd(connection), static_cast<short>(forWriting ? POLLOUT : POLLIN), 0};
  const int ready = poll(&p, 1, timeoutMs);
  if (ready >= 0) return ready > 0 ? 1 : 0;
  if (errno == EINTR) return 0;
  *error = errno;
  return -1;
}

void Close(Connection connection) {
  close(Fd(connection));
}

}  // namespace pelvane::gpib_driver
