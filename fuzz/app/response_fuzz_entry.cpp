#include "response_fuzz_entry.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "app/flash_app.h"
#include "app/response.h"
#include "core/class_ids.h"
#include "core/event_source.h"
#include "presentation/presentation.h"

namespace pelvane::app::fuzz {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A session that hands one received body to its listener and accepts
// everything else.
class LoopbackSession final : public session::IQX_Session {
 public:
  Bytes body;
  void Deliver() {
    const auto count = static_cast<std::int32_t>(body.size());
    events_.Raise([&](session::IQX_SessionEvents& l) { l.OnReceive(this, count); });
  }

  core::Status Open(const std::string&, bool* flag) override {
    *flag = true;
    return core::Status::Ok;
  }
  core::Status Close(bool* flag) override {
    *flag = true;
    return core::Status::Ok;
  }
  core::Status GetLastError(std::int16_t* error) override {
    *error = 0;
    return core::Status::Ok;
  }
  core::Status GetErrorString(std::string* text) override {
    *text = "The last command completed successfully";
    return core::Status::Ok;
  }
  core::Status State(session::PT_STATE* state) override {
    *state = session::PT_CONNECTED;
    return core::Status::Ok;
  }
  core::Status Receive(std::uint8_t* buffer, std::int32_t max, std::int32_t* size) override {
    // A real session copies exactly what was asked; copying more would be
    // this fake's fault, not the application's.
    const std::size_t n = std::min(body.size(), static_cast<std::size_t>(std::max(max, 0)));
    std::copy_n(body.begin(), n, buffer);
    *size = static_cast<std::int32_t>(body.size() >= 2 ? body.size() - 2 : 0);
    return core::Status::Ok;
  }
  core::Status Send(const std::uint8_t*, std::int32_t, bool* flag) override {
    *flag = true;
    return core::Status::Ok;
  }
  core::Status ExplicitInitialize() override { return core::Status::Ok; }
  core::Status Advise(session::IQX_SessionEvents* listener, core::Cookie* cookie) override {
    return events_.Advise(listener, cookie);
  }
  core::Status Unadvise(core::Cookie cookie) override { return events_.Unadvise(cookie); }

 private:
  core::EventSource<session::IQX_SessionEvents> events_;
};

struct CountingListener : IQX_AppEvents {
  int responses = 0;
  std::uint8_t last = 0;
  void Response(std::uint8_t code) override {
    ++responses;
    last = code;
  }
  void Error(std::int16_t) override {}
};

bool DecoderHolds(std::span<const std::uint8_t> message) {
  const DecodedResponse r = DecodeResponse(message);
  if (r.kind == ResponseKind::Truncated) return message.size() < BytesNeeded(message);
  if (message.size() < BytesNeeded(message) || r.code != message[0]) return false;
  if (r.kind == ResponseKind::ReadData) {
    if (r.readData.size() != (r.readLength == 0 ? 0 : r.readLength)) return false;
    if (!r.readData.empty() &&
        (r.readData.data() < message.data() ||
         r.readData.data() + r.readData.size() > message.data() + message.size()))
      return false;
  }
  return true;
}

// Delivers one body to a fresh application object and reads every result.
bool AppHolds(const Bytes& body) {
  LoopbackSession* session = nullptr;
  core::ClassRegistry<session::IQX_Session> sessions;
  sessions.Add(std::string(core::clsid::kSession), [&session] {
    auto made = std::make_unique<LoopbackSession>();
    session = made.get();
    return made;
  });
  FlashApp app(std::move(sessions), DefaultPresentationRegistry());
  app.ExplicitInitialise("");
  CountingListener listener;
  core::Cookie cookie = 0;
  app.Advise(&listener, &cookie);
  session->body = body;
  session->Deliver();

  std::int16_t error = 0;
  app.GetLastError(&error);
  const bool answered = listener.responses == 1;
  // Either a response was raised, or it was dropped with an error, or its
  // code is one this layer does not know (no event, no error).
  if (answered && error != 0) return false;
  if (listener.responses > 1) return false;

  std::uint32_t u = 0;
  std::int16_t s = 0;
  app.GetManufacturerCode(&u);
  app.GetFlashType(&u);
  app.GetStatus(&s);
  app.GetChecksum(&u);
  app.GetEraseStatus(&u, &s);
  app.GetProgStatus(&u, &s);
  std::uint32_t length = 0;
  app.GetReadDataLength(&length);
  if (length > 255) return false;
  // Guard bytes after the announced length must survive GetReadData.
  Bytes out(length + 8, 0xA5);
  app.GetReadData(out.data());
  for (std::size_t i = length; i < out.size(); ++i)
    if (out[i] != 0xA5) return false;
  if (answered && listener.last == HLESEDATEN && body.size() >= 2) {
    // The data delivered is the data received, byte for byte.
    const std::span<const std::uint8_t> message(body.data(), body.size() - 2);
    if (length != 0 && !std::equal(out.begin(), out.begin() + length, message.begin() + 10))
      return false;
  }
  std::string text;
  app.GetErrorString(&text);
  app.Shutdown();
  return true;
}

}  // namespace

bool FuzzResponse(std::span<const std::uint8_t> data) {
  if (!DecoderHolds(data)) return false;

  // Through the presentation layer as a received body.
  presentation::Presentation presentation;
  std::int32_t m = 0;
  presentation.Decode(data.data(), static_cast<std::int32_t>(data.size()), &m);
  if (m < 0 || static_cast<std::size_t>(m) + 2 > std::max<std::size_t>(data.size(), 2))
    return false;
  Bytes decoded(static_cast<std::size_t>(m));
  presentation.GetData(decoded.data(), m);
  if (!DecoderHolds(decoded)) return false;

  // The whole application object: once as it arrived, once made valid.
  const Bytes asReceived(data.begin(), data.end());
  if (!AppHolds(asReceived)) return false;
  if (data.size() <= 255) {
    Bytes valid = asReceived;
    std::uint32_t sum = 0;
    for (std::uint8_t b : valid) sum += b;
    valid.push_back(static_cast<std::uint8_t>(sum & 0xFF));
    valid.push_back(static_cast<std::uint8_t>((sum >> 8) & 0xFF));
    if (!AppHolds(valid)) return false;
  }
  return true;
}

}  // namespace pelvane::app::fuzz
