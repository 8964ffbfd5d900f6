#include "session/session_messages.h"

#include <array>

namespace pelvane::session {

namespace {
// Indexed by number - 101. Instruments' service staff know these texts from
// the original tool, so they stay word for word, capitals included (118 is
// this tool's own).
constexpr std::array<std::string_view, 18> kTexts = {
    "The last command completed successfully",
    "Unable to Open Session",
    "Session already Open",
    "Upload failed (Framing Error)",
    "Upload failed (Parity Error)",
    "Upload failed (Overrun Error)",
    "Upload failed (Checksum Error)",
    "Session already closed",
    "Session not open",
    "Port failure",
    "Session Timeout (No response from instrument)",
    "Memory allocation failure",
    "Timeout (expected to read from instrument)",
    "Timeout (expected to write to instrument)",
    "Port Failure Upload",
    "Port Failure UploadOK",
    "Port Failure SR",
    "Answer damaged on the line (checksum error)",
};
}  // namespace

std::string_view SessionMessageText(std::int16_t number) {
  if (number < kFirstSessionMessage || number > kLastSessionMessage) return {};
  return kTexts[static_cast<std::size_t>(number - kFirstSessionMessage)];
}

}  // namespace pelvane::session
