// Helpers for the session tests: an event recorder, pumping the owner's loop,
// and instrument peers that answer the host's frames.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/message_loop.h"
#include "fakes/fake_port.h"
#include "session/iqx_session.h"
#include "session/session_timeouts.h"

namespace pelvane::session::test {

struct Event {
  enum Kind { Send, Connect, Receive, Error } kind;
  std::int32_t value;
  bool operator==(const Event&) const = default;
};

class EventRecorder final : public IQX_SessionEvents {
 public:
  void OnSend(IQX_Session*, std::int32_t lResult) override {
    events.push_back({Event::Send, lResult});
  }
  void OnConnect(IQX_Session*, std::int32_t lResult) override {
    events.push_back({Event::Connect, lResult});
  }
  void OnReceive(IQX_Session*, std::int32_t lCount) override {
    events.push_back({Event::Receive, lCount});
  }
  void OnError(IQX_Session*, std::int16_t iLastError) override {
    events.push_back({Event::Error, iLastError});
  }
  int Count(Event::Kind kind, std::int32_t value) const {
    int n = 0;
    for (const Event& e : events) n += e.kind == kind && e.value == value;
    return n;
  }
  bool Has(Event::Kind kind, std::int32_t value) const { return Count(kind, value) > 0; }

  std::vector<Event> events;
};

// Runs the owner's loop until `done` holds. The limit is only a safety net
// against a hang; the tests never rely on it passing.
inline bool PumpUntil(core::MessageLoop& loop, const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    loop.ProcessEvents(std::chrono::milliseconds(10));
  }
  return true;
}

// Runs the owner's loop for a while, to show that something does NOT happen.
inline void PumpFor(core::MessageLoop& loop, std::chrono::milliseconds span) {
  const auto end = std::chrono::steady_clock::now() + span;
  while (std::chrono::steady_clock::now() < end) loop.ProcessEvents(std::chrono::milliseconds(5));
}

// Short times for tests: every wait of the protocol ends quickly.
inline SessionTimeouts ShortTimeouts() {
  SessionTimeouts t;
  t.response = std::chrono::milliseconds(150);
  t.perByte = std::chrono::milliseconds(80);
  t.uploadVerdict = std::chrono::milliseconds(80);
  t.uploadStall = std::chrono::milliseconds(80);
  t.closeSettle = std::chrono::milliseconds(1);
  t.pollSlice = std::chrono::milliseconds(10);
  t.resendInterval = std::chrono::milliseconds(5);
  t.answerSettle = std::chrono::milliseconds(30);
  return t;
}

// A frame's body: the payload and its checksum (the sum of its bytes, low
// byte first), as the instrument sends it.
inline std::vector<std::uint8_t> Framed(std::vector<std::uint8_t> payload) {
  unsigned sum = 0;
  for (const std::uint8_t byte : payload) sum += byte;
  payload.push_back(static_cast<std::uint8_t>(sum));
  payload.push_back(static_cast<std::uint8_t>(sum >> 8));
  return payload;
}

// The instrument in handshake mode: after each frame from the host it sends
// the length byte of `body` (N = size - 2), waits for 0xFF, then sends one
// body byte per acknowledgement. With `silentAfter` it stops after that many
// body bytes, like an instrument that has hung.
class HandshakeInstrument {
 public:
  explicit HandshakeInstrument(std::vector<std::uint8_t> body, int silentAfter = -1)
      : body_(std::move(body)), silentAfter_(silentAfter) {}
  // The length byte as the host receives it, damaged on the line; the
  // instrument still sends its whole body.
  void DamageLengthTo(std::uint8_t length) { damagedLength_ = length; }

  FakeLine::Peer Peer() {
    return
        [this](FakeLine& line, std::span<const std::uint8_t> written) { OnWrite(line, written); };
  }
  // Acknowledgements the host gave, in order (worker thread writes, read after the event).
  const std::vector<std::uint8_t>& Acks() const { return acks_; }
  void SetSilentAfter(int n) { silentAfter_ = n; }

 private:
  void OnWrite(FakeLine& line, std::span<const std::uint8_t> written) {
    for (const std::uint8_t byte : written) {
      switch (state_) {
        case State::Idle:
          // The host's frame comes in one block; its length byte tells how long.
          if (frameLeft_ == 0) frameLeft_ = byte + 3;
          if (--frameLeft_ == 0) {
            state_ = State::AwaitStart;
            line.Feed({damagedLength_.value_or(static_cast<std::uint8_t>(body_.size() - 2))});
            damagedLength_.reset();
          }
          break;
        case State::AwaitStart:
          if (byte == 0xFF) {
            next_ = 0;
            state_ = State::AwaitAck;
            SendNext(line);
          }
          break;
        case State::AwaitAck:
          acks_.push_back(byte);
          if (next_ < body_.size())
            SendNext(line);
          else
            state_ = State::Idle;
          break;
      }
    }
  }
  void SendNext(FakeLine& line) {
    if (silentAfter_ >= 0 && next_ >= static_cast<std::size_t>(silentAfter_)) {
      state_ = State::Idle;
      silentAfter_ = -1;  // answers the next command in full again
      return;
    }
    line.Feed({body_[next_++]});
  }

  enum class State { Idle, AwaitStart, AwaitAck } state_ = State::Idle;
  std::vector<std::uint8_t> body_;
  int silentAfter_;
  std::optional<std::uint8_t> damagedLength_;
  int frameLeft_ = 0;
  std::size_t next_ = 0;
  std::vector<std::uint8_t> acks_;
};

}  // namespace pelvane::session::test
