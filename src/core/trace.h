// A trace of a run for diagnosing it afterwards: every byte on the line with
// its direction, the frames and commands they carry, acknowledgements,
// time-outs, port errors and the action lines, each with a monotonic time.
//
// There is one trace per process, so that each layer can add to it without
// being handed a recorder through interfaces whose shape is fixed. Off unless
// started; a call then costs one atomic load. Written through a large buffer,
// so that tracing does not slow the line.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/files.h"

namespace pelvane::core::trace {

enum class Direction : char { kOut = '>', kIn = '<' };

namespace detail {
extern std::atomic<bool> on;
}

// Starts a trace for `path`. Nothing reaches that name before Stop: the
// lines go to a new file beside it (core::OutputFile), so a trace named after
// a file that must not be lost destroys nothing. False, with the system's
// reason in `error`, when that file cannot be made. `access`: who may read it.
bool Start(const std::string& path, std::string* error, Access access = Access::kShared);
// Writes what is buffered and gives the trace its name, replacing a file
// there only with kAgreed; says where it went, or why it could not be written
// whole (a full disk), in which case nothing is left of it. ok with nothing
// written when no trace runs.
WholeWrite Stop(Overwrite overwrite = Overwrite::kAgreed);
// Ends the trace and removes it: the run it belonged to refused to start.
void Abandon();

inline bool On() {
  return detail::on.load(std::memory_order_relaxed);
}

// Bytes written to or read from the line.
void Bytes(Direction direction, const std::uint8_t* data, std::size_t size);
// One event: `kind` is a short word ("frame", "command", "answer", "error",
// "action", "run"), `text` says what happened.
void Note(std::string_view kind, std::string_view text);

// "09 41 0A" for the bytes given.
std::string Hex(const std::uint8_t* data, std::size_t size);

}  // namespace pelvane::core::trace
