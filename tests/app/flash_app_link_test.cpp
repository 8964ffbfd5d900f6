// FlashApp over a real session and serial port, with a scripted instrument on
// the master side of a pseudo-terminal: the bytes on the wire, the
// per-byte handshake, and the behaviour that crosses the layers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "app_test_support.h"
#include "core/message_loop.h"
#include "ports/registry/port_registry.h"
#include "session/session.h"

namespace pelvane::app::test {
namespace {

using namespace std::chrono_literals;

// A frame as the host writes it: length byte, message, checksum.
Bytes Frame(const Bytes& message) {
  Bytes frame{static_cast<std::uint8_t>(message.size())};
  const Bytes body = WithChecksum(message);
  frame.insert(frame.end(), body.begin(), body.end());
  return frame;
}

// One exchange the instrument expects: bytes from the host, then its answer.
struct Step {
  Bytes expect;              // exactly what the host must write
  Bytes answer;              // a framed answer: message + checksum, sent with the handshake
  std::uint8_t verdict = 0;  // for a transfer-program upload: the one-character answer
};

Step Exchange(Bytes expect, Bytes answer) {
  return {std::move(expect), std::move(answer), 0};
}
Step UploadVerdict(Bytes expect, std::uint8_t verdict) {
  return {std::move(expect), {}, verdict};
}

class ScriptedInstrument {
 public:
  ScriptedInstrument() {
    char name[128] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return;
    path_ = name;
    termios raw{};
    tcgetattr(slave_, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave_, TCSANOW, &raw);
  }
  ~ScriptedInstrument() {
    if (thread_.joinable()) thread_.join();
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }

  bool ok() const { return master_ >= 0; }
  std::string OpenString() const {
    return "clsid:519498DF-CB5C-11D4-A40B-0050DAE004CA " + path_ + ":115200,E,8,1";
  }

  void Run(std::vector<Step> steps) {
    thread_ = std::thread([this, steps = std::move(steps)] {
      for (const Step& step : steps)
        if (!Play(step)) return;
    });
  }
  std::vector<std::string> Finish() {
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(mutex_);
    return errors_;
  }

 private:
  bool Play(const Step& step) {
    Bytes got(step.expect.size());
    if (!Read(got.data(), got.size())) return Fail("host wrote too little");
    if (got != step.expect) return Fail("host wrote unexpected bytes");
    if (step.verdict != 0) return Write(step.verdict) || Fail("verdict not written");
    if (step.answer.empty()) return true;
    // Handshake: the host answers the length byte with 0xFF and each body byte
    // with the complement of (first body byte + index + 1).
    const auto n = static_cast<std::uint8_t>(step.answer.size() - 2);
    std::uint8_t ack = 0;
    if (!Write(n) || !Read(&ack, 1) || ack != 0xFF) return Fail("no 0xFF after the length");
    for (std::size_t i = 0; i < step.answer.size(); ++i) {
      const auto expected = static_cast<std::uint8_t>(~(step.answer[0] + i + 1));
      if (!Write(step.answer[i]) || !Read(&ack, 1)) return Fail("handshake broke off");
      if (ack != expected) return Fail("wrong acknowledgement at byte " + std::to_string(i));
    }
    return true;
  }

  bool Read(std::uint8_t* out, std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (count > 0) {
      pollfd pfd{master_, POLLIN, 0};
      if (std::chrono::steady_clock::now() > deadline) return false;
      if (poll(&pfd, 1, 50) <= 0) continue;
      const ssize_t n = read(master_, out, count);
      if (n <= 0) return false;
      out += n;
      count -= static_cast<std::size_t>(n);
    }
    return true;
  }
  bool Write(std::uint8_t byte) { return write(master_, &byte, 1) == 1; }
  bool Fail(const std::string& what) {
    std::lock_guard lock(mutex_);
    errors_.push_back(what);
    return false;
  }

  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  std::thread thread_;
  std::mutex mutex_;  // guards errors_
  std::vector<std::string> errors_;
};

class LinkTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(instrument.ok());
    core::ClassRegistry<session::IQX_Session> sessions;
    sessions.Add(std::string(core::clsid::kSession), [this] {
      session::SessionTimeouts timeouts;
      timeouts.response = 3000ms;
      timeouts.perByte = 2000ms;
      timeouts.uploadVerdict = 2000ms;
      auto made = std::make_unique<session::Session>(ports::DefaultPortRegistry(), timeouts);
      session = made.get();
      return made;
    });
    app = std::make_unique<FlashApp>(std::move(sessions), DefaultPresentationRegistry());
    app->Advise(&listener, &cookie);
  }
  void TearDown() override {
    if (app) {
      try {
        app->Close();
      } catch (const core::StatusError&) {
      }
      app->Shutdown();
    }
    EXPECT_EQ(instrument.Finish(), std::vector<std::string>{});
  }

  // Runs the owner's message loop until `done` or a generous bound.
  bool PumpUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      loop.ProcessEvents(20ms);
    }
    return true;
  }
  std::int16_t LastError() {
    std::int16_t e = -1;
    app->GetLastError(&e);
    return e;
  }
  std::string ErrorString() {
    std::string text;
    app->GetErrorString(&text);
    return text;
  }

  core::PlainMessageLoop loop;
  core::ScopedMessageLoop scopedLoop{loop};
  ScriptedInstrument instrument;
  session::Session* session = nullptr;
  std::unique_ptr<FlashApp> app;
  RecordingListener listener;
  core::Cookie cookie = 0;
};

TEST_F(LinkTest, CommandsAndResponsesCrossTheWire) {
  instrument.Run({
      UploadVerdict({0x02, 0, 0, 0, 0x00, 0x10, 0, 0, 0x04, 0x10, 0, 0, 0xAA, 0xBB, 0x89, 0x01},
                    'T'),
      Exchange({0x07, 0x21, 0x01, 0x02, 0x00, 0x00, 0x10, 0x00, 0x34, 0x00},
               WithChecksum({HMANUFACTURER, 0x01, 0, 0, 0, 0xDA, 0, 0, 0})),
      Exchange(Frame({TLESEDATEN, 1, 0, 0, 0, 0, 3, 0, 0, 0}),
               WithChecksum({HLESEDATEN, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0x10, 0x20, 0x30})),
  });
  ASSERT_EQ(app->ExplicitInitialise(instrument.OpenString()), core::Status::Ok);
  ASSERT_EQ(LastError(), 0) << ErrorString();

  const Bytes program{0xAA, 0xBB};
  QUARNEL_ERR verdict = PT_TNORESPONSE;
  app->UploadTransferProgram(program.data(), 2, 0x1000, 0x1004, &verdict);
  EXPECT_EQ(verdict, PT_TOK);
  EXPECT_EQ(LastError(), 0) << ErrorString();

  app->QueryManufacturerCode(0x00100000, 1, 2);
  ASSERT_TRUE(PumpUntil([&] { return !listener.log.empty(); }));
  EXPECT_EQ(listener.log, (std::vector<std::string>{"Response 161"}));
  std::uint32_t manufacturer = 0, flashType = 0;
  app->GetManufacturerCode(&manufacturer);
  app->GetFlashType(&flashType);
  EXPECT_EQ(manufacturer, 1u);
  EXPECT_EQ(flashType, 0xDAu);

  app->ReadData(1, 0, 3);
  ASSERT_TRUE(PumpUntil([&] { return listener.log.size() == 2; }));
  std::uint32_t len = 0;
  app->GetReadDataLength(&len);
  ASSERT_EQ(len, 3u);
  Bytes data(3);
  app->GetReadData(data.data());
  EXPECT_EQ(data, (Bytes{0x10, 0x20, 0x30}));
  EXPECT_EQ(LastError(), 0);
}

TEST_F(LinkTest, CorruptAnswerIsReportedAtOnceAndProgEndClosesTheLinkFirst) {
  Bytes corrupt = WithChecksum({HCHECKSUM, 0x77});
  corrupt.back() ^= 0x40;
  instrument.Run({
      Exchange(Frame({TPROGPWRON}), WithChecksum({HPROGPWRON, 0x00})),
      Exchange(Frame({TCHECKSUM, 1, 0, 0, 0, 0, 16, 0, 0, 0}), corrupt),
      Exchange(Frame({TPROGEND}), WithChecksum({HPROGEND})),
  });
  ASSERT_EQ(app->ExplicitInitialise(instrument.OpenString()), core::Status::Ok);
  ASSERT_EQ(LastError(), 0) << ErrorString();

  app->ProgPowerOn();
  ASSERT_TRUE(PumpUntil([&] { return !listener.log.empty(); }));

  // The session knows a corrupt answer where it arrives and says so at once,
  // instead of leaving the command to wait; the previous response's values
  // stay readable.
  app->Checksum(1, 0, 16);
  ASSERT_TRUE(PumpUntil([&] { return listener.log.size() == 2; }));
  EXPECT_EQ(listener.log.back(), "Error 118");
  EXPECT_EQ(ErrorString(), "Answer damaged on the line (checksum error)");
  std::int16_t status = -1;
  app->GetStatus(&status);
  EXPECT_EQ(status, 0);

  session::PT_STATE stateAtResponse = session::PT_INVALID;
  listener.onResponse = [&](std::uint8_t) { session->State(&stateAtResponse); };
  app->ProgEnd();
  ASSERT_TRUE(PumpUntil([&] { return listener.log.size() == 3; }));
  EXPECT_EQ(listener.log.back(), "Response 72");
  EXPECT_EQ(stateAtResponse, session::PT_CLOSED);

  // The link is already closed: closing again is the session's error.
  app->Close();
  EXPECT_EQ(LastError(), 2);  // 103, the session layer failed
  EXPECT_EQ(ErrorString(), "Session already closed");
}

TEST_F(LinkTest, UploadChecksumVerdictIsTheSessionsError) {
  instrument.Run({UploadVerdict({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x5A, 0x5A, 0}, 'C')});
  ASSERT_EQ(app->ExplicitInitialise(instrument.OpenString()), core::Status::Ok);
  const std::uint8_t program = 0x5A;
  QUARNEL_ERR verdict = PT_TOK;
  app->UploadTransferProgram(&program, 1, 0, 0, &verdict);
  EXPECT_EQ(verdict, PT_TCHECKSUMERR);
  EXPECT_EQ(LastError(), 2);  // 103, the session layer failed
  EXPECT_EQ(ErrorString(), "Upload failed (Checksum Error)");
}

TEST_F(LinkTest, APortThatCannotOpenIsReportedAsErrorEventAndLastError) {
  app->ExplicitInitialise("clsid:519498DF-CB5C-11D4-A40B-0050DAE004CA /dev/pelvane-no-such-port");
  EXPECT_EQ(LastError(), 2);  // 103, the session layer failed
  ASSERT_TRUE(PumpUntil([&] { return !listener.log.empty(); }));
  EXPECT_EQ(listener.log, (std::vector<std::string>{"Error 110"}));
  // Commands now fail in the session ("Session not open"); its text names
  // the cause, the port that failed.
  app->ProgPowerOn();
  std::int16_t sessionError = 0;
  session->GetLastError(&sessionError);
  EXPECT_EQ(sessionError, 8);
  EXPECT_EQ(LastError(), 2);  // 103, the session layer failed
  EXPECT_NE(ErrorString(), AppMessageText(kSessionError));
}

}  // namespace
}  // namespace pelvane::app::test
