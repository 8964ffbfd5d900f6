// A session that records what the application object asks of it and
// delivers scripted answers, so the application layer is tested without a
// port, a worker thread or a message loop.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/event_source.h"
#include "session/iqx_session.h"

namespace pelvane::app::test {

class FakeSession final : public session::IQX_Session, public session::IQX_Transfer {
 public:
  using Bytes = std::vector<std::uint8_t>;

  // What happened, in order ("Open", "Send", "Close", "Receive", "Upload", "IsUploadOK").
  std::vector<std::string> calls;
  std::vector<std::string> openStrings;
  std::vector<Bytes> sent;  // each Send's n + 2 bytes
  std::vector<std::int32_t> sentSizes;
  std::vector<Bytes> uploads;
  bool open = false;

  // Scripted behaviour.
  std::int16_t errorAfterClose = 0;
  std::int16_t errorAfterUpload = 0;
  std::int16_t errorAfterVerdict = 0;
  session::PTS_FAILCODE verdict = session::PT_OK;
  core::Status sendStatus = core::Status::Ok;
  Bytes body;  // what Receive delivers
  std::function<void()> onDestroy;

  ~FakeSession() override {
    if (onDestroy) onDestroy();
  }

  std::int16_t lastError = 0;
  std::string ErrorText() const {
    static const std::map<int, std::string> texts = {{0, "The last command completed successfully"},
                                                     {6, "Upload failed (Checksum Error)"},
                                                     {7, "Session already closed"},
                                                     {8, "Session not open"},
                                                     {9, "Port failure"}};
    const auto it = texts.find(lastError);
    return it != texts.end() ? it->second : "session error " + std::to_string(lastError);
  }

  // Takes a frame body in (message + checksum) and tells the listeners.
  void Deliver(const Bytes& frameBody) {
    body = frameBody;
    const auto count = static_cast<std::int32_t>(body.size());
    events.Raise([&](session::IQX_SessionEvents& l) { l.OnReceive(this, count); });
  }
  void RaiseError(std::int16_t code) {
    events.Raise([&](session::IQX_SessionEvents& l) { l.OnError(this, code); });
  }

  core::Status Open(const std::string& openParameter, bool* pbOpenFlag) override {
    calls.push_back("Open");
    openStrings.push_back(openParameter);
    lastError = 0;
    open = *pbOpenFlag = true;
    return core::Status::Ok;
  }
  core::Status Close(bool* pbCloseFlag) override {
    calls.push_back("Close");
    lastError = open ? errorAfterClose : 7;
    open = false;
    *pbCloseFlag = true;
    return core::Status::Ok;
  }
  core::Status GetLastError(std::int16_t* piLastError) override {
    *piLastError = lastError;
    return core::Status::Ok;
  }
  core::Status GetErrorString(std::string* text) override {
    *text = ErrorText();
    return core::Status::Ok;
  }
  core::Status State(session::PT_STATE* pState) override {
    *pState = open ? session::PT_CONNECTED : session::PT_CLOSED;
    return core::Status::Ok;
  }
  core::Status Receive(std::uint8_t* pucBuffer, std::int32_t lMaxSize,
                       std::int32_t* plSize) override {
    calls.push_back("Receive");
    lastError = open ? 0 : 8;
    if (!open) return core::Status::Ok;
    *plSize = body.size() >= 2 ? static_cast<std::int32_t>(body.size() - 2) : 0;
    for (std::int32_t i = 0; i < lMaxSize && i < static_cast<std::int32_t>(body.size()); ++i)
      pucBuffer[i] = body[static_cast<std::size_t>(i)];
    return core::Status::Ok;
  }
  core::Status Send(const std::uint8_t* pucBuffer, std::int32_t lSize, bool* pbSendFlag) override {
    calls.push_back("Send");
    if (sendStatus != core::Status::Ok) return sendStatus;
    lastError = open ? 0 : 8;
    *pbSendFlag = open;
    if (open) {
      sent.emplace_back(pucBuffer, pucBuffer + lSize + 2);
      sentSizes.push_back(lSize);
    }
    return core::Status::Ok;
  }
  core::Status ExplicitInitialize() override { return core::Status::Ok; }
  core::Status Advise(session::IQX_SessionEvents* listener, core::Cookie* cookie) override {
    return events.Advise(listener, cookie);
  }
  core::Status Unadvise(core::Cookie cookie) override { return events.Unadvise(cookie); }

  core::Status Upload(const std::uint8_t* pucBuffer, std::int32_t lSize) override {
    calls.push_back("Upload");
    uploads.emplace_back(pucBuffer, pucBuffer + lSize);
    lastError = errorAfterUpload;
    return core::Status::Ok;
  }
  core::Status IsUploadOK(session::PTS_FAILCODE* pFailCode) override {
    calls.push_back("IsUploadOK");
    *pFailCode = verdict;
    lastError = errorAfterVerdict;
    return core::Status::Ok;
  }

  core::EventSource<session::IQX_SessionEvents> events;
};

}  // namespace pelvane::app::test
