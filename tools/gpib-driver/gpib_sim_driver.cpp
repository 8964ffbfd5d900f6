#include "gpib_sim_driver.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "ports/gpib/gpib_constants.h"
#include "sim_connection.h"

volatile int ibsta = 0;
volatile int iberr = 0;
volatile int ibcnt = 0;
volatile long ibcntl = 0;

namespace {

using namespace pelvane::ports::gpib;
using namespace pelvane::gpib_driver;
using Clock = std::chrono::steady_clock;

constexpr const char* kSocketVariable = "PELVANE_GPIB_SOCKET";
constexpr const char* kTcpPrefix = "tcp:";
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
  Connection connection = kNoConnection;
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

// Milliseconds for a wait: rounded up so that a short time-out still waits.
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
  Connection connection;
  int tmo;
  bool peerGone;
};

std::optional<TransferTarget> Target(int ud) {
  std::lock_guard lock(g_mutex);
  Device* device = Find(ud);
  if (device == nullptr) return std::nullopt;
  return TransferTarget{device->connection, device->tmo, device->peerGone};
}

void MarkPeerGone(int ud) {
  std::lock_guard lock(g_mutex);
  if (Device* device = Find(ud)) device->peerGone = true;
}

const char* SimulatorAddress() {
  const char* address = std::getenv(kSocketVariable);
  return (address != nullptr && *address != '\0') ? address : nullptr;
}

// "tcp:HOST:PORT" (HOST a numeric IPv4 address) is loopback TCP; anything else
// is the path of a Unix socket.
int ConnectToSimulator(const std::string& address, Connection* connection) {
  if (address.rfind(kTcpPrefix, 0) != 0) return ConnectUnix(address, connection);
  const std::string rest = address.substr(std::strlen(kTcpPrefix));
  const auto colon = rest.rfind(':');
  if (colon == std::string::npos) return EINVAL;
  const std::string port = rest.substr(colon + 1);
  char* end = nullptr;
  const long number = std::strtol(port.c_str(), &end, 10);
  if (port.empty() || *end != '\0' || number <= 0 || number > 65535) return EINVAL;
  return ConnectTcp(rest.substr(0, colon), static_cast<std::uint16_t>(number), connection);
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
  const char* address = SimulatorAddress();
  if (address == nullptr) {
    FinishCount(kErr, kEneb, 0);
    return -1;
  }
  std::lock_guard lock(g_mutex);
  for (std::size_t i = 0; i < kMaxDevices; ++i) {
    if (g_devices[i].used) continue;
    Connection connection = kNoConnection;
    if (const int failure = ConnectToSimulator(address, &connection); failure != 0) {
      SystemFailure(failure);
      return -1;
    }
    g_devices[i] = Device{true, connection, pad, sad, tmo, send_eoi != 0 ? 1 : 0, eos, false};
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
    Close(device->connection);
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
    int error = 0;
    const int ready = Wait(target->connection, false, PollWait(deadline), &error);
    if (ready < 0) return FinishCount(kErr, kEdvr, error);
    if (ready > 0) {
      const IoResult r = Receive(target->connection, bytes + got, count - got);
      if (r.state == Io::Moved) {
        got += r.count;
        continue;
      }
      if (r.state == Io::Gone) {
        MarkPeerGone(ud);
        silent = true;
        continue;
      }
      if (r.state == Io::Failed) return FinishCount(kErr, kEdvr, r.error);
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
    const IoResult r = Send(target->connection, bytes + sent, count - sent);
    if (r.state == Io::Moved) {
      sent += r.count;
      continue;
    }
    if (r.state == Io::Gone) {
      MarkPeerGone(ud);
      return FinishCount(kErr, kEnol, sent);
    }
    if (r.state == Io::Failed) return FinishCount(kErr, kEdvr, r.error);
    if (Expired(deadline)) return FinishCount(kErr | kTimo, kEabo, sent);
    int error = 0;
    if (Wait(target->connection, true, PollWait(deadline), &error) < 0) {
      return FinishCount(kErr, kEdvr, error);
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
