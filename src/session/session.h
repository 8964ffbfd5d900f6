// The session component (Vendrel): the framed link to the instrument over one
// port, with its worker thread, and the raw upload of the transfer program.
//
// Threading: the thread that creates a session owns it: it makes every call
// and receives every event, which arrive through its message loop
// (core::CurrentMessageLoop() at creation; keep that loop alive longer than
// the session). While the session is open one worker thread writes queued
// frames and collects answers; it hands over through atomic marks only:
//   - the send length: 0 = the send buffer belongs to the owner, 1..255 = a
//     frame is pending and the buffer belongs to the worker, kSendBusy = the
//     worker is writing that frame;
//   - the awaiting-response flag, set by the worker when a frame has gone and
//     cleared when its answer has been taken in (or the read failed).
// The port is used by the worker while a frame is pending or awaited and by
// the owner otherwise.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/event_source.h"
#include "core/link_diagnosis.h"
#include "ports/iqx_port.h"
#include "ports/port_diagnostics.h"
#include "ports/registry/port_registry.h"
#include "session/event_relay.h"
#include "session/iqx_session.h"
#include "session/port_io.h"
#include "session/session_timeouts.h"
#include "session/session_worker.h"

namespace pelvane::session {

// A session with the ports of the process-wide port registry and the
// protocol's time-outs.
std::unique_ptr<IQX_Session> CreateSession();

class Session final : public IQX_Session, public IQX_Transfer, public core::IQX_LinkDiagnostics {
 public:
  static constexpr std::size_t kBufferSize = 1024;

  // `portRegistry` must outlive the session.
  // `time` (the steady clock unless a test moves it on) must outlive the session.
  explicit Session(const ports::PortRegistry& portRegistry, SessionTimeouts timeouts = {},
                   const SessionTime& time = SteadySessionTime());
  // An open session is stopped first: its worker leaves before anything goes.
  ~Session() override;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // IQX_Session
  core::Status Open(const std::string& openParameter, bool* pbOpenFlag) override;
  core::Status Close(bool* pbCloseFlag) override;
  core::Status GetLastError(std::int16_t* piLastError) override;
  core::Status GetErrorString(std::string* lastError) override;
  core::Status State(PT_STATE* pState) override;
  core::Status Receive(std::uint8_t* pucBuffer, std::int32_t lMaxSize,
                       std::int32_t* plSize) override;
  core::Status Send(const std::uint8_t* pucBuffer, std::int32_t lSize, bool* pbSendFlag) override;
  core::Status ExplicitInitialize() override;
  core::Status Advise(IQX_SessionEvents* listener, core::Cookie* cookie) override;
  core::Status Unadvise(core::Cookie cookie) override;

  // IQX_Transfer
  core::Status Upload(const std::uint8_t* pucBuffer, std::int32_t lSize) override;
  core::Status IsUploadOK(PTS_FAILCODE* pFailCode) override;

  // IQX_LinkDiagnostics: the port's account of the last failure, and how the
  // instrument's answers have been coming.
  core::LinkDiagnosis DiagnoseLink() const override;
  core::LinkActivity Activity() const override;

 private:
  static constexpr int kSendBusy = -1;

  void SetError(std::int16_t number) { errorCode_.store(number, std::memory_order_release); }
  void PostError(std::int16_t number);
  // True once the port reported its device gone; the first time, the port
  // error is posted, so that a wait for an answer ends at once.
  bool DeviceLost();
  void Deliver(EventRelay::Notice notice, std::int32_t parameter);
  bool OwnerMayUsePort() const;

  // Worker thread.
  void WorkerPass();
  void ReceiveStep(PortInput& input);
  bool ReadBody(PortInput& input, int count);
  // Once a frame has begun it is acknowledged to its end, also when the
  // session is being closed: an instrument left in the middle of its answer
  // waits for an acknowledgement that never comes. Each byte is bounded by
  // the per-byte time-out.
  bool HandshakeBody(PortInput& input, int count);
  // Acknowledges what the instrument still sends after a damaged frame, until
  // the line has been quiet for answerSettle.
  void AcknowledgeRest(PortInput& input, int received);
  bool FrameIntact(int length) const;
  bool ReadByte(PortInput& input, std::uint8_t* byte);
  bool WriteByte(std::uint8_t byte);
  // A byte came from the instrument; `sinceAck` is the time since the
  // acknowledgement that let it come (none for the length byte).
  void NoteInput(std::optional<SessionClock::duration> sinceAck);
  void SetAnswering(bool answering);
  // False when the frame stays pending because the port refused it.
  bool SendStep();
  // Hands the send buffer back after a write: 0 when the frame went, its
  // length when it is to be written again.
  void ReleaseSendBuffer(int length);
  void WorkerSleep(std::chrono::milliseconds limit);

  const ports::PortRegistry& registry_;
  const SessionTimeouts timeouts_;
  const SessionTime& time_;

  std::atomic<PT_STATE> state_{PT_CLOSED};
  std::atomic<std::int16_t> errorCode_;
  std::unique_ptr<ports::IQX_Port> port_;
  ports::IQX_PortDiagnostics* portDiagnostics_ = nullptr;  // the port's, when it has them
  bool blockMode_ = false;
  // The port's account of the last failure, taken by the thread that met it
  // and read by the owner.
  mutable std::mutex diagnosisMutex_;
  core::LinkDiagnosis diagnosis_;
  std::atomic<bool> deviceLostReported_{false};
  // The last transfer-program block, whose verdict IsUploadOK awaits (owner's).
  SessionClock::time_point uploadStart_;
  std::size_t uploadBytes_ = 0;

  std::array<std::uint8_t, kBufferSize> sendBuffer_{};
  std::atomic<int> sendLength_{0};
  // Where the owner waits while the worker writes the frame it would replace.
  // Not std::atomic::wait: the C++ library of MinGW's GCC 12 can lose its
  // notification (it has no futex to fall back on), and the owner would wait
  // for ever. The mutex guards nothing but the wait itself.
  std::mutex sendReleasedMutex_;
  std::condition_variable sendReleased_;
  std::atomic<bool> awaitingResponse_{false};
  // Per session and re-armed by each Send, so that every silent command is
  // reported once.
  std::atomic<bool> noResponseReported_{false};
  SessionClock::time_point sendTime_;  // worker's, once it runs

  // A Receive that comes while a late answer is being published sees the old
  // frame or the new one whole, never a mix.
  std::mutex receivedMutex_;
  std::array<std::uint8_t, kBufferSize> receiveBuffer_{};
  int receiveLength_ = 0;
  std::array<std::uint8_t, kBufferSize> bodyBuffer_{};  // worker's

  // How the answers have been coming, for Activity(). The turnarounds are
  // the most recent ones, in microseconds, written round.
  mutable std::mutex activityMutex_;
  SessionClock::time_point lastInput_{};                // guarded by activityMutex_
  bool answering_ = false;                              // guarded by activityMutex_
  std::array<std::uint32_t, 128> turnaroundSamples_{};  // guarded by activityMutex_
  std::size_t turnarounds_ = 0;                         // guarded by activityMutex_
  std::string adapter_;                                 // guarded by activityMutex_

  std::unique_ptr<PortInput> workerInput_;  // worker's, made at Open
  core::EventSource<IQX_SessionEvents> events_;
  EventRelay relay_;
  SessionWorker worker_;
};

}  // namespace pelvane::session
