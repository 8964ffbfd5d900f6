#include "wizard/action_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>

namespace pelvane::wizard {

namespace {

std::string FormatTime(ActionLog::Clock::time_point time) {
  const std::time_t seconds = ActionLog::Clock::to_time_t(time);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                          time.time_since_epoch() % std::chrono::seconds(1))
                          .count();
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[40];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(millis < 0 ? 0 : millis));
  return text;
}

}  // namespace

void ActionLog::Add(std::string text, Clock::time_point time) {
  entries_.push_back({time, std::move(text)});
}

std::string ActionLog::Format() const {
  std::string out;
  for (const Entry& entry : entries_) {
    const std::string stamp = FormatTime(entry.time);
    out += stamp;
    out += "  ";
    for (char c : entry.text) {
      if (c == '\r') continue;
      out += c;
      if (c == '\n') out.append(stamp.size() + 2, ' ');
    }
    out += '\n';
  }
  return out;
}

bool ActionLog::Save(const std::string& path, std::string* error) const {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) {
    if (error) *error = "Cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  const std::string text = Format();
  file.write(text.data(), static_cast<std::streamsize>(text.size()));
  // A full disk shows only when the buffered rest is written out.
  file.close();
  if (!file) {
    if (error) *error = "Cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace pelvane::wizard
