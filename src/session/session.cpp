#include "session/session.h"

#include <algorithm>
#include <cstring>
#include <thread>
#include <utility>

#include "core/trace.h"
#include "session/session_messages.h"

namespace pelvane::session {

namespace {
using core::Status;
using std::chrono::milliseconds;

constexpr std::size_t kMaxErrorText = 511;
constexpr int kMaxPayload = 255;
// The host's answer to an answer frame's length byte.
constexpr std::uint8_t kLengthAcknowledgement = 0xFF;

bool IsConnectedState(PT_STATE state) {
  return state == PT_CONNECTING || state == PT_CONNECTED || state == PT_LISTENING;
}

// What is left of `limit` after `elapsed`, rounded up so that a wait near the
// deadline still sleeps instead of returning at once.
milliseconds Remaining(milliseconds limit, SessionClock::duration elapsed) {
  return std::chrono::ceil<milliseconds>(limit - elapsed);
}

void SleepFor(milliseconds d) {
  std::this_thread::sleep_for(d);
}

// The instrument checks each acknowledgement against a count that starts from
// the first body byte, not against the byte just sent.
std::uint8_t Acknowledgement(std::uint8_t first, int index) {
  return static_cast<std::uint8_t>(~(first + index + 1));
}
}  // namespace

Session::Session(const ports::PortRegistry& portRegistry, SessionTimeouts timeouts,
                 const SessionTime& time)
    : registry_(portRegistry),
      timeouts_(timeouts),
      time_(time),
      errorCode_(kMsgSuccess),
      sendTime_(time_.Now()),
      relay_([this](EventRelay::Notice notice, std::int32_t parameter) {
        Deliver(notice, parameter);
      }) {}

Session::~Session() {
  // The worker uses the port and the buffers: it has to be gone first.
  worker_.Stop();
  if (port_ && IsConnectedState(state_.load())) {
    bool closed = false;
    port_->Close(&closed);
  }
}

core::Status Session::Open(const std::string& openParameter, bool* pbOpenFlag) {
  if (pbOpenFlag == nullptr) return Status::Pointer;
  *pbOpenFlag = false;
  SetError(kMsgSuccess);
  const PT_STATE state = state_.load();
  if (IsConnectedState(state)) {
    SetError(kMsgAlreadyOpen);
    return Status::Ok;
  }
  if (state != PT_CLOSED) return Status::Ok;

  // The port of an earlier Open is closed by now; a new Open binds a new one.
  port_.reset();
  portDiagnostics_ = nullptr;
  deviceLostReported_.store(false);
  {
    std::lock_guard lock(diagnosisMutex_);
    diagnosis_ = {};
  }
  ports::PortBinding binding = ports::BindPort(openParameter, registry_);
  if (!binding.port) {
    SetError(kMsgUnableToOpen);
    return Status::Ok;
  }
  port_ = std::move(binding.port);
  portDiagnostics_ = dynamic_cast<ports::IQX_PortDiagnostics*>(port_.get());
  bool opened = false;
  port_->Open(binding.parameters, &opened);
  std::int16_t portError = 0;
  port_->GetLastError(&portError);
  if (portError != 0) {
    PostError(kMsgPortFailure);
    return Status::Ok;
  }
  blockMode_ = binding.blockMode;
  if (!opened) return Status::Ok;
  {
    std::lock_guard lock(activityMutex_);
    lastInput_ = {};
    answering_ = false;
    turnarounds_ = 0;
    adapter_ = portDiagnostics_ != nullptr ? portDiagnostics_->GetAdapterReport() : "";
    if (core::trace::On() && !adapter_.empty())
      core::trace::Note("port", binding.parameters + ": " + adapter_);
  }

  sendLength_.store(0);
  awaitingResponse_.store(false);
  noResponseReported_.store(false);
  sendTime_ = time_.Now();
  workerInput_ = std::make_unique<PortInput>(*port_, [this](milliseconds d) { WorkerSleep(d); });
  state_.store(PT_CONNECTED);
  worker_.Start([this] { WorkerPass(); });
  *pbOpenFlag = true;
  events_.Raise([this](IQX_SessionEvents& listener) { listener.OnConnect(this, 0); });
  return Status::Ok;
}

core::Status Session::Close(bool* pbCloseFlag) {
  if (pbCloseFlag == nullptr) return Status::Pointer;
  const auto start = time_.Now();
  SetError(kMsgSuccess);
  *pbCloseFlag = true;
  const PT_STATE state = state_.load();
  if (state == PT_CLOSED) {
    SetError(kMsgAlreadyClosed);
    return Status::Ok;
  }
  if (!IsConnectedState(state)) return Status::Ok;

  worker_.Stop();
  const milliseconds settle = Remaining(timeouts_.closeSettle, time_.Now() - start);
  if (settle > milliseconds(0)) SleepFor(settle);
  bool closed = false;
  port_->Close(&closed);
  *pbCloseFlag = closed;
  std::int16_t portError = 0;
  port_->GetLastError(&portError);
  if (portError != 0) PostError(kMsgPortFailure);
  // Whatever the port said, nothing of this link may carry over into the
  // next Open: no old frame is written, no old answer awaited.
  sendLength_.store(0);
  awaitingResponse_.store(false);
  state_.store(PT_CLOSED);
  return Status::Ok;
}

core::Status Session::GetLastError(std::int16_t* piLastError) {
  if (piLastError == nullptr) return Status::Pointer;
  *piLastError =
      static_cast<std::int16_t>(errorCode_.load(std::memory_order_acquire) - kFirstSessionMessage);
  return Status::Ok;
}

core::Status Session::GetErrorString(std::string* lastError) {
  if (lastError == nullptr) return Status::Pointer;
  // The port's own text names the real cause; it is asked only when the
  // worker is not using the port at the same moment.
  if (port_ && OwnerMayUsePort()) {
    std::int16_t portError = 0;
    port_->GetLastError(&portError);
    if (portError != 0) {
      port_->GetLastErrorString(lastError);
      return Status::Ok;
    }
  }
  const std::string_view text = SessionMessageText(errorCode_.load(std::memory_order_acquire));
  *lastError = std::string(text.substr(0, kMaxErrorText));
  return Status::Ok;
}

core::Status Session::State(PT_STATE* pState) {
  if (pState == nullptr) return Status::Pointer;
  SetError(kMsgSuccess);
  *pState = state_.load();
  return Status::Ok;
}

core::Status Session::Receive(std::uint8_t* pucBuffer, std::int32_t lMaxSize,
                              std::int32_t* plSize) {
  if (plSize == nullptr || (pucBuffer == nullptr && lMaxSize > 0)) return Status::Pointer;
  SetError(kMsgSuccess);
  const PT_STATE state = state_.load();
  if (state == PT_INVALID || state == PT_CLOSED || state == PT_CONNECTING) {
    *plSize = 0;
    SetError(kMsgNotOpen);
    return Status::Ok;
  }
  if (state != PT_CONNECTED && state != PT_LISTENING) return Status::Ok;
  std::lock_guard lock(receivedMutex_);
  *plSize = receiveLength_;
  // Never more than the buffer holds, whatever the caller asks for.
  const auto count = static_cast<std::size_t>(std::clamp<std::int32_t>(lMaxSize, 0, kBufferSize));
  if (count > 0) std::memcpy(pucBuffer, receiveBuffer_.data(), count);
  return Status::Ok;
}

core::Status Session::Send(const std::uint8_t* pucBuffer, std::int32_t lSize, bool* pbSendFlag) {
  if (pbSendFlag == nullptr || pucBuffer == nullptr) return Status::Pointer;
  *pbSendFlag = false;
  SetError(kMsgSuccess);
  const PT_STATE state = state_.load();
  if (state != PT_CONNECTED) {
    if (state != PT_CLOSING) SetError(kMsgNotOpen);
    return Status::Ok;
  }
  // The length byte carries 1..255; a larger payload would be cut short on
  // the wire, and would not fit the send buffer either.
  if (lSize < 0 || lSize > kMaxPayload) return Status::InvalidArg;

  // Take the send buffer back from the worker. A pending frame is withdrawn
  // (the new one replaces it); one the worker is writing right now is let
  // finish first, so the buffer never changes under its feet.
  int current = sendLength_.load(std::memory_order_acquire);
  for (;;) {
    if (current == kSendBusy) {
      std::unique_lock lock(sendReleasedMutex_);
      sendReleased_.wait(
          lock, [this] { return sendLength_.load(std::memory_order_acquire) != kSendBusy; });
      current = sendLength_.load(std::memory_order_acquire);
      continue;
    }
    if (sendLength_.compare_exchange_weak(current, 0, std::memory_order_acq_rel)) break;
  }
  std::memcpy(sendBuffer_.data(), pucBuffer, static_cast<std::size_t>(lSize) + 2);
  noResponseReported_.store(false, std::memory_order_release);
  sendLength_.store(lSize, std::memory_order_release);
  worker_.Wake();
  *pbSendFlag = true;
  return Status::Ok;
}

core::Status Session::ExplicitInitialize() {
  return Status::Ok;
}

core::Status Session::Advise(IQX_SessionEvents* listener, core::Cookie* cookie) {
  return events_.Advise(listener, cookie);
}

core::Status Session::Unadvise(core::Cookie cookie) {
  return events_.Unadvise(cookie);
}

core::Status Session::Upload(const std::uint8_t* pucBuffer, std::int32_t lSize) {
  if (pucBuffer == nullptr) return Status::Pointer;
  SetError(kMsgSuccess);
  if (state_.load() != PT_CONNECTED || !port_) {
    SetError(kMsgNotOpen);
    return Status::Ok;
  }
  // The worker is reading or writing the port for a command: writing the
  // block now would mix it into that exchange.
  if (!OwnerMayUsePort()) {
    PostError(kMsgPortFailureUpload);
    return Status::Ok;
  }
  if (lSize <= 0) return Status::Ok;
  uploadStart_ = time_.Now();
  uploadBytes_ = static_cast<std::size_t>(lSize);
  // The serial port takes at most what its transmit queue can hold; the rest
  // is offered again as the queue drains, so the block arrives whole or the
  // failure is reported.
  if (WriteAll(*port_, pucBuffer, lSize, timeouts_.uploadStall, SleepFor, nullptr) !=
      WriteOutcome::Written)
    PostError(kMsgPortFailureUpload);
  return Status::Ok;
}

core::Status Session::IsUploadOK(PTS_FAILCODE* pFailCode) {
  SetError(kMsgSuccess);
  if (pFailCode == nullptr) return Status::Pointer;
  if (state_.load() != PT_CONNECTED || !port_) {
    SetError(kMsgNotOpen);
    return Status::Ok;
  }
  if (!OwnerMayUsePort()) {
    PostError(kMsgPortFailureUploadOK);
    return Status::Ok;
  }
  // The boot monitor judges the block once it has all of it: at 9600 baud a
  // large transfer program is still on the wire for many seconds after the
  // write returned.
  if (auto* wait = dynamic_cast<ports::IQX_PortWait*>(port_.get()); wait && uploadBytes_ > 0)
    wait->WaitSent(uploadBytes_, uploadStart_, timeouts_.uploadDrain);
  uploadBytes_ = 0;
  PortInput input(*port_, SleepFor);
  const auto start = time_.Now();
  std::uint8_t answer = 0;
  for (;;) {
    const std::int32_t got = input.Read(&answer, 1);
    // With GPIB a silent boot monitor ends here: its read times out with an error.
    if (input.LastError() != 0) {
      PostError(kMsgPortFailureUploadOK);
      return Status::Ok;
    }
    if (got == 1) break;
    const auto elapsed = time_.Now() - start;
    if (elapsed >= timeouts_.uploadVerdict) {
      *pFailCode = PT_TNORESPONSE;
      return Status::Ok;
    }
    input.Wait(Remaining(timeouts_.uploadVerdict, elapsed));
  }
  switch (answer) {
    case kVerdictOk:
      *pFailCode = PT_OK;
      break;
    case kVerdictParity:
      *pFailCode = PT_TPARITYERR;
      SetError(kMsgUploadParity);
      break;
    case kVerdictFraming:
      *pFailCode = PT_TFRAMINGERR;
      SetError(kMsgUploadFraming);
      break;
    case kVerdictOverrun:
      *pFailCode = PT_TOVERRUNERR;
      SetError(kMsgUploadOverrun);
      break;
    case kVerdictChecksum:
      *pFailCode = PT_TCHECKSUMERR;
      SetError(kMsgUploadChecksum);
      break;
    default:
      *pFailCode = PT_TNORESPONSE;
      break;
  }
  return Status::Ok;
}

core::LinkDiagnosis Session::DiagnoseLink() const {
  std::lock_guard lock(diagnosisMutex_);
  return diagnosis_;
}

core::LinkActivity Session::Activity() const {
  std::lock_guard lock(activityMutex_);
  core::LinkActivity activity{lastInput_, answering_, {}, turnarounds_, adapter_};
  const std::size_t kept = std::min(turnarounds_, turnaroundSamples_.size());
  if (kept > 0) {
    auto samples = turnaroundSamples_;
    const auto middle = samples.begin() + static_cast<std::ptrdiff_t>(kept / 2);
    std::nth_element(samples.begin(), middle, samples.begin() + static_cast<std::ptrdiff_t>(kept));
    activity.turnaround = std::chrono::microseconds(*middle);
  }
  return activity;
}

void Session::SetAnswering(bool answering) {
  std::lock_guard lock(activityMutex_);
  answering_ = answering;
}

void Session::NoteInput(std::optional<SessionClock::duration> sinceAck) {
  std::lock_guard lock(activityMutex_);
  lastInput_ = time_.Now();
  if (!sinceAck) return;
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(*sinceAck).count();
  turnaroundSamples_[turnarounds_ % turnaroundSamples_.size()] =
      static_cast<std::uint32_t>(std::clamp<std::int64_t>(us, 0, UINT32_MAX));
  ++turnarounds_;
}

bool Session::DeviceLost() {
  if (portDiagnostics_ == nullptr || !portDiagnostics_->IsDeviceLost()) return false;
  if (!deviceLostReported_.exchange(true)) PostError(kMsgPortFailureSR);
  return true;
}

void Session::PostError(std::int16_t number) {
  // Taken by the thread that met the failure, which is the one using the port.
  if (portDiagnostics_ != nullptr) {
    core::LinkDiagnosis diagnosis{portDiagnostics_->GetSystemReason(), portDiagnostics_->GetHint(),
                                  portDiagnostics_->IsDeviceLost()};
    std::lock_guard lock(diagnosisMutex_);
    if (!diagnosis.reason.empty() || diagnosis.deviceLost) diagnosis_ = std::move(diagnosis);
  }
  if (core::trace::On())
    core::trace::Note("error", "session " + std::to_string(number) + ": " +
                                   std::string(SessionMessageText(number)));
  SetError(number);
  relay_.Post(EventRelay::ErrorNotice, number);
}

void Session::Deliver(EventRelay::Notice notice, std::int32_t parameter) {
  switch (notice) {
    case EventRelay::ReceiveNotice:
      events_.Raise([&](IQX_SessionEvents& l) { l.OnReceive(this, parameter); });
      break;
    case EventRelay::SendNotice:
      events_.Raise([&](IQX_SessionEvents& l) { l.OnSend(this, parameter); });
      break;
    case EventRelay::ErrorNotice:
      events_.Raise(
          [&](IQX_SessionEvents& l) { l.OnError(this, static_cast<std::int16_t>(parameter)); });
      break;
  }
}

bool Session::OwnerMayUsePort() const {
  if (!worker_.Running()) return true;
  // The send length first: the worker raises the awaiting flag before it
  // hands the send buffer back, so a free buffer seen here implies the flag.
  if (sendLength_.load(std::memory_order_acquire) != 0) return false;
  return !awaitingResponse_.load(std::memory_order_acquire);
}

// ---------------------------------------------------------------- worker ---

void Session::WorkerSleep(milliseconds limit) {
  // A worker that is being stopped only finishes the frame in progress:
  // nothing may end its sleep early, and a wait that returned at once would
  // spin.
  if (worker_.StopRequested())
    SleepFor(limit);
  else
    worker_.WaitForWake(limit);
}

void Session::WorkerPass() {
  PortInput& input = *workerInput_;
  if (awaitingResponse_.load(std::memory_order_acquire)) ReceiveStep(input);
  if (worker_.StopRequested()) return;
  const bool sent = SendStep();
  if (worker_.StopRequested()) return;
  if (!sent)
    worker_.WaitForWake(timeouts_.resendInterval);
  else if (awaitingResponse_.load(std::memory_order_acquire))
    input.Wait(timeouts_.pollSlice);
  else if (sendLength_.load(std::memory_order_acquire) == 0)
    worker_.WaitForWake(std::nullopt);  // idle: only Send or Close has work
}

void Session::ReceiveStep(PortInput& input) {
  std::uint8_t length = 0;
  if (input.Read(&length, 1) == 0 || length == 0) {
    // An unplugged adapter answers nothing ever again: say so now rather
    // than after the instrument's no-response time.
    if (DeviceLost()) return;
    // A frame queued meanwhile restarts the clock when it goes; the old
    // command is not reported again.
    if (time_.Now() - sendTime_ >= timeouts_.response &&
        sendLength_.load(std::memory_order_acquire) == 0 &&
        !noResponseReported_.exchange(true, std::memory_order_acq_rel))
      PostError(kMsgSessionTimeout);
    return;
  }
  NoteInput(std::nullopt);
  SetAnswering(true);
  const int count = length + 2;
  const bool complete = blockMode_ ? ReadBody(input, count) : HandshakeBody(input, count);
  const bool intact = complete && FrameIntact(length);
  if (complete && !intact && !blockMode_) AcknowledgeRest(input, count);
  SetAnswering(false);
  if (intact) {
    std::lock_guard lock(receivedMutex_);
    std::memcpy(receiveBuffer_.data(), bodyBuffer_.data(), static_cast<std::size_t>(count));
    receiveLength_ = length;
  }
  // Cleared before the notice, so that the owner, once told, may use the port.
  awaitingResponse_.store(false, std::memory_order_release);
  if (intact) {
    core::trace::Note("frame", "received (" + std::to_string(length) + "-byte message)");
    relay_.Post(EventRelay::ReceiveNotice, count);
  } else if (complete) {
    PostError(kMsgAnswerDamaged);
  }
}

bool Session::FrameIntact(int length) const {
  // The two bytes behind the message are the presentation layer's sum of it,
  // low byte first. The session checks them where the frame arrives, so that
  // a damaged answer is known at once and the rest of it acknowledged; the
  // application layer still checks every frame it takes in.
  std::uint32_t sum = 0;
  for (int i = 0; i < length; ++i) sum += bodyBuffer_[static_cast<std::size_t>(i)];
  const auto at = static_cast<std::size_t>(length);
  return bodyBuffer_[at] == (sum & 0xFF) && bodyBuffer_[at + 1] == ((sum >> 8) & 0xFF);
}

bool Session::HandshakeBody(PortInput& input, int count) {
  if (!WriteByte(kLengthAcknowledgement)) return false;
  auto acknowledged = time_.Now();
  for (int i = 0; i < count; ++i) {
    if (!ReadByte(input, &bodyBuffer_[static_cast<std::size_t>(i)])) return false;
    NoteInput(time_.Now() - acknowledged);
    if (!WriteByte(Acknowledgement(bodyBuffer_[0], i))) return false;
    acknowledged = time_.Now();
  }
  return true;
}

void Session::AcknowledgeRest(PortInput& input, int received) {
  // A damaged length byte that promised less than the instrument sends leaves
  // it waiting for the acknowledgement of its next byte; no frame holds more
  // than 257 body bytes.
  std::uint8_t byte = 0;
  auto quietSince = time_.Now();
  for (int i = received; i < kMaxPayload + 2;) {
    const auto quiet = time_.Now() - quietSince;
    if (quiet >= timeouts_.answerSettle) return;
    if (input.Read(&byte, 1) == 1) {
      NoteInput(std::nullopt);
      if (!WriteByte(Acknowledgement(bodyBuffer_[0], i++))) return;
      quietSince = time_.Now();
      continue;
    }
    if (DeviceLost()) return;
    input.Wait(std::min(timeouts_.pollSlice, Remaining(timeouts_.answerSettle, quiet)));
  }
}

bool Session::ReadBody(PortInput& input, int count) {
  int done = 0;
  auto lastProgress = time_.Now();
  while (done < count) {
    if (worker_.StopRequested()) return false;
    const std::int32_t got = input.Read(bodyBuffer_.data() + done, count - done);
    if (got > 0) {
      NoteInput(std::nullopt);
      done += got;
      lastProgress = time_.Now();
      continue;
    }
    if (DeviceLost()) return false;
    const auto elapsed = time_.Now() - lastProgress;
    if (elapsed >= timeouts_.perByte) {
      PostError(kMsgReadTimeout);
      return false;
    }
    input.Wait(std::min(timeouts_.pollSlice, Remaining(timeouts_.perByte, elapsed)));
  }
  return true;
}

bool Session::ReadByte(PortInput& input, std::uint8_t* byte) {
  const auto start = time_.Now();
  for (;;) {
    const auto elapsed = time_.Now() - start;
    if (elapsed >= timeouts_.perByte) {
      PostError(kMsgReadTimeout);
      return false;
    }
    if (input.Read(byte, 1) == 1) return true;
    if (DeviceLost()) return false;
    input.Wait(std::min(timeouts_.pollSlice, Remaining(timeouts_.perByte, elapsed)));
  }
}

bool Session::WriteByte(std::uint8_t byte) {
  if (WriteAll(*port_, &byte, 1, timeouts_.perByte, SleepFor, nullptr) == WriteOutcome::Written)
    return true;
  PostError(kMsgWriteTimeout);
  return false;
}

bool Session::SendStep() {
  int length = sendLength_.load(std::memory_order_acquire);
  if (length <= 0) return true;
  // The owner may be taking the buffer back for a newer frame; then that one
  // goes at the next pass.
  if (!sendLength_.compare_exchange_strong(length, kSendBusy, std::memory_order_acq_rel))
    return true;
  std::array<std::uint8_t, 1 + kMaxPayload + 2> frame{};
  frame[0] = static_cast<std::uint8_t>(length);
  std::memcpy(frame.data() + 1, sendBuffer_.data(), static_cast<std::size_t>(length) + 2);
  // One block in both modes: the instrument does not acknowledge what the
  // host sends.
  const WriteOutcome outcome = WriteAll(
      *port_, frame.data(), length + 3, timeouts_.perByte,
      [this](milliseconds d) { WorkerSleep(d); }, [this] { return worker_.StopRequested(); });
  if (outcome != WriteOutcome::Written) {
    // The frame stays pending and is written again at a later pass.
    if (outcome != WriteOutcome::Stopped) PostError(kMsgPortFailureSR);
    ReleaseSendBuffer(length);
    return outcome == WriteOutcome::Stopped;
  }
  core::trace::Note("frame", "sent (" + std::to_string(length) + "-byte message)");
  relay_.Post(EventRelay::SendNotice, length);
  sendTime_ = time_.Now();
  awaitingResponse_.store(true, std::memory_order_release);
  ReleaseSendBuffer(0);
  return true;
}

void Session::ReleaseSendBuffer(int length) {
  {
    // Stored under the owner's wait mutex, so that an owner that has just
    // seen the buffer busy is already waiting when the notice comes.
    std::lock_guard lock(sendReleasedMutex_);
    sendLength_.store(length, std::memory_order_release);
  }
  sendReleased_.notify_all();
}

}  // namespace pelvane::session
