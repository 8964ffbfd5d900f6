// The session's message table: the text of each number of session_codes.h.
#pragma once

#include <cstdint>
#include <string_view>

#include "session/session_codes.h"

namespace pelvane::session {

// The text of a message number; empty for a number outside 101..117.
std::string_view SessionMessageText(std::int16_t number);

}  // namespace pelvane::session
