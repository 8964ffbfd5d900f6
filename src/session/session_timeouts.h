// Every time the session waits for, with the protocol's defaults. Tests
// shorten them; nothing else should need to.
#pragma once

#include <chrono>

#include "session/session_codes.h"

namespace pelvane::session {

struct SessionTimeouts {
  using ms = std::chrono::milliseconds;

  // From writing a frame until its answer's length byte has come. The session
  // reports it once per command and then goes on waiting for the answer.
  ms response{120000};
  // Each byte of an answer body (and each acknowledgement the host writes) in
  // handshake mode; in block mode, a pause in the body.
  ms perByte{4000};
  // From the moment the transfer program has left the host (IsUploadOK waits
  // for that first) until the boot monitor's verdict character.
  ms uploadVerdict{kVerdictWait};
  // How much longer than the transfer program's wire time the transmit
  // queues may take to empty before the verdict wait starts regardless.
  ms uploadDrain{2000};
  // How long Upload goes on offering the rest of a block that the port does
  // not take (its transmit queue is full) before it reports a port failure.
  ms uploadStall{10000};
  // Close lets the line settle this long before it closes the port.
  ms closeSettle{10};
  // The longest single sleep of the worker while it expects input, so that a
  // stop request or a newly queued frame is noticed promptly.
  ms pollSlice{50};
  // Pause before writing a frame again after the port refused it.
  ms resendInterval{100};
  // After an answer frame that failed its checksum, the bytes the instrument
  // still sends (its length byte may have been damaged to a smaller one) are
  // acknowledged until none has come for this long, so that the instrument
  // ends its frame and takes the next command. Above an adapter's latency
  // timer and the instrument's reaction, below its wait for an acknowledgement.
  ms answerSettle{250};
};

}  // namespace pelvane::session
