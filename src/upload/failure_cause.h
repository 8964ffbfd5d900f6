// Why a run failed, as one value that the command-line runner and the wizard
// both take their advice from: a stable name for scripts and records, and a
// hint for the user. Nothing else decides a cause from message texts.
//
// To add a cause: one enum value here and one row in the table of
// failure_cause.cpp (the table test checks that every value has both).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "ports/kind/port_kind.h"

namespace pelvane::upload {

enum class FailureCause {
  None,                // the run succeeded (or has not failed yet)
  PortUnavailable,     // the port could not be opened, or failed while in use
  DeviceLost,          // the device went away while in use (an unplugged adapter)
  BootMonitorSilent,   // no verdict on the transfer program
  BootMonitorRefused,  // the boot monitor found the transfer program garbled
  InstrumentSilent,    // the transfer program stopped answering
  InstrumentError,     // the transfer program reported a failure or answered out of turn
  AnswerCorrupted,     // answers were damaged on the line (their checksum failed)
  ChecksumMismatch,    // the instrument's checksum differs from the package's
  VerifyMismatch,      // a programmed byte read back differs from the package's
  RangeOutsideMemory,  // an erase or program range lies in none of the memories
  PackageInvalid,      // the package cannot be loaded, or a member cannot be read whole
  FileNotWritten,      // a read-back file could not be written
  ValidationFailed,    // the package or the user's choices failed the checks before the run
  Cancelled,           // the user cancelled
  Internal,            // a component was missing or refused a call: a fault of the program
};

inline constexpr std::size_t kFailureCauseCount =
    static_cast<std::size_t>(FailureCause::Internal) + 1;

// The stable lower-case name ("port_unavailable"), for JSON and records.
std::string_view CauseName(FailureCause cause);

// How far a run came, for what a cancellation left behind.
enum class RunStage {
  NothingSent,     // nothing has gone to the instrument
  FlashUntouched,  // the transfer program was sent; nothing was erased or programmed
  FlashChanged,    // erasing or programming began; the programming voltage is off
  // The programming voltage was switched on and no answer said it is off
  // again: a cancellation ends the run without switching it off, as the
  // instrument's sequence does on every failure of an erase or a block.
  VoltageOn,
};

// What the hint can say about the bench the run used.
struct HintContext {
  // A serial line or the GPIB bus, and the boot key it starts with.
  ports::PortKind port = ports::PortKind::SerialName;
  std::string bootKey;   // the package's key ("F1 key"); empty: the port kind's own
  std::string portHint;  // the port's own advice, when its diagnostics gave one
  RunStage stage = RunStage::FlashChanged;
};

// One line of advice for the user; empty for None.
std::string CauseHint(FailureCause cause, const HintContext& context);

}  // namespace pelvane::upload
