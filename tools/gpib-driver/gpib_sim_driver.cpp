#include "gpib_sim_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include "ports/gpib/gpib_constants.h"

volatile int ibsta = 0;
volatile int iberr = 0;
volatile int ibcnt = 0;
volatile long ibcntl = 0;

namespace {

using namespace pelvane::ports::gpib;
using Clock = std::chrono::steady_clock;

constexpr const char* kSocketVariable = "PELVANE_GPIB_SOCKET";
constexpr const char* kTimeoutCapVariable = "PELVANE_GPIB_TIMEOUT_MS";

// Descriptors start above the board indices so that a board number passed
// where a device is meant is refused rather than taken for a device.
constexpr int kFirstDescriptor = 32;
constexpr std::size_t kMaxDevices = 32;

// Options of ibask and ibconfig that a device descriptor answers.
constexpr int kOptionPad = 0x1;
constexpr int kOptionSad = 0x2;
constexpr int kOptionTmo = 0x3;
constexpr int kOptionEot = 0x4;

// The length of each time-out code, in microseconds (TNONE: no limit).
constexpr std::array<std::int64_t, kT1000s + 1> kTimeoutMicros = {
    0,      10,     30,      100,     300,      1000,     3000,      10000,     30000,
    100000, 300000, 1000000, 3000000, 10000000, 30000000, 100000000, 300000000, 1000000000};

struct Device {
  bool used = false;
  int fd = -1;
  int pad = 0;
  int sad = 0;
  int tmo = kT10s;
  int eot = 1;
  int eos = 0;
  bool peerGone = false;  // the simulator closed its end: the device is silent
};

std::mutex g_mutex;  // guards g_devices; never held while a transfer waits
std::array<Device, kMaxDevices> g_devices;

int Finish(int status, int err = 0) {
  if ((status & kErr) != 0) iberr = err;
  ibsta = status;
  return status;
}

int FinishCount(int status, int err, long count) {
  ibcntl = count;
  ibcnt = static_cast<int>(count);
  return Finish(status, err);
}

int SystemFailure(int systemError) {
  return FinishCount(kErr, kEdvr, systemError);
}

Device* Find(int ud) {
  const int index = ud - kFirstDescriptor;
  if (index < 0 || index >= static_cast<int>(kMaxDevices)) return nullptr;
  Device& device = g_devices[static_cast<std::size_t>(index)];
  return device.used ? &device : nullptr;
}

// The limit of one transfer, or nothing for "wait without limit". The cap
// variable lets tests and demonstrations shorten every time-out.
std::optional<Clock::time_point> Deadline(int tmo) {
  std::optional<std::chrono::microseconds> limit;
  if (tmo > 0) limit = std::chrono::microseconds(kTimeoutMicros[static_cast<std::size_t>(tmo)]);
  if (const char* cap = std::getenv(kTimeoutCapVariable); cap != nullptr && *cap != '\0') {
    char* end = nullptr;
    const long ms = std::strtol(cap, &end, 10);
    if (end != cap && *end == '\0' && ms >= 0) {
      const std::chrono::microseconds capped = std::chrono::milliseconds(ms);
      if (!limit || capped < *limit) limit = capped;
    }
  }
  if (!limit) return std::nullopt;
  return Clock::now() + *limit;
}

// Milliseconds for poll(): rounded up so that a short time-out still waits.
int PollWait(const std::optional<Clock::time_point>& deadline) {
  if (!deadline) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(*deadline - Clock::now());
  if (left.count() <= 0) return 0;
  return static_cast<int>((left.count() + 999) / 1000);
}

bool Expired(const std::optional<Clock::time_point>& deadline) {
  return deadline && Clock::now() >= *deadline;
}

// Looks the device up and copies what a transfer needs, so that the transfer
// can wait without holding the lock.
struct TransferTarget {
  int fd;
  int tmo;
  bool peerGone;
};

std::optional<TransferTarget> Target(int ud) {
  std::lock_guard lock(g_mutex);
  Device* device = Find(ud);
  if (device == nullptr) return std::nullopt;
  return TransferTarget{device->fd, device->tmo, device->peerGone};
}

void MarkPeerGone(int ud) {
  std::lock_guard lock(g_mutex);
  if (Device* device = Find(ud)) device->peerGone = true;
}

const char* SocketPath() {
  const char* path = std::getenv(kSocketVariable);
  return (path != nullptr && *path != '\0') ? path : nullptr;
}

int ConnectToSimulator(const char* path, int* fd) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof address.sun_path) return ENAMETOOLONG;
  std::strcpy(address.sun_path, path);
  const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return errno;
  if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
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
  *fd = s;
  return 0;
}

int Configure(int ud, int option, int value) {
  std::lock_guard lock(g_mutex);
  Device* device = Find(ud);
  if (device == nullptr) return FinishCount(kErr, kEdvr, EBADF);
  switch (option) {
    case kOptionPad:
      if (value < 0 || value > 30) return Finish(kErr, kEarg);
      device->pad = value;
      break;
    case kOptionSad:
      if (value != 0 && (value < 0x60 || value > 0x7E)) return Finish(kErr, kEarg);
      device->sad = value;
      break;
    case kOptionTmo:
      if (value < 0 || value > kT1000s) return Finish(kErr, kEarg);
      device->tmo = value;
      break;
    case kOptionEot:
      device->eot = value != 0 ? 1 : 0;
      break;
    default:
      return Finish(kErr, kEarg);
  }
  return Finish(kCmpl);
}

}  // namespace

extern "C" {

int ibdev(int board, int pad, int sad, int tmo, int send_eoi, int eos) {
  if (board != 0) {
    FinishCount(kErr, kEneb, 0);
    return -1;
  }
  if (pad < 0 || pad > 30 || (sad != 0 && (sad < 0x60 || sad > 0x7E)) || tmo < 0 || tmo > kT1000s) {
    Finish(kErr, kEarg);
    return -1;
  }
  // Without a simulator to talk to there is no bus at all.
  const char* path = SocketPath();
  if (path == nullptr) {
    FinishCount(kErr, kEneb, 0);
    return -1;
  }
  std::lock_guard lock(g_mutex);
  for (std::size_t i = 0; i < kMaxDevices; ++i) {
    if (g_devices[i].used) continue;
    int fd = -1;
    if (const int failure = ConnectToSimulator(path, &fd); failure != 0) {
      SystemFailure(failure);
      return -1;
    }
    g_devices[i] = Device{true, fd, pad, sad, tmo, send_eoi != 0 ? 1 : 0, eos, false};
    Finish(kCmpl);
    return kFirstDescriptor + static_cast<int>(i);
  }
  FinishCount(kErr, kEdvr, EMFILE);
  return -1;
}

int ibonl(int ud, int online) {
  std::lock_guard lock(g_mutex);
  Device* device = Find(ud);
  if (device == nullptr) return FinishCount(kErr, kEdvr, EBADF);
  if (online == 0) {
    close(device->fd);
    *device = Device{};
  }
  return Finish(kCmpl);
}

int ibtmo(int ud, int tmo) {
  return Configure(ud, kOptionTmo, tmo);
}
int ibeot(int ud, int send_eoi) {
  return Configure(ud, kOptionEot, send_eoi);
}

int ibeos(int ud, int eos) {
  std::lock_guard lock(g_mutex);
  Device* device = Find(ud);
  if (device == nullptr) return FinishCount(kErr, kEdvr, EBADF);
  device->eos = eos;
  return Finish(kCmpl);
}

int ibask(int ud, int option, int* value) {
  if (value == nullptr) return Finish(kErr, kEarg);
  std::lock_guard lock(g_mutex);
  Device* device = Find(ud);
  if (device == nullptr) return FinishCount(kErr, kEdvr, EBADF);
  switch (option) {
    case kOptionPad:
      *value = device->pad;
      break;
    case kOptionSad:
      *value = device->sad;
      break;
    case kOptionTmo:
      *value = device->tmo;
      break;
    case kOptionEot:
      *value = device->eot;
      break;
    default:
      return Finish(kErr, kEarg);
  }
  return Finish(kCmpl);
}

int ibconfig(int ud, int option, int value) {
  return Configure(ud, option, value);
}

// Interface clear, device clear and go-to-local have no counterpart on the
// socket: the simulated bus is always in a clean state between messages.
int ibsic(int ud) {
  return Target(ud) ? Finish(kCmpl) : FinishCount(kErr, kEdvr, EBADF);
}
int ibclr(int ud) {
  return Target(ud) ? Finish(kCmpl) : FinishCount(kErr, kEdvr, EBADF);
}
int ibloc(int ud) {
  return Target(ud) ? Finish(kCmpl) : FinishCount(kErr, kEdvr, EBADF);
}

int ibrd(int ud, void* buffer, long count) {
  const std::optional<TransferTarget> target = Target(ud);
  if (!target) return FinishCount(kErr, kEdvr, EBADF);
  if (buffer == nullptr || count < 0) return FinishCount(kErr, kEarg, 0);
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  const auto deadline = Deadline(target->tmo);
  long got = 0;
  bool silent = target->peerGone;
  while (got < count) {
    if (silent) {
      // A device whose far end has gone says nothing more: the read lasts its
      // full time-out, as on a bus whose instrument was switched off.
      if (!deadline) return FinishCount(kErr, kEabo, got);
      std::this_thread::sleep_until(*deadline);
      break;
    }
    pollfd p{target->fd, POLLIN, 0};
    const int ready = poll(&p, 1, PollWait(deadline));
    if (ready < 0 && errno != EINTR) return FinishCount(kErr, kEdvr, errno);
    if (ready > 0) {
      const ssize_t n = recv(target->fd, bytes + got, static_cast<std::size_t>(count - got), 0);
      if (n > 0) {
        got += n;
        continue;
      }
      if (n == 0 || errno == ECONNRESET) {
        MarkPeerGone(ud);
        silent = true;
        continue;
      }
      if (errno != EAGAIN && errno != EINTR) return FinishCount(kErr, kEdvr, errno);
    }
    if (Expired(deadline)) break;
  }
  if (got < count) return FinishCount(kErr | kTimo, kEabo, got);
  return FinishCount(kCmpl, 0, got);
}

int ibwrt(int ud, const void* buffer, long count) {
  const std::optional<TransferTarget> target = Target(ud);
  if (!target) return FinishCount(kErr, kEdvr, EBADF);
  if (buffer == nullptr || count < 0) return FinishCount(kErr, kEarg, 0);
  // Nobody listens any more: a real bus reports the missing listener at once.
  if (target->peerGone) return FinishCount(kErr, kEnol, 0);
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  const auto deadline = Deadline(target->tmo);
  long sent = 0;
  while (sent < count) {
    const ssize_t n =
        send(target->fd, bytes + sent, static_cast<std::size_t>(count - sent), MSG_NOSIGNAL);
    if (n > 0) {
      sent += n;
      continue;
    }
    if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) {
      MarkPeerGone(ud);
      return FinishCount(kErr, kEnol, sent);
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return FinishCount(kErr, kEdvr, errno);
    if (Expired(deadline)) return FinishCount(kErr | kTimo, kEabo, sent);
    pollfd p{target->fd, POLLOUT, 0};
    if (poll(&p, 1, PollWait(deadline)) < 0 && errno != EINTR) {
      return FinishCount(kErr, kEdvr, errno);
    }
  }
  return FinishCount(kCmpl, 0, sent);
}

int ThreadIbsta(void) {
  return ibsta;
}
int ThreadIberr(void) {
  return iberr;
}
int ThreadIbcnt(void) {
  return ibcnt;
}
long ThreadIbcntl(void) {
  return ibcntl;
}

}  // extern "C"
