#include "core/trace.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>

#include "core/files.h"
#include "core/system_error.h"

namespace pelvane::core::trace {

namespace detail {
std::atomic<bool> on{false};
}

namespace {

// Bytes per line of a byte record: a frame of the protocol fits in a few.
constexpr std::size_t kBytesPerLine = 32;
constexpr std::size_t kBufferSize = 1 << 16;

struct State {
  std::mutex mutex;
  std::FILE* file = nullptr;
  std::chrono::steady_clock::time_point start;
  char buffer[kBufferSize];
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

bool Start(const std::string& path, std::string* error) {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  std::FILE* file = OpenStream(path, "wb");
  if (file == nullptr) {
    if (error)
      *error = "cannot write the trace " + path + ": " + SystemErrorText(LastSystemError());
    return false;
  }
  if (state.file) std::fclose(state.file);
  state.file = file;
  std::setvbuf(file, state.buffer, _IOFBF, sizeof state.buffer);
  state.start = std::chrono::steady_clock::now();
  detail::on.store(true, std::memory_order_relaxed);
  return true;
}

void Stop() {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  detail::on.store(false, std::memory_order_relaxed);
  if (state.file == nullptr) return;
  std::fclose(state.file);
  state.file = nullptr;
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
  if (state.file == nullptr) return;
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
    std::fwrite(line, 1, n, state.file);
  }
}

void Note(std::string_view kind, std::string_view text) {
  if (!On()) return;
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  if (state.file == nullptr) return;
  char stamp[24];
  std::fwrite(stamp, 1, Stamp(state, stamp), state.file);
  std::fprintf(state.file, "%.*s: %.*s\n", static_cast<int>(kind.size()), kind.data(),
               static_cast<int>(text.size()), text.data());
}

}  // namespace pelvane::core::trace
