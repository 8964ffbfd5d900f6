// The controller's run: the order of the steps (transfer program, memory
// query, read-back, erase, program, restart) on the values of an UploadPlan.
// The wait for each answer is AnswerWait's, what the run shows RunReport's.
// QN_UploadProcess adds the package around it; tests drive it directly with a
// plan, a fake package and a fake application object.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/event_source.h"
#include "upload/answer_wait.h"
#include "upload/failure_cause.h"
#include "upload/line_cost.h"
#include "upload/qn_upload_process.h"
#include "upload/run_estimate.h"
#include "upload/run_outcome.h"
#include "upload/run_report.h"
#include "upload/upload_plan.h"
#include "upload/upload_view.h"

namespace pelvane::upload {

// The largest block one frame carries: a Prog message holds 9 header bytes
// and a read answer 10 in a frame whose length byte counts to 255.
inline constexpr std::int32_t kMaxProgFrameBlock = 246;
inline constexpr std::int32_t kMaxReadFrameBlock = 245;
inline constexpr std::size_t kBlockBufferSize = 4001;
// A program block whose answer was lost is read back in pieces this short: the
// line that damaged one answer damages long ones often (at 0.2 % of the bytes
// four read answers of 240 bytes in ten), short ones seldom.
inline constexpr std::int32_t kBlockCheckPiece = 16;

// The run of `plan` as it will go when every answer comes: `transferSize` is
// the transfer program's size, `programSizes` the size of each program's
// data in the order of the plan. `plan.maxProgLen` is already cut to a frame.
RunEstimate EstimateRun(const UploadPlan& plan, const RunChoices& choices,
                        std::int64_t transferSize, const std::vector<std::int64_t>& programSizes,
                        const LineCost& line);

class UploadEngine {
 public:
  using Clock = QN_UploadProcess::Clock;

  explicit UploadEngine(const QN_UploadProcess::AppRegistry& apps);
  UploadEngine(const UploadEngine&) = delete;
  UploadEngine& operator=(const UploadEngine&) = delete;

  // QN_Error of the controller.
  std::int32_t GetLastError() const { return outcome_.Error().GetLastError(); }
  std::string GetLastErrorString() const { return outcome_.Error().GetLastErrorString(); }
  void SetLastError(std::int32_t code) { outcome_.Error().SetLastError(code); }
  void SetLastErrorString(const std::string& text) { outcome_.Error().SetLastErrorString(text); }
  // Why the last run failed; None after a success.
  FailureCause Cause() const { return outcome_.Cause(); }
  const std::string& PortHint() const { return outcome_.PortHint(); }

  void Cancel();
  bool Upload(UploadPackage& package);
  // What Upload checks before the port opens, and the estimate of its run;
  // nothing is sent.
  bool Check(UploadPackage& package, RunEstimate* estimate);
  const RunStatistics& Statistics() const { return statistics_; }
  const RunFacts& Facts() const { return report_.Facts(); }

  core::Status Advise(QN_UploadProcessEvents* listener, core::Cookie* cookie) {
    return report_.Advise(listener, cookie);
  }
  core::Status Unadvise(core::Cookie cookie) { return report_.Unadvise(cookie); }
  RunReport& Report() { return report_; }

  void SetView(QN_UploadView* view) { report_.SetView(view); }
  QN_UploadView* View() const { return report_.View(); }
  void SetWizardRunning() { report_.SetWizardRunning(); }
  bool WizardMode() const { return report_.WizardMode(); }

  void SetPort(const std::string& port) {
    port_ = port;
    wait_.SetPort(port);
  }
  const std::string& Port() const { return port_; }
  void SetTransferOnly(bool transferOnly) { transferOnly_ = transferOnly; }
  // After each program file's checksum matched, read its range back and
  // compare it byte for byte.
  void SetVerify(bool verify) { verify_ = verify; }
  bool VerifyEnabled() const { return verify_; }
  bool TransferOnly() const { return transferOnly_; }
  void SetOperation(RunOperation operation) { operation_ = operation; }
  RunOperation Operation() const { return operation_; }
  void SetClock(Clock clock) { clock_ = std::move(clock); }
  void SetTick(std::chrono::milliseconds tick);
  void SetIdleTimeout(std::chrono::milliseconds timeout) { wait_.SetIdleTimeout(timeout); }
  void SetResend(bool resend) { wait_.SetResend(resend); }
  bool IdleTimedOut() const { return wait_.IdleTimedOut(); }
  // How far the run came; any thread may ask (a forced end after a second
  // stop request says what the run left behind).
  RunStage Stage() const;

 private:
  bool ValidateConfiguration(UploadPackage& package);
  // The validation, the plan cut to what a frame carries and the members
  // read: everything before the port opens.
  bool Prepare(UploadPackage& package);
  RunEstimate Estimate() const;
  // The steps of the operation after the transfer program; true when all went through.
  bool RunSteps();
  bool OpenLink();
  void CloseLink();
  // Reads every member the run sends whole (the archive checks each CRC), so
  // that a damaged package is found before anything is sent or erased.
  bool ReadPackageMembers(UploadPackage& package);
  bool TransferProgram();
  // When the boot monitor's verdict on a transfer program of `bytes` is due.
  std::chrono::milliseconds BootMonitorLimit(std::size_t bytes) const;
  FailureCause TransferFailureCause(app::QUARNEL_ERR verdict) const;
  bool QueryManufacturers();
  bool DownloadFlashMemories();
  bool EraseFlashMemories();
  bool ProgramFlashMemories();
  void Restart();

  enum class DownloadEnd { Done, Cancelled, Failed };
  // Reads one range into `data`; the file is written once the whole range is in.
  DownloadEnd DownloadOne(const PlanDownload& download, std::vector<std::uint8_t>* data);
  // Reads `size` bytes from `start` into `data`, each answer checked against
  // its request, in reads of at most `piece` bytes (0: as many as a frame
  // carries); the step's progress shows under `text` (none when it is empty).
  DownloadEnd ReadRange(std::int32_t start, std::int64_t size, const std::string& text,
                        std::vector<std::uint8_t>* data, std::int32_t piece = 0);
  // Reads a programmed range back and compares it byte for byte.
  bool Verify(const PlanProgram& program, std::span<const std::uint8_t> data);
  // Verify-only: each program's range read back and compared with the
  // package, the first difference of each reported.
  bool VerifyFlashMemories();
  enum class Compared { Same, Differs, Failed };
  Compared CompareWithInstrument(const PlanProgram& program, std::span<const std::uint8_t> data,
                                 std::int64_t* differsAt);
  // Stopped: the step ends with its closing line; Failed: at once.
  enum class ProgramEnd { Done, Stopped, Failed };
  ProgramEnd ProgramOne(const PlanProgram& program, std::span<const std::uint8_t> data);
  // The instrument's checksum of a program file against the host's sum `host`
  // of its bytes.
  bool ChecksumMatches(const PlanProgram& program, std::int64_t size, std::uint32_t host,
                       std::int32_t blockCount);
  // Programs one block. When its answer was lost on the line, the block's
  // range tells what the instrument did: as sent, it was programmed; erased,
  // it was not, and it is sent again once; anything else fails with the first
  // address that differs.
  bool ProgramBlock(std::uint32_t address, std::span<const std::uint8_t> data,
                    std::uint8_t flashType);
  // Switches the programming voltage and reports it; false when the answer failed.
  bool SwitchVoltage(bool on);
  const PlanMemory* MemoryHolding(std::int32_t start, std::int32_t end) const;
  // The detail of a range outside the memories, naming the step's entry
  // ("erase range", "program FILE"; end: the first address behind it).
  static std::string RangeText(const std::string& what, std::int32_t start, std::int32_t end);
  std::chrono::steady_clock::time_point Now() const { return clock_(); }

  Clock clock_ = [] { return std::chrono::steady_clock::now(); };
  RunOutcome outcome_;
  RunReport report_{clock_};
  AnswerWait wait_;

  std::string port_;
  bool transferOnly_ = false;
  bool verify_ = false;
  RunOperation operation_ = RunOperation::Update;
  UploadPlan plan_;
  LineCost line_;
  RunStatistics statistics_;
  std::array<std::uint8_t, kBlockBufferSize> blockBuffer_{};
  // The members read before the run, each held once however many entries
  // name it: the transfer program, and each program's file in the order of
  // the plan (null for a read-back).
  using MemberBytes = std::shared_ptr<const std::vector<std::uint8_t>>;
  MemberBytes transferProgram_;
  std::vector<MemberBytes> programData_;
  // What each download of the run read back (or, after an erased read, the
  // backup that was kept), in the order of the plan.
  std::vector<std::vector<std::uint8_t>> readBack_;
  // What went to the instrument so far (see Stage).
  std::atomic<bool> sent_{false};
  std::atomic<bool> flashChanged_{false};
  std::atomic<bool> voltageOn_{false};
};

}  // namespace pelvane::upload
