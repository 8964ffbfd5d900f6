// The session interfaces: the framed link to the instrument (IQX_Session) and
// the raw upload of the transfer program (IQX_Transfer), both implemented by
// the one Session object of the session component.
#pragma once

#include <cstdint>
#include <string>

#include "core/event_source.h"
#include "core/status.h"
#include "session/session_codes.h"

namespace pelvane::session {

enum PT_STATE : std::int32_t {
  PT_INVALID = 0,
  PT_CLOSED = 1,
  PT_CONNECTING = 2,
  PT_CONNECTED = 3,
  PT_LISTENING = 4,
  PT_CLOSING = 5,
};

class IQX_Session;

// Session events, delivered on the thread that created the session. (The
// event interfaces drop the leading underscore of their published names,
// because such names are reserved in C++.) Listeners override what they need.
class IQX_SessionEvents {
 public:
  virtual ~IQX_SessionEvents() = default;
  virtual void OnSend(IQX_Session* /*obj*/, std::int32_t /*lResult*/) {}
  virtual void OnConnect(IQX_Session* /*obj*/, std::int32_t /*lResult*/) {}
  virtual void OnClose(IQX_Session* /*obj*/, std::int32_t /*lResult*/) {}
  virtual void OnReceive(IQX_Session* /*obj*/, std::int32_t /*lCount*/) {}
  virtual void OnError(IQX_Session* /*obj*/, std::int16_t /*iLastError*/) {}
};

class IQX_Session {
 public:
  virtual ~IQX_Session() = default;

  virtual core::Status Open(const std::string& openParameter, bool* pbOpenFlag) = 0;
  virtual core::Status Close(bool* pbCloseFlag) = 0;
  // The error code minus 101 (0 to 16).
  virtual core::Status GetLastError(std::int16_t* piLastError) = 0;
  virtual core::Status GetErrorString(std::string* lastError) = 0;
  virtual core::Status State(PT_STATE* pState) = 0;
  // pucBuffer holds lMaxSize bytes at least.
  virtual core::Status Receive(std::uint8_t* pucBuffer, std::int32_t lMaxSize,
                               std::int32_t* plSize) = 0;
  // pucBuffer holds the payload of lSize bytes followed by its two checksum bytes.
  virtual core::Status Send(const std::uint8_t* pucBuffer, std::int32_t lSize,
                            bool* pbSendFlag) = 0;
  virtual core::Status ExplicitInitialize() = 0;

  virtual core::Status Advise(IQX_SessionEvents* listener, core::Cookie* cookie) = 0;
  virtual core::Status Unadvise(core::Cookie cookie) = 0;
};

// The session object's second interface (reach it with dynamic_cast).
class IQX_Transfer {
 public:
  virtual ~IQX_Transfer() = default;
  virtual core::Status Upload(const std::uint8_t* pucBuffer, std::int32_t lSize) = 0;
  virtual core::Status IsUploadOK(PTS_FAILCODE* pFailCode) = 0;
};

}  // namespace pelvane::session
