// The driver's stream to the simulator with Winsock: loopback TCP only (the
// simulator runs on the Linux side, or on the same machine).
#include <winsock2.h>
#include <ws2tcpip.h>

#include "sim_connection.h"

namespace pelvane::gpib_driver {

namespace {

SOCKET Socket(Connection connection) {
  return static_cast<SOCKET>(connection);
}

// Winsock is started once for the life of the process: the driver cannot
// know when its last caller is done.
int StartWinsock() {
  static const int failure = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  return failure;
}

bool PeerGone(int error) {
  return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAESHUTDOWN;
}

}  // namespace

int ConnectTcp(const std::string& host, std::uint16_t port, Connection* connection) {
  if (const int failure = StartWinsock(); failure != 0) return failure;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return WSAEINVAL;
  const SOCKET s =
      WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return WSAGetLastError();
  u_long nonBlocking = 1;
  // Frames are small and each waits for its answer: no coalescing delay.
  const BOOL noDelay = TRUE;
  if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ioctlsocket(s, FIONBIO, &nonBlocking) != 0 ||
      setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                 sizeof noDelay) != 0) {
    const int failure = WSAGetLastError();
    closesocket(s);
    return failure;
  }
  *connection = static_cast<Connection>(s);
  return 0;
}

int ConnectUnix(const std::string& /*path*/, Connection* /*connection*/) {
  return WSAEAFNOSUPPORT;
}

IoResult Receive(Connection connection, void* buffer, long count) {
  const int n = recv(Socket(connection), static_cast<char*>(buffer), static_cast<int>(count), 0);
  if (n > 0) return {Io::Moved, n, 0};
  if (n == 0) return {Io::Gone, 0, 0};
  const int error = WSAGetLastError();
  if (PeerGone(error)) return {Io::Gone, 0, 0};
  if (error == WSAEWOULDBLOCK || error == WSAEINTR) return {Io::Again, 0, 0};
  return {Io::Failed, 0, error};
}

IoResult Send(Connection connection, const void* bytes, long count) {
  const int n =
      send(Socket(connection), static_cast<const char*>(bytes), static_cast<int>(count), 0);
  if (n > 0) return {Io::Moved, n, 0};
  if (n == 0) return {Io::Again, 0, 0};
  const int error = WSAGetLastError();
  if (PeerGone(error)) return {Io::Gone, 0, 0};
  if (error == WSAEWOULDBLOCK || error == WSAEINTR) return {Io::Again, 0, 0};
  return {Io::Failed, 0, error};
}

int Wait(Connection connection, bool forWriting, int timeoutMs, int* error) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(Socket(connection), &set);
  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  const int ready = select(0, forWriting ? nullptr : &set, forWriting ? &set : nullptr, nullptr,
                           timeoutMs < 0 ? nullptr : &limit);
  if (ready >= 0) return ready > 0 ? 1 : 0;
  *error = WSAGetLastError();
  return -1;
}

void Close(Connection connection) {
  closesocket(Socket(connection));
}

}  // namespace pelvane::gpib_driver
