#include "session_fuzz_entry.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/class_ids.h"
#include "core/message_loop.h"
#include "ports/iqx_port.h"
#include "ports/port_registry.h"
#include "session/session.h"

namespace pelvane::session::fuzz {
namespace {

using std::chrono::milliseconds;

// The instrument's side: everything it will ever say, and how the port hands
// it over. Once the host reads with nothing left, the line is "starved" and
// the owner is woken: no more input can complete anything.
struct Script {
  std::mutex mutex;
  std::vector<std::uint8_t> incoming;
  std::size_t next = 0;
  std::int32_t chunk = 0;  // 0 = all that is there
  int failWrite = -1;      // the write (counted from 0) that fails
  int writes = 0;
  std::atomic<bool> starved{false};
  core::MessageLoop* owner = nullptr;
};

class ScriptPort : public ports::IQX_Port, public ports::IQX_PortWait {
 public:
  explicit ScriptPort(std::shared_ptr<Script> script) : script_(std::move(script)) {}

  core::Status Close(bool* flag) override {
    if (flag == nullptr) return core::Status::Pointer;
    *flag = open_;
    open_ = false;
    error_ = 0;
    return core::Status::Ok;
  }
  core::Status Open(const std::string&, bool* flag) override {
    if (flag == nullptr) return core::Status::Pointer;
    open_ = true;
    *flag = true;
    error_ = 0;
    return core::Status::Ok;
  }
  core::Status BlockRead(std::uint8_t* buffer, std::int32_t size, std::int32_t* got) override {
    if (buffer == nullptr || got == nullptr) return core::Status::Pointer;
    error_ = 0;
    buffer[0] = 0;
    *got = 0;
    std::lock_guard lock(script_->mutex);
    const std::size_t left = script_->incoming.size() - script_->next;
    if (left == 0) {
      if (!script_->starved.exchange(true)) script_->owner->Post([] {});
      return core::Status::Ok;
    }
    std::size_t n = std::min<std::size_t>(left, static_cast<std::size_t>(std::max(size, 0)));
    if (script_->chunk > 0) n = std::min<std::size_t>(n, static_cast<std::size_t>(script_->chunk));
    std::copy_n(script_->incoming.begin() + static_cast<std::ptrdiff_t>(script_->next), n, buffer);
    script_->next += n;
    *got = static_cast<std::int32_t>(n);
    return core::Status::Ok;
  }
  core::Status BlockWrite(const std::uint8_t* buffer, std::int32_t size,
                          std::int32_t* taken) override {
    if (buffer == nullptr || taken == nullptr) return core::Status::Pointer;
    std::lock_guard lock(script_->mutex);
    error_ = 0;
    *taken = size;
    if (script_->writes++ == script_->failWrite) {
      error_ = 7;
      *taken = 0;
    }
    return core::Status::Ok;
  }
  core::Status GetLastErrorString(std::string* text) override {
    if (text == nullptr) return core::Status::Pointer;
    *text = error_ == 0 ? "" : "scripted write failure";
    return core::Status::Ok;
  }
  core::Status GetLastError(std::int16_t* code) override {
    if (code == nullptr) return core::Status::Pointer;
    *code = error_;
    return core::Status::Ok;
  }
  core::Status Advise(ports::IQX_PortEvents*, core::Cookie*) override { return core::Status::Ok; }
  core::Status Unadvise(core::Cookie) override { return core::Status::Ok; }

  // Input is "there" at once, or never again: the wait never sleeps long.
  bool WaitReadable(milliseconds) override { return true; }

 private:
  std::shared_ptr<Script> script_;
  bool open_ = false;
  std::int16_t error_ = 0;
};

struct Recorder final : IQX_SessionEvents {
  std::vector<std::int32_t> received;
  int errors = 0;
  void OnReceive(IQX_Session*, std::int32_t count) override { received.push_back(count); }
  void OnError(IQX_Session*, std::int16_t) override { ++errors; }
};

SessionTimeouts TinyTimeouts() {
  SessionTimeouts t;
  t.response = milliseconds(1);
  t.perByte = milliseconds(200);  // input never trickles; only a starved line waits
  t.uploadVerdict = milliseconds(1);
  t.uploadStall = milliseconds(1);
  t.closeSettle = milliseconds(0);
  t.pollSlice = milliseconds(1);
  t.resendInterval = milliseconds(1);
  return t;
}

// Safety net against a hang; no run comes near it.
constexpr auto kRunLimit = std::chrono::seconds(10);
constexpr int kFrames = 4;

}  // namespace

bool FuzzSessionReceive(std::span<const std::uint8_t> data) {
  if (data.empty()) return true;
  const std::uint8_t flags = data[0];
  core::PlainMessageLoop loop;
  core::ScopedMessageLoop scope(loop);

  auto script = std::make_shared<Script>();
  script->incoming.assign(data.begin() + 1, data.end());
  static constexpr std::int32_t kChunks[] = {0, 1, 3, 7};
  script->chunk = kChunks[(flags >> 1) & 3];
  if (flags & 8) script->failWrite = flags >> 4;
  script->owner = &loop;

  ports::PortRegistry registry;
  for (auto id : {core::clsid::kSerialPort, core::clsid::kGpibPort})
    registry.Add(std::string(id), [script] { return std::make_unique<ScriptPort>(script); });
  const std::string open =
      "clsid:" + std::string((flags & 1) ? core::clsid::kGpibPort : core::clsid::kSerialPort) +
      ((flags & 1) ? " GPIB0" : " COM1:115200,E,8,1");

  Recorder recorder;
  bool ok = true;
  {
    Session session(registry, TinyTimeouts());
    core::Cookie cookie = 0;
    session.Advise(&recorder, &cookie);
    bool opened = false;
    session.Open(open, &opened);
    if (!opened) return false;

    const auto end = std::chrono::steady_clock::now() + kRunLimit;
    for (int frame = 0; frame < kFrames && !script->starved.load(); ++frame) {
      // A read command: code, address, length, and its checksum.
      const std::uint8_t command[] = {0x25, 0x00, 0x00, 0x01, 0x00, 0x10, 0x36, 0x00};
      bool sent = false;
      session.Send(command, 6, &sent);
      if (!sent) return false;
      // The frame is over when its answer came, the line has nothing more
      // to give, or the session reported a failure (the next frame is then
      // sent, as the application would).
      const std::size_t before = recorder.received.size();
      const int errorsBefore = recorder.errors;
      while (recorder.received.size() == before && recorder.errors == errorsBefore &&
             !script->starved.load()) {
        if (std::chrono::steady_clock::now() > end) return false;  // hung
        loop.ProcessEvents(milliseconds(50));
      }
      // What OnReceive announced is what Receive hands over.
      for (std::size_t i = before; i < recorder.received.size(); ++i) {
        const std::int32_t count = recorder.received[i];
        if (count < 3 || count > 257) ok = false;
        std::array<std::uint8_t, Session::kBufferSize + 16> buffer;
        buffer.fill(0xA5);
        std::int32_t size = -1;
        session.Receive(buffer.data(), count, &size);
        if (size < 1 || size > 255) ok = false;
        for (std::size_t g = static_cast<std::size_t>(std::max(count, 0)); g < buffer.size(); ++g)
          if (buffer[g] != 0xA5) ok = false;
      }
    }
    bool closed = false;
    session.Close(&closed);
    loop.ProcessEvents(milliseconds(0));
    session.Unadvise(cookie);
  }
  // Nothing may arrive after the session has gone.
  loop.ProcessEvents(milliseconds(0));
  return ok;
}

}  // namespace pelvane::session::fuzz
