#include "wizard/logic/action_log.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <system_error>

#include "core/files.h"
#include "core/program.h"

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
  const std::string text = Format();
  const core::WholeWrite written =
      core::WriteWholeFile(path, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()},
                           core::Overwrite::kAgreed);
  if (!written.ok && error) *error = "Cannot write " + written.error;
  return written.ok;
}

namespace fs = std::filesystem;

fs::path RunLogFolder() {
  return core::PathFromUtf8(core::LogFolder());
}

fs::path NextRunLog(const fs::path& folder, std::chrono::system_clock::time_point time,
                    std::size_t kept, std::uintmax_t keptBytes, std::string* error) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec || !fs::is_directory(folder)) {
    if (error)
      *error = "Cannot create " + folder.string() + ": " + (ec ? ec.message() : "not a folder");
    return {};
  }
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "run-%Y%m%d-%H%M%S", &local);
  fs::path path = folder / (std::string(stamp) + ".log");
  for (int n = 2; fs::exists(path, ec); ++n)
    path = folder / (std::string(stamp) + "-" + std::to_string(n) + ".log");
  // Oldest first: by the time in the name, then by the number a second run in
  // the same second got ("run-...-120000.log" before "run-...-120000-2.log").
  const auto age = [](const fs::path& log) {
    const std::string stem = log.stem().string();
    const std::string::size_type dash =
        stem.find('-', std::char_traits<char>::length("run-YYYYMMDD-"));
    const int number = dash == std::string::npos ? 1 : std::atoi(stem.c_str() + dash + 1);
    return std::pair(stem.substr(0, dash), number);
  };
  std::vector<fs::path> logs;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind("run-", 0) == 0 && it->path().extension() == ".log") logs.push_back(it->path());
  }
  std::sort(logs.begin(), logs.end(),
            [&age](const fs::path& a, const fs::path& b) { return age(a) < age(b); });
  // Its size beside each: the newest are kept while they fit the bytes.
  std::vector<std::uintmax_t> sizes;
  std::uintmax_t bytes = 0;
  for (const fs::path& log : logs) {
    const std::uintmax_t size = fs::file_size(log, ec);
    sizes.push_back(ec ? 0 : size);
    bytes += sizes.back();
  }
  const std::size_t keepOld = kept > 0 ? kept - 1 : 0;
  for (std::size_t i = 0; i < logs.size() && (i + keepOld < logs.size() || bytes > keptBytes);
       ++i) {
    bytes -= sizes[i];
    fs::remove(logs[i], ec);
  }

  return path;
}

}  // namespace pelvane::wizard
