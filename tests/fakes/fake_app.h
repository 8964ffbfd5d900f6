// A scriptable application object: it behaves like the transfer program on a
// small flash model and answers every command on the owner thread's message
// loop, as the real object does, unless a test tells it otherwise.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/iqx_app.h"
#include "core/class_ids.h"
#include "core/class_registry.h"
#include "core/event_source.h"
#include "core/message_loop.h"

namespace pelvane::upload::test {

// How the instrument answers one kind of command.
struct Answer {
  // Damaged: the answer is damaged on the line, which the session reports as
  // its error 118; `executed` says whether the command took effect before.
  enum class Kind { Normal, Silent, ErrorEvent, HError, WrongCode, Damaged } kind = Kind::Normal;
  std::int16_t status = -1;       // overrides the normal status when >= 0
  std::uint32_t failAddress = 0;  // for program and erase answers
  std::int16_t errorCode = 10;    // for ErrorEvent
  int delayPasses = 0;            // answer after this many loop passes
  std::uint8_t wrongCode = 0;     // for WrongCode: the response code sent instead
  bool executed = true;           // for Damaged
  int times = -1;                 // how many commands it applies to; then Normal (-1: all)
};

struct FakeInstrument {
  // Set up by the test.
  std::int16_t initLastError = 0;
  app::QUARNEL_ERR verdict = app::PT_TOK;
  std::int16_t uploadLastError = 0;
  std::string errorText = "An Error occured in the session layer";
  std::uint32_t manufacturer = 0x01;
  std::uint32_t device = 0xA4;
  std::uint32_t readCap = 255;  // most bytes one read answer delivers
  std::uint32_t readExtra = 0;  // bytes a read answer delivers beyond the request
  std::uint32_t readShift = 0;  // added to the address a read answer names
  std::optional<std::uint32_t> checksumOverride;
  std::map<std::uint8_t, Answer> answers;             // by command code
  std::map<std::uint32_t, std::uint8_t> flash;        // byte address -> value (absent: 0xFF)
  std::function<void(const std::string&)> onCommand;  // called with each recorded call

  // Recorded.
  std::string openString;
  std::vector<std::uint8_t> transferBytes;
  std::int32_t transferLoad = 0, transferExec = 0;
  std::vector<std::string> calls;  // "Prog 1000 240", "ReadData 400000 200", ...
  int closeCount = 0, shutdownCount = 0, created = 0;
  bool advised = false;

  std::uint8_t ByteAt(std::uint32_t address) const {
    auto it = flash.find(address);
    return it == flash.end() ? 0xFF : it->second;
  }
  Answer AnswerFor(std::uint8_t command) const {
    auto it = answers.find(command);
    return it == answers.end() ? Answer{} : it->second;
  }
};

class FakeApp final : public app::IQX_App {
 public:
  explicit FakeApp(FakeInstrument& instrument) : in_(instrument) { ++in_.created; }

  core::Status UploadTransferProgram(const std::uint8_t* buffer, std::int32_t size,
                                     std::int32_t load, std::int32_t exec,
                                     app::QUARNEL_ERR* verdict) override {
    in_.transferBytes.assign(buffer, buffer + size);
    in_.transferLoad = load;
    in_.transferExec = exec;
    *verdict = in_.verdict;
    lastError_ = in_.uploadLastError;
    return core::Status::Ok;
  }
  core::Status ExplicitInitialise(const std::string& open) override {
    in_.openString = open;
    lastError_ = in_.initLastError;
    return core::Status::Ok;
  }
  core::Status QueryManufacturerCode(std::uint32_t base, std::uint8_t arch,
                                     std::uint8_t type) override {
    Record("Query " + Hex(base) + " " + std::to_string(arch) + " " + std::to_string(type));
    return Answer(app::TMANUFACTURER, [this] {
      manufacturer_ = in_.manufacturer;
      device_ = in_.device;
      return app::HMANUFACTURER;
    });
  }
  core::Status ProgPowerOn() override {
    Record("PowerOn");
    return Answer(app::TPROGPWRON, [this] {
      status_ = app::kStatusPowerOn;
      return app::HPROGPWRON;
    });
  }
  core::Status ProgPowerOff() override {
    Record("PowerOff");
    return Answer(app::TPROGPWROFF, [this] {
      status_ = app::kStatusPowerOff;
      return app::HPROGPWROFF;
    });
  }
  core::Status FlashDelete(std::uint8_t arch, std::uint8_t type, std::uint32_t start,
                           std::uint32_t length) override {
    Record("Erase " + std::to_string(arch) + " " + std::to_string(type) + " " + Hex(start) + " " +
           Hex(length));
    return Answer(app::TFLASHERASE, [this, start, length] {
      for (std::uint32_t a = start; a < start + length; ++a) in_.flash.erase(a);
      status_ = app::kStatusEraseOk;
      return app::HFLASHERASE;
    });
  }
  core::Status ProgEnd() override {
    Record("ProgEnd");
    return Answer(app::TPROGEND, [] { return app::HPROGEND; });
  }
  core::Status Prog(std::uint32_t start, std::int16_t length, std::uint8_t arch, std::uint8_t type,
                    const std::uint8_t* buffer) override {
    Record("Prog " + Hex(start) + " " + std::to_string(length) + " " + std::to_string(arch) + " " +
           std::to_string(type));
    std::vector<std::uint8_t> bytes(buffer, buffer + length);
    return Answer(app::TPROGDATEN, [this, start, bytes] {
      for (std::size_t i = 0; i < bytes.size(); ++i)
        in_.flash[start + static_cast<std::uint32_t>(i)] = bytes[i];
      status_ = app::kStatusProgOk;
      return app::HPROGDATEN;
    });
  }
  core::Status ReadData(std::uint8_t, std::uint32_t start, std::uint32_t length) override {
    Record("ReadData " + Hex(start) + " " + std::to_string(length));
    return Answer(app::TLESEDATEN, [this, start, length] {
      readData_.clear();
      const std::uint32_t n = std::min(length + in_.readExtra, in_.readCap);
      readAddress_ = start + in_.readShift;
      for (std::uint32_t i = 0; i < n; ++i) readData_.push_back(in_.ByteAt(readAddress_ + i));
      status_ = 0;
      return app::HLESEDATEN;
    });
  }
  core::Status Checksum(std::uint8_t, std::uint32_t start, std::uint32_t length) override {
    Record("Checksum " + Hex(start) + " " + Hex(length));
    return Answer(app::TCHECKSUM, [this, start, length] {
      std::uint32_t sum = 0;
      for (std::uint32_t a = start; a < start + length; ++a) sum += in_.ByteAt(a);
      checksum_ = in_.checksumOverride.value_or(sum & 0xFF);
      return app::HCHECKSUM;
    });
  }
  core::Status GetManufacturerCode(std::uint32_t* value) override {
    if (last_ == app::HMANUFACTURER) *value = manufacturer_;
    return core::Status::Ok;
  }
  core::Status GetFlashType(std::uint32_t* value) override {
    if (last_ == app::HMANUFACTURER) *value = device_;
    return core::Status::Ok;
  }
  core::Status GetStatus(std::int16_t* value) override {
    if (last_ == app::HERROR || last_ == app::HPROGPWRON || last_ == app::HPROGPWROFF ||
        last_ == app::HLESEDATEN)
      *value = status_;
    return core::Status::Ok;
  }
  core::Status GetChecksum(std::uint32_t* value) override {
    if (last_ == app::HCHECKSUM) *value = checksum_;
    return core::Status::Ok;
  }
  core::Status GetEraseStatus(std::uint32_t* fail, std::int16_t* status) override {
    if (last_ == app::HFLASHERASE) {
      *fail = failAddress_;
      *status = status_;
    }
    return core::Status::Ok;
  }
  core::Status GetProgStatus(std::uint32_t* fail, std::int16_t* status) override {
    if (last_ == app::HPROGDATEN) {
      *fail = failAddress_;
      *status = status_;
    }
    return core::Status::Ok;
  }
  core::Status GetReadDataLength(std::uint32_t* length) override {
    lastError_ = 0;
    if (last_ != app::HLESEDATEN) {
      lastError_ = 4;
      return core::Status::Ok;
    }
    *length = static_cast<std::uint32_t>(readData_.size());
    return core::Status::Ok;
  }
  core::Status GetReadDataAddress(std::uint32_t* address) override {
    if (last_ == app::HLESEDATEN) *address = readAddress_;
    return core::Status::Ok;
  }
  core::Status GetReadData(std::uint8_t* buffer) override {
    std::copy(readData_.begin(), readData_.end(), buffer);
    return core::Status::Ok;
  }
  core::Status Shutdown() override {
    ++in_.shutdownCount;
    // Not a command, so not recorded; a test may still act at the run's end.
    if (in_.onCommand) in_.onCommand("Shutdown");
    return core::Status::Ok;
  }
  core::Status Close() override {
    ++in_.closeCount;
    return core::Status::Ok;
  }
  core::Status GetLastError(std::int16_t* code) override {
    *code = lastError_;
    return core::Status::Ok;
  }
  core::Status GetErrorString(std::string* text) override {
    *text = lastError_ == 0 ? "Last command completed successfully" : in_.errorText;
    return core::Status::Ok;
  }
  core::Status Advise(app::IQX_AppEvents* listener, core::Cookie* cookie) override {
    in_.advised = true;
    return events_.Advise(listener, cookie);
  }
  core::Status Unadvise(core::Cookie cookie) override {
    in_.advised = false;
    return events_.Unadvise(cookie);
  }

  // Lets the answer of a command wait for `passes` more loop passes.
  static void PostAfter(int passes, std::function<void()> task) {
    if (passes <= 0) {
      core::CurrentMessageLoop().Post(std::move(task));
      return;
    }
    core::CurrentMessageLoop().Post(
        [passes, task = std::move(task)]() mutable { PostAfter(passes - 1, std::move(task)); });
  }

 private:
  static std::string Hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", v);
    return text;
  }
  void Record(const std::string& call) {
    in_.calls.push_back(call);
    if (in_.onCommand) in_.onCommand(call);
  }

  // Runs the normal effect (which gives the response code) later on the loop,
  // or the scripted deviation.
  core::Status Answer(std::uint8_t command, std::function<app::QUARNEL_ID()> effect) {
    test::Answer answer = in_.AnswerFor(command);
    if (answer.times == 0) answer = {};
    if (answer.times > 0) --in_.answers[command].times;
    if (answer.kind == test::Answer::Kind::Silent) return core::Status::Ok;
    PostAfter(answer.delayPasses, [this, answer, effect] {
      if (answer.kind == test::Answer::Kind::ErrorEvent) {
        lastError_ = 2;
        events_.Raise([&](app::IQX_AppEvents& l) { l.Error(answer.errorCode); });
        return;
      }
      if (answer.kind == test::Answer::Kind::Damaged) {
        if (answer.executed) effect();
        events_.Raise([&](app::IQX_AppEvents& l) { l.Error(app::kErrorAnswerDamaged); });
        return;
      }
      app::QUARNEL_ID code = effect();
      if (answer.kind == test::Answer::Kind::HError) {
        code = app::HERROR;
        status_ = answer.status;
      } else if (answer.kind == test::Answer::Kind::WrongCode) {
        code = static_cast<app::QUARNEL_ID>(answer.wrongCode);
      } else if (answer.status >= 0) {
        status_ = answer.status;
      }
      failAddress_ = answer.failAddress;
      last_ = code;
      events_.Raise([&](app::IQX_AppEvents& l) { l.Response(code); });
    });
    return core::Status::Ok;
  }

  FakeInstrument& in_;
  core::EventSource<app::IQX_AppEvents> events_;
  std::int16_t lastError_ = 0;
  std::uint8_t last_ = app::HERROR;
  std::int16_t status_ = 0;
  std::uint32_t manufacturer_ = 0, device_ = 0, checksum_ = 0, failAddress_ = 0;
  std::uint32_t readAddress_ = 0;
  std::vector<std::uint8_t> readData_;
};

inline core::ClassRegistry<app::IQX_App> FakeRegistry(FakeInstrument& instrument) {
  core::ClassRegistry<app::IQX_App> registry;
  registry.Add(std::string(core::clsid::kFlashApp),
               [&instrument] { return std::make_unique<FakeApp>(instrument); });
  return registry;
}

}  // namespace pelvane::upload::test
