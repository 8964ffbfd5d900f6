// Shared helpers of the application-layer tests: an application object on a
// fake session, a listener that records events, and frame building.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/flash_app.h"
#include "core/class_ids.h"
#include "fakes/fake_session.h"
#include "presentation/presentation.h"

namespace pelvane::app::test {

using Bytes = std::vector<std::uint8_t>;

// A message followed by its two checksum bytes, as a session frame body carries it.
inline Bytes WithChecksum(Bytes message) {
  std::uint32_t sum = 0;
  for (std::uint8_t b : message) sum += b;
  message.push_back(static_cast<std::uint8_t>(sum & 0xFF));
  message.push_back(static_cast<std::uint8_t>((sum >> 8) & 0xFF));
  return message;
}

struct RecordingListener : IQX_AppEvents {
  std::vector<std::string> log;
  std::function<void(std::uint8_t)> onResponse;
  void Response(std::uint8_t code) override {
    log.push_back("Response " + std::to_string(code));
    if (onResponse) onResponse(code);
  }
  void Error(std::int16_t code) override { log.push_back("Error " + std::to_string(code)); }
};

class AppFixture : public testing::Test {
 protected:
  void SetUp() override {
    app = MakeApp();
    ASSERT_EQ(app->ExplicitInitialise(""), core::Status::Ok);
    ASSERT_NE(session, nullptr);
    ASSERT_EQ(app->Advise(&listener, &cookie), core::Status::Ok);
  }

  // The registries hand out fakes; `session` follows the newest one created.
  std::unique_ptr<FlashApp> MakeApp(bool withSession = true, bool withPresentation = true) {
    core::ClassRegistry<session::IQX_Session> sessions;
    if (withSession)
      sessions.Add(std::string(core::clsid::kSession), [this] {
        auto fake = std::make_unique<FakeSession>();
        session = fake.get();
        return fake;
      });
    core::ClassRegistry<presentation::IQX_Presentation> presentations;
    if (withPresentation)
      presentations.Add(std::string(core::clsid::kPresentation),
                        [] { return presentation::CreatePresentation(); });
    return std::make_unique<FlashApp>(std::move(sessions), std::move(presentations));
  }

  void Respond(const Bytes& message) { session->Deliver(WithChecksum(message)); }

  std::int16_t LastError() {
    std::int16_t error = -1;
    EXPECT_EQ(app->GetLastError(&error), core::Status::Ok);
    return error;
  }

  std::string ErrorString() {
    std::string text;
    EXPECT_EQ(app->GetErrorString(&text), core::Status::Ok);
    return text;
  }

  FakeSession* session = nullptr;
  std::unique_ptr<FlashApp> app;
  RecordingListener listener;
  core::Cookie cookie = 0;
};

}  // namespace pelvane::app::test
