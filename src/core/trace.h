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

namespace pelvane::core::trace {

enum class Direction : char { kOut = '>', kIn = '<' };

namespace detail {
extern std::atomic<bool> on;
}

// Starts a trace into `path` (replaced). False, with the system's reason in
// `error`, when the file cannot be created.
bool Start(const std::string& path, std::string* error);
// Writes what is buffered and closes the file; nothing when no trace runs.
void Stop();

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
