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
#include "fakes/fake_port.h"
#include "ports/iqx_port.h"
#include "ports/registry/port_registry.h"
#include "session/session.h"

namespace pelvane::session::fuzz {
namespace {

using std::chrono::milliseconds;

struct Recorder final : IQX_SessionEvents {
  std::vector<std::int32_t> received;
  int errors = 0;
  void OnReceive(IQX_Session*, std::int32_t count) override { received.push_back(count); }
  void OnError(IQX_Session*, std::int16_t) override { ++errors; }
};

SessionTimeouts TinyTimeouts() {
  SessionTimeouts t;
  t.response = milliseconds(1);
  // Input never trickles: only a starved line waits, and so does a Close
  // while a frame it began is still missing bytes.
  t.perByte = milliseconds(10);
  t.uploadVerdict = milliseconds(1);
  t.uploadStall = milliseconds(1);
  t.closeSettle = milliseconds(0);
  t.pollSlice = milliseconds(1);
  t.resendInterval = milliseconds(1);
  t.answerSettle = milliseconds(1);
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

  // The instrument's side, from the session tests' fake line: everything it
  // will ever say, handed over in chunks, input "there" at once or never
  // again. Once the host reads with nothing left, the line is starved and the
  // owner is woken: no more input can complete anything.
  auto line = std::make_shared<test::FakeLine>();
  line->Feed(data.subspan(1));
  static constexpr std::int32_t kChunks[] = {INT32_MAX, 1, 3, 7};
  line->readLimit = kChunks[(flags >> 1) & 3];
  if (flags & 8) line->failWriteAt = flags >> 4;
  line->alwaysReadable = true;
  std::atomic<bool> starved{false};
  line->SetStarvedHandler([&starved, &loop] {
    if (!starved.exchange(true)) loop.Post([] {});
  });

  const ports::PortRegistry registry = test::FakeRegistry(line);
  const std::string open = (flags & 1) ? test::kGpibOpen : test::kSerialOpen;

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
    for (int frame = 0; frame < kFrames && !starved.load(); ++frame) {
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
             !starved.load()) {
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
