#include "cli/json_text.h"

#include <chrono>
#include <cstdio>

#include "package/text_encoding.h"
#include "ports/devices/serial_devices.h"

namespace pelvane::cli {

std::string JsonLine(const Json& value, int indent) {
  return value.dump(indent, ' ', false, Json::error_handler_t::replace) + "\n";
}

Json Text(const std::string& text) {
  return package::ToUtf8(text);
}

void AddOutcome(Json& object, bool ok, std::int32_t code, const std::string& message,
                upload::FailureCause cause) {
  object["ok"] = ok;
  object["code"] = code;
  object["message"] = Text(message);
  if (cause != upload::FailureCause::None) object["cause"] = upload::CauseName(cause);
}

std::string ResultLine(bool ok, std::int32_t code, const std::string& message,
                       upload::FailureCause cause) {
  Json result{{"event", "result"}};
  AddOutcome(result, ok, code, message, cause);
  return JsonLine(result);
}

std::string ShownText(std::string_view text) {
  const std::string utf8 = package::ToUtf8(text);
  std::string shown;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = utf8.find('\n', start);
    std::string_view line = std::string_view(utf8).substr(start, end - start);
    if (end != std::string::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    shown += ports::PrintableText(line);
    if (end == std::string::npos) return shown;
    shown += '\n';
    start = end + 1;
  }
}

std::string IsoTime(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const auto ms = time_point_cast<milliseconds>(when);
  const auto day = floor<days>(ms);
  const year_month_day date(day);
  const hh_mm_ss time(ms - day);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()),
                static_cast<int>(time.subseconds().count()));
  return text;
}

}  // namespace pelvane::cli
