#include "core/trace.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>

#include "core/files.h"

namespace pelvane::core::trace {

namespace detail {
std::atomic<bool> on{false};
}

namespace {

// Bytes per line of a byte record: a frame of the protocol fits in a few.
constexpr std::size_t kBytesPerLine = 32;

struct State {
  std::mutex mutex;
  OutputFile file;  // buffered: an upload does not wait for the disk
  std::chrono::steady_clock::time_point start;
};

State& TheState() {
  static State state;
  return state;
}

constexpr char kDigits[] = "0123456789ABCDEF";

// Seconds since the trace started, to the microsecond, and a blank: at least
// 14 characters at `out`, which must hold 24.
std::size_t Stamp(const State& state, char* out) {
  const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - state.start);
  const long long us = elapsed.count();
  return static_cast<std::size_t>(
      std::snprintf(out, 24, "%6lld.%06lld ", us / 1000000, us % 1000000));
}

}  // namespace

bool Start(const std::string& path, std::string* error, Access access) {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  state.file.Abandon();
  std::string reason;
  if (!state.file.Create(path, access, &reason)) {
    if (error) *error = "cannot write the trace " + reason;
    return false;
  }
  state.start = std::chrono::steady_clock::now();
  detail::on.store(true, std::memory_order_relaxed);
  return true;
}

WholeWrite Stop(Overwrite overwrite) {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  detail::on.store(false, std::memory_order_relaxed);
  if (!state.file.IsOpen()) return {true, "", ""};
  return state.file.Finish(overwrite);
}

void Abandon() {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  detail::on.store(false, std::memory_order_relaxed);
  state.file.Abandon();
}

std::string Hex(const std::uint8_t* data, std::size_t size) {
  std::string text;
  text.reserve(size * 3);
  for (std::size_t i = 0; i < size; ++i) {
    if (i) text += ' ';
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 0x0F];
  }
  return text;
}

void Bytes(Direction direction, const std::uint8_t* data, std::size_t size) {
  if (!On() || size == 0) return;
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  if (!state.file.IsOpen()) return;
  // Formatted by hand: a byte-by-byte exchange writes a line per byte, and
  // the trace must keep up with the line.
  char line[24 + 2 + kBytesPerLine * 3];
  for (std::size_t at = 0; at < size; at += kBytesPerLine) {
    std::size_t n = Stamp(state, line);
    line[n++] = static_cast<char>(direction);
    for (std::size_t i = at; i < std::min(at + kBytesPerLine, size); ++i) {
      line[n++] = ' ';
      line[n++] = kDigits[data[i] >> 4];
      line[n++] = kDigits[data[i] & 0x0F];
    }
    line[n++] = '\n';
    state.file.Write(std::string_view(line, n));
  }
}

void Note(std::string_view kind, std::string_view text) {
  if (!On()) return;
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  if (!state.file.IsOpen()) return;
  char stamp[24];
  std::string line(stamp, Stamp(state, stamp));
  line.append(kind).append(": ").append(text).append("\n");
  state.file.Write(line);
}

}  // namespace pelvane::core::trace
