// A TtyIo that passes every call to the system and records what the line
// asked for: a pseudo-terminal accepts but ignores parity, character size
// and modem lines. Individual calls can be made to fail or to hold back.
#pragma once

#include <cerrno>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ports/serial_line/posix/tty_io.h"

namespace pelvane::ports::test {

class RecordingTtyIo : public serial_line::TtyIo {
 public:
  int Open(const char* path, int flags) override {
    opened.emplace_back(path);
    if (openErrno) {
      errno = *openErrno;
      return -1;
    }
    const auto it = redirect.find(path);
    return TtyIo::Open(it == redirect.end() ? path : it->second.c_str(), flags);
  }
  int SetAttr(int fd, const termios* tio) override {
    applied.push_back(*tio);
    return TtyIo::SetAttr(fd, tio);
  }
  int SetCustomBaud(int fd, std::uint32_t baud) override {
    customBauds.push_back(baud);
    return TtyIo::SetCustomBaud(fd, baud);
  }
  int SetModemBits(int fd, int bits) override {
    modemRaised |= bits;
    modemDropped &= ~bits;
    TtyIo::SetModemBits(fd, bits);
    return 0;
  }
  int ClearModemBits(int fd, int bits) override {
    modemDropped |= bits;
    modemRaised &= ~bits;
    TtyIo::ClearModemBits(fd, bits);
    return 0;
  }
  int OutputQueue(int fd, int* count) override {
    ++outputQueueQuestions;
    if (fakeOutputQueue) {
      *count = *fakeOutputQueue;
      return 0;
    }
    return TtyIo::OutputQueue(fd, count);
  }
  ssize_t Write(int fd, const void* buffer, std::size_t count) override {
    if (writeLimit) {
      if (*writeLimit == 0) {
        errno = EAGAIN;
        return -1;
      }
      count = std::min(count, *writeLimit);
    }
    return TtyIo::Write(fd, buffer, count);
  }

  int Poll(pollfd* fds, nfds_t count, int timeoutMs) override {
    ++polls;
    return TtyIo::Poll(fds, count, timeoutMs);
  }
  // A pseudo-terminal refuses both unless `lowLatency` plays a driver's flag.
  int GetLowLatency(int fd, bool* on) override {
    if (!lowLatency) return TtyIo::GetLowLatency(fd, on);
    *on = *lowLatency;
    return 0;
  }
  int SetLowLatency(int fd, bool on) override {
    lowLatencySets.push_back(on);
    if (!lowLatency) return TtyIo::SetLowLatency(fd, on);
    if (lowLatencyRefused) {
      errno = EINVAL;
      return -1;
    }
    if (!lowLatencyIgnored) {
      lowLatency = on;
      // FTDI's driver turns the flag into its latency timer.
      if (ftdiTimerFollows) sysfs["latency_timer"] = on ? "1" : "16";
    }
    return 0;
  }
  // The device's sysfs files by their last name ("driver", "latency_timer").
  bool ReadAttribute(const std::string& path, std::string* text) override {
    return Sysfs(path, text);
  }
  bool ReadLinkName(const std::string& path, std::string* name) override {
    return Sysfs(path, name);
  }
  bool Sysfs(const std::string& path, std::string* value) const {
    const auto it = sysfs.find(path.substr(path.rfind('/') + 1));
    if (it == sysfs.end()) return false;
    *value = it->second;
    return true;
  }
  int Drain(int fd) override {
    ++drains;
    return TtyIo::Drain(fd);
  }

  const termios& LastApplied() const { return applied.back(); }

  std::map<std::string, std::string> redirect;  // device -> the path really opened
  std::vector<std::string> opened;
  std::optional<int> openErrno;
  std::optional<int> fakeOutputQueue;
  std::optional<std::size_t> writeLimit;  // bytes the "kernel" takes per write
  std::vector<termios> applied;
  std::vector<std::uint32_t> customBauds;
  int modemRaised = 0;
  int modemDropped = 0;
  int drains = 0;
  int outputQueueQuestions = 0;
  int polls = 0;
  std::optional<bool> lowLatency;  // the driver's flag; none: ask the pseudo-terminal
  bool lowLatencyRefused = false;  // setting the flag fails
  bool lowLatencyIgnored = false;  // setting it succeeds and changes nothing
  bool ftdiTimerFollows = false;   // the latency timer follows the flag, as ftdi_sio's does
  std::vector<bool> lowLatencySets;
  std::map<std::string, std::string> sysfs;
};

}  // namespace pelvane::ports::test
