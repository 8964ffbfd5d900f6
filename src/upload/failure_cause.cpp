#include "upload/failure_cause.h"

#include <array>

#include "ports/kind/device_name.h"

namespace pelvane::upload {

namespace {

struct CauseRow {
  FailureCause cause;
  const char* name;
  // The hint on a serial line and on the GPIB bus (null: the same). "{key}"
  // stands for the key that starts the boot monitor, "{driver}" for this
  // system's GPIB driver.
  const char* hint;
  const char* gpibHint;
  // The port's own diagnosis knows the device better than any text here.
  bool portAdvises;
};

// In the order of the enum; the table test checks that every value has a row.
constexpr std::array<CauseRow, kFailureCauseCount> kCauses = {{
    {FailureCause::None, "none", "", nullptr, false},
    {FailureCause::PortUnavailable, "port_unavailable",
     "the port could not be opened: check that the serial adapter is plugged in and the port name",
     "the GPIB interface could not be opened: check that {driver} is installed and configured "
     "(PELVANE_GPIB_LIBRARY may name another driver library)",
     true},
    {FailureCause::DeviceLost, "device_lost",
     "the device went away during the run: check the cable and the adapter, then repeat the "
     "upload",
     nullptr, true},
    {FailureCause::BootMonitorSilent, "boot_monitor_silent",
     "the boot monitor did not answer: check the cable, then switch the instrument on while "
     "pressing the {key}",
     "the boot monitor did not answer: check the GPIB cable and that the instrument is at GPIB "
     "address 28, then switch the instrument on while pressing the {key}",
     false},
    {FailureCause::BootMonitorRefused, "boot_monitor_refused",
     "the transfer program was garbled on the line: check the cable and the baud rate",
     "the transfer program was garbled on the bus: check the GPIB cable, that the instrument is "
     "at GPIB address 28 and that the driver library ({driver}, or PELVANE_GPIB_LIBRARY) "
     "belongs to this interface",
     false},
    {FailureCause::InstrumentSilent, "instrument_silent",
     "the instrument stopped answering: check the cable and the instrument's power, start its "
     "boot monitor again and repeat the upload",
     nullptr, false},
    {FailureCause::InstrumentError, "instrument_error",
     "the instrument reported a failure: switch it off and on, start its boot monitor again and "
     "repeat the upload; if the same step fails again, the instrument needs service",
     nullptr, false},
    {FailureCause::AnswerCorrupted, "answer_corrupted",
     "the instrument's answers were damaged on the line: check the cable (its length, "
     "shielding and connectors) and that nothing else shares the line, then repeat the upload; "
     "the instrument may hold incomplete firmware",
     "the instrument's answers were damaged on the bus: check the GPIB cable and its "
     "connectors, then repeat the upload; the instrument may hold incomplete firmware",
     false},
    {FailureCause::ChecksumMismatch, "checksum_mismatch",
     "the instrument's checksum differs from the package's: repeat the upload, and do not use "
     "the instrument before a run succeeds",
     nullptr, false},
    {FailureCause::VerifyMismatch, "verify_mismatch",
     "a programmed byte read back differs from the package although the checksum matched: "
     "repeat the upload, and if it fails again at the same address, the instrument's flash "
     "needs service",
     nullptr, false},
    {FailureCause::RangeOutsideMemory, "range_outside_memory",
     "the package erases or programs a range outside the instrument's memories: it does not fit "
     "this instrument (pelvane-pkg check shows its entries)",
     nullptr, false},
    {FailureCause::PackageInvalid, "package_invalid",
     "the package could not be read: copy it again and check it with pelvane-pkg check", nullptr,
     false},
    {FailureCause::FileNotWritten, "file_not_written",
     "a read-back file could not be written: check that the folder is writable and has room",
     nullptr, false},
    {FailureCause::ValidationFailed, "validation_failed",
     "nothing was sent to the instrument: correct what the message names and start again", nullptr,
     false},
    {FailureCause::Cancelled, "cancelled",
     "the upload was cancelled: the instrument may hold incomplete firmware, so repeat the "
     "upload before using it",
     nullptr, false},
    {FailureCause::Internal, "internal",
     "an internal fault stopped the run: please report it with the message above", nullptr, false},
}};

constexpr bool RowsFollowTheEnum() {
  for (std::size_t i = 0; i < kCauses.size(); ++i)
    if (static_cast<std::size_t>(kCauses[i].cause) != i) return false;
  return true;
}
static_assert(RowsFollowTheEnum(), "one row per cause, in the order of the enum");

const CauseRow& RowOf(FailureCause cause) {
  const auto index = static_cast<std::size_t>(cause);
  return index < kCauses.size() ? kCauses[index] : kCauses.back();
}

}  // namespace

std::string_view CauseName(FailureCause cause) {
  return RowOf(cause).name;
}

std::string CauseHint(FailureCause cause, const HintContext& context) {
  // A cancellation says what it left behind.
  if (cause == FailureCause::Cancelled && context.stage == RunStage::NothingSent)
    return "the upload was cancelled before anything was sent: the instrument is as it was";
  if (cause == FailureCause::Cancelled && context.stage == RunStage::FlashUntouched)
    return "the upload was cancelled before anything was erased: the instrument keeps its "
           "firmware; switch it off and on to leave the transfer program";
  if (cause == FailureCause::Cancelled && context.stage == RunStage::VoltageOn)
    return "the upload was cancelled with the programming voltage on: switch the instrument off "
           "now; it may hold incomplete firmware, so repeat the upload before using it";
  const CauseRow& row = RowOf(cause);
  if (row.portAdvises && !context.portHint.empty()) return context.portHint;
  const ports::PortKindInfo& port = ports::InfoOf(context.port);
  std::string hint = port.gpibBus && row.gpibHint != nullptr ? row.gpibHint : row.hint;
  const std::string key = context.bootKey.empty() ? std::string(port.bootKey) : context.bootKey;
  if (const auto at = hint.find("{key}"); at != std::string::npos) hint.replace(at, 5, key);
  if (const auto at = hint.find("{driver}"); at != std::string::npos)
    hint.replace(at, 8, ports::GpibDriverName());
  // A run that failed before the first erase left the firmware as it was.
  constexpr std::string_view kIncomplete = "; the instrument may hold incomplete firmware";
  if (hint.ends_with(kIncomplete) &&
      (context.stage == RunStage::NothingSent || context.stage == RunStage::FlashUntouched))
    hint.replace(hint.size() - kIncomplete.size(), kIncomplete.size(),
                 "; nothing was erased, so the instrument keeps its firmware");
  return hint;
}

}  // namespace pelvane::upload
