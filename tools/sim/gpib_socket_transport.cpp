#include "sim/gpib_socket_transport.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace pelvane::sim {
namespace {

using Clock = std::chrono::steady_clock;

std::runtime_error SystemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

GpibSocketTransport::GpibSocketTransport(std::string path)
    : path_(std::move(path)), address_(path_) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path_.empty() || path_.size() >= sizeof address.sun_path) {
    throw std::runtime_error("the GPIB socket path must have 1 to " +
                             std::to_string(sizeof address.sun_path - 1) + " characters: " + path_);
  }
  std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
  struct stat st {};
  if (::lstat(path_.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) throw std::runtime_error(path_ + " exists and is not a socket");
    ::unlink(path_.c_str());
  }
  Listen(AF_UNIX, &address, sizeof address, path_);
}

GpibSocketTransport::GpibSocketTransport(Tcp tcp) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(tcp.port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Listen(AF_INET, &address, sizeof address, "127.0.0.1:" + std::to_string(tcp.port));
  socklen_t length = sizeof address;
  if (::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const auto error = SystemError("cannot read the port of the GPIB socket");
    ::close(listener_);
    throw error;
  }
  address_ = "tcp:127.0.0.1:" + std::to_string(ntohs(address.sin_port));
}

void GpibSocketTransport::Listen(int family, const void* address, unsigned length,
                                 const std::string& where) {
  listener_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listener_ < 0) throw SystemError("cannot create a socket");
  // A fixed TCP port is free again at once after an earlier run.
  const int on = 1;
  if (family == AF_INET) ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(listener_, static_cast<const sockaddr*>(address), length) != 0 ||
      ::listen(listener_, 4) != 0) {
    const auto error = SystemError("cannot listen at " + where);
    ::close(listener_);
    listener_ = -1;
    throw error;
  }
}

GpibSocketTransport::~GpibSocketTransport() {
  Close();
}

void GpibSocketTransport::DropHost() {
  if (host_ >= 0) ::close(host_);
  host_ = -1;
}

ReadResult GpibSocketTransport::Read(std::span<std::uint8_t> buffer,
                                     std::chrono::milliseconds timeout) {
  if (closed_) return {ReadState::Closed, 0};
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const bool listening = host_ < 0;
    pollfd p{listening ? listener_ : host_, POLLIN, 0};
    const int ready = ::poll(&p, 1, MillisecondsLeft(deadline));
    if (ready < 0 && errno != EINTR) return {ReadState::Closed, 0};
    if (ready <= 0) return {ReadState::Timeout, 0};
    if (listening) {
      host_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      // A host that gave up before it was accepted is simply not there.
      // On TCP, answers are small and awaited one by one: no coalescing delay.
      if (host_ >= 0 && path_.empty()) {
        const int on = 1;
        ::setsockopt(host_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      }
    } else {
      const ssize_t n = ::recv(host_, buffer.data(), buffer.size(), 0);
      if (n > 0) return {ReadState::Data, static_cast<std::size_t>(n)};
      if (n == 0 || (errno != EAGAIN && errno != EINTR)) DropHost();
    }
    if (Clock::now() >= deadline) return {ReadState::Timeout, 0};
  }
}

bool GpibSocketTransport::Write(std::span<const std::uint8_t> bytes) {
  if (closed_) return false;
  std::size_t done = 0;
  while (done < bytes.size() && host_ >= 0) {
    const ssize_t n = ::send(host_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      // The host's driver reads only when its program asks for bytes.
      pollfd p{host_, POLLOUT, 0};
      ::poll(&p, 1, 1000);
    } else if (n < 0 && errno != EINTR) {
      DropHost();
    }
  }
  return true;
}

void GpibSocketTransport::DiscardInput() {
  if (host_ < 0) return;
  std::uint8_t scrap[256];
  while (::recv(host_, scrap, sizeof scrap, 0) > 0) {
  }
}

void GpibSocketTransport::Close() {
  if (closed_) return;
  closed_ = true;
  DropHost();
  if (listener_ >= 0) {
    ::close(listener_);
    listener_ = -1;
    if (!path_.empty()) ::unlink(path_.c_str());
  }
}

}  // namespace pelvane::sim
