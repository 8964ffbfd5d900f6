// The runner's texts as they leave it: JSON, one object per line, always
// valid UTF-8, with the outcome of a run in the same fields wherever it
// appears (result line, report); and plain text that cannot steer a terminal.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "upload/failure_cause.h"

namespace pelvane::cli {

using Json = nlohmann::ordered_json;

// Texts from packages may be Windows-1252; JSON is UTF-8. A text that is
// still not valid is replaced character by character rather than stopping
// the output half-way.
std::string JsonLine(const Json& value, int indent = -1);

// A text of the package or the run as a JSON string (UTF-8).
Json Text(const std::string& text);

// The outcome of a run; a success has no cause.
void AddOutcome(Json& object, bool ok, std::int32_t code, const std::string& message,
                upload::FailureCause cause);

// The line with --json that ends every run: {"event":"result", outcome}.
std::string ResultLine(bool ok, std::int32_t code, const std::string& message,
                       upload::FailureCause cause);

// A text of the package or the run for standard output or error: UTF-8,
// line breaks as "\n", and every other control character (ESC and its kin
// from a package's names and texts) escaped ("\x1b"), so that it cannot move
// the cursor, clear the screen or retitle the window.
std::string ShownText(std::string_view text);

// "2026-12-09T11:54:52.123Z".
std::string IsoTime(std::chrono::system_clock::time_point when);

}  // namespace pelvane::cli
