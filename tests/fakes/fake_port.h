// A scriptable stand-in for a port and the instrument behind it.
//
// The session owns its port, so the test keeps the shared FakeLine: the bytes
// the instrument sends (Feed), everything the host wrote, switches that make
// the port fail, and an optional peer that answers each host write like an
// instrument. The worker thread and the test thread use a line at once, so
// everything in it is guarded by its mutex; the peer runs outside the lock.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "core/class_ids.h"
#include "ports/iqx_port.h"
#include "ports/registry/port_registry.h"
#include "session/port_io.h"

namespace pelvane::session::test {

class FakeLine {
 public:
  using Peer = std::function<void(FakeLine& line, std::span<const std::uint8_t> written)>;

  void Feed(std::span<const std::uint8_t> bytes) {
    {
      std::lock_guard lock(mutex_);
      incoming_.insert(incoming_.end(), bytes.begin(), bytes.end());
    }
    changed_.notify_all();
  }
  void Feed(std::initializer_list<std::uint8_t> bytes) {
    Feed(std::span<const std::uint8_t>(bytes.begin(), bytes.size()));
  }

  void SetPeer(Peer peer) {
    std::lock_guard lock(mutex_);
    peer_ = std::move(peer);
  }

  std::vector<std::uint8_t> Written() const {
    std::lock_guard lock(mutex_);
    return written_;
  }

  // Waits (bounded, as a safety net only) until the host has written `count` bytes.
  bool WaitForWritten(std::size_t count,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return written_.size() >= count; });
  }

  // Counters of what the host did.
  int Opens() const { return opens_.load(); }
  int PortsCreated() const { return portsCreated_.load(); }
  int ReadCalls() const { return readCalls_.load(); }
  int WaitCalls() const { return waitCalls_.load(); }
  std::string LastParameters() const {
    std::lock_guard lock(mutex_);
    return lastParameters_;
  }

  // Failure switches.
  std::atomic<bool> failOpen{false};          // Open fails with a port error
  std::atomic<bool> openReturnsFalse{false};  // Open says no without an error
  std::atomic<bool> failClose{false};
  std::atomic<bool> failReads{false};
  std::atomic<int> failWrites{0};                  // that many writes fail; -1: all
  std::atomic<std::int32_t> writeLimit{INT_MAX};   // bytes accepted per write
  std::atomic<bool> refuseEveryOtherWrite{false};  // a transmit queue that is full now and then
  std::atomic<bool> alwaysReadable{false};       // a device in an error state: "ready", yet no data
  std::atomic<std::int32_t> readLimit{INT_MAX};  // bytes handed over per read
  std::atomic<int> failWriteAt{-1};              // the write (counted from 0) that fails

  // Called by a read that finds nothing left (the fuzz entry's sign that no
  // more input can complete anything).
  void SetStarvedHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    starved_ = std::move(handler);
  }

  // --- used by the fake ports ---
  void CountPort() { ++portsCreated_; }
  void NoteOpen(const std::string& parameters) {
    ++opens_;
    std::lock_guard lock(mutex_);
    lastParameters_ = parameters;
  }
  std::int32_t Read(std::uint8_t* buffer, std::int32_t size) {
    ++readCalls_;
    std::lock_guard lock(mutex_);
    if (incoming_.empty() && starved_) starved_();
    const auto count = static_cast<std::int32_t>(std::min<std::size_t>(
        incoming_.size(), static_cast<std::size_t>(std::min(size, readLimit.load()))));
    std::copy_n(incoming_.begin(), count, buffer);
    incoming_.erase(incoming_.begin(), incoming_.begin() + count);
    return count;
  }
  // False for a write that fails with a port error.
  bool Write(const std::uint8_t* data, std::int32_t size, std::int32_t* accepted) {
    int fail = failWrites.load();
    while (fail != 0) {
      if (fail < 0 || failWrites.compare_exchange_weak(fail, fail - 1)) return false;
    }
    if (writesSeen_++ == failWriteAt.load()) return false;
    *accepted = std::min(size, writeLimit.load());
    if (refuseEveryOtherWrite.load() && (writeCalls_++ % 2 == 0)) *accepted = 0;
    Peer peer;
    {
      std::lock_guard lock(mutex_);
      written_.insert(written_.end(), data, data + *accepted);
      peer = peer_;
    }
    changed_.notify_all();
    if (peer && *accepted > 0) peer(*this, std::span<const std::uint8_t>(data, *accepted));
    return true;
  }
  bool WaitReadable(std::chrono::milliseconds timeout) {
    ++waitCalls_;
    if (alwaysReadable.load()) return true;
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return !incoming_.empty(); });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::uint8_t> incoming_;
  std::vector<std::uint8_t> written_;
  std::string lastParameters_;
  Peer peer_;
  std::function<void()> starved_;
  std::atomic<int> writesSeen_{0};
  std::atomic<int> opens_{0}, portsCreated_{0}, readCalls_{0}, waitCalls_{0};
  int writeCalls_ = 0;  // writes come from one thread at a time
};

// A port whose reads never wait (like the serial port); `Waitable` adds the
// readiness wait, otherwise reads stand for a port that waits itself (GPIB).
class FakePort : public ports::IQX_Port {
 public:
  explicit FakePort(std::shared_ptr<FakeLine> line) : line_(std::move(line)) { line_->CountPort(); }

  core::Status Close(bool* pbCloseFlag) override {
    if (pbCloseFlag == nullptr) return core::Status::Pointer;
    error_ = 0;
    *pbCloseFlag = open_;
    if (line_->failClose.load()) error_ = 9;
    open_ = false;
    return core::Status::Ok;
  }
  core::Status Open(const std::string& parameters, bool* pbOpenFlag) override {
    if (pbOpenFlag == nullptr) return core::Status::Pointer;
    error_ = 0;
    line_->NoteOpen(parameters);
    *pbOpenFlag = false;
    if (open_) {
      error_ = 2;
    } else if (line_->failOpen.load()) {
      error_ = 1;
    } else if (!line_->openReturnsFalse.load()) {
      open_ = true;
      *pbOpenFlag = true;
    }
    return core::Status::Ok;
  }
  core::Status BlockRead(std::uint8_t* buffer, std::int32_t size, std::int32_t* lSize) override {
    if (buffer == nullptr || lSize == nullptr) return core::Status::Pointer;
    error_ = 0;
    buffer[0] = 0;
    *lSize = 0;
    if (line_->failReads.load()) {
      error_ = 5;
      return core::Status::Ok;
    }
    *lSize = line_->Read(buffer, size);
    return core::Status::Ok;
  }
  core::Status BlockWrite(const std::uint8_t* buffer, std::int32_t size,
                          std::int32_t* lSize) override {
    if (buffer == nullptr || lSize == nullptr) return core::Status::Pointer;
    error_ = 0;
    *lSize = 0;
    if (!line_->Write(buffer, size, lSize)) error_ = 7;
    return core::Status::Ok;
  }
  core::Status GetLastErrorString(std::string* text) override {
    if (text == nullptr) return core::Status::Pointer;
    *text = error_ == 0 ? "fake: fine" : "fake: failure " + std::to_string(error_);
    return core::Status::Ok;
  }
  core::Status GetLastError(std::int16_t* code) override {
    if (code == nullptr) return core::Status::Pointer;
    *code = error_;
    return core::Status::Ok;
  }
  core::Status Advise(ports::IQX_PortEvents*, core::Cookie*) override { return core::Status::Ok; }
  core::Status Unadvise(core::Cookie) override { return core::Status::Ok; }

 protected:
  std::shared_ptr<FakeLine> line_;

 private:
  bool open_ = false;
  std::int16_t error_ = 0;
};

class WaitableFakePort final : public FakePort, public ports::IQX_PortWait {
 public:
  using FakePort::FakePort;
  bool WaitReadable(std::chrono::milliseconds timeout) override {
    return line_->WaitReadable(timeout);
  }
};

// A registry like the real one: the serial class id makes a waitable fake,
// the GPIB class id a fake without the wait (its reads stand for GPIB's).
inline ports::PortRegistry FakeRegistry(std::shared_ptr<FakeLine> line) {
  ports::PortRegistry registry;
  registry.Add(std::string(core::clsid::kSerialPort),
               [line] { return std::make_unique<WaitableFakePort>(line); });
  registry.Add(std::string(core::clsid::kGpibPort),
               [line] { return std::make_unique<FakePort>(line); });
  return registry;
}

// A session time that runs with the steady clock and can be moved on, so that
// a test reaches a time-out without waiting it out.
class MovableTime final : public SessionTime {
 public:
  SessionClock::time_point Now() const override {
    ++reads_;
    return SessionClock::now() + std::chrono::milliseconds(offset_.load());
  }
  void Advance(std::chrono::milliseconds by) { offset_ += by.count(); }
  // How often the time was read: a test that waits for more readings knows
  // that the session has taken the time it measures from.
  int Reads() const { return reads_.load(); }

 private:
  std::atomic<std::int64_t> offset_{0};
  mutable std::atomic<int> reads_{0};
};

inline const std::string kSerialOpen =
    "clsid:" + std::string(core::clsid::kSerialPort) + " COM1:115200,E,8,1";
inline const std::string kGpibOpen = "clsid:" + std::string(core::clsid::kGpibPort) + " GPIB0";

}  // namespace pelvane::session::test
