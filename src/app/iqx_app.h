// The application interface: flash commands to the transfer program and their
// results. Commands are fire-and-forget; the answer arrives as a Response event.
#pragma once

#include <cstdint>
#include <string>

#include "app/quarnel.h"
#include "core/event_source.h"
#include "core/status.h"
#include "session/session_codes.h"

namespace pelvane::app {

// IQX_AppEvents::Error passes the session's message number on. These numbers
// say that the instrument left an answer, a byte of one or an acknowledgement
// out; the others that the link itself failed.
inline constexpr std::int16_t kErrorNoResponse = session::kMsgSessionTimeout;
inline constexpr std::int16_t kErrorReadTimeout = session::kMsgReadTimeout;
inline constexpr std::int16_t kErrorWriteTimeout = session::kMsgWriteTimeout;

constexpr bool IsNoAnswer(std::int16_t errorNumber) {
  return errorNumber == kErrorNoResponse || errorNumber == kErrorReadTimeout ||
         errorNumber == kErrorWriteTimeout;
}
// An answer came, but damaged on the line (its checksum failed).
inline constexpr std::int16_t kErrorAnswerDamaged = session::kMsgAnswerDamaged;

// Events of the application object (published name with a leading underscore,
// dropped here because such names are reserved in C++).
class IQX_AppEvents {
 public:
  virtual ~IQX_AppEvents() = default;
  virtual void Response(std::uint8_t enumResponseID) = 0;
  virtual void Error(std::int16_t iLastError) = 0;
};

// Operations throw core::StatusError where a lower object is missing.
class IQX_App {
 public:
  virtual ~IQX_App() = default;

  virtual core::Status UploadTransferProgram(const std::uint8_t* pucBuffer, std::int32_t lMaxSize,
                                             std::int32_t lStartAddr, std::int32_t lExecAddr,
                                             QUARNEL_ERR* pbUploadOK) = 0;
  virtual core::Status ExplicitInitialise(const std::string& openParameter) = 0;
  virtual core::Status QueryManufacturerCode(std::uint32_t ulFlashbase, std::uint8_t ucArchitecture,
                                             std::uint8_t ucFlashtype) = 0;
  virtual core::Status ProgPowerOn() = 0;
  virtual core::Status ProgPowerOff() = 0;
  virtual core::Status FlashDelete(std::uint8_t ucArchitecture, std::uint8_t ucFlashtype,
                                   std::uint32_t ulStartaddr, std::uint32_t ulLen) = 0;
  virtual core::Status ProgEnd() = 0;
  virtual core::Status Prog(std::uint32_t ulStartaddr, std::int16_t iLen,
                            std::uint8_t ucArchitecture, std::uint8_t ucFlashtype,
                            const std::uint8_t* pucBuffer) = 0;
  virtual core::Status GetManufacturerCode(std::uint32_t* pulManufacturer) = 0;
  virtual core::Status ReadData(std::uint8_t ucArchitecture, std::uint32_t ulStartaddr,
                                std::uint32_t ulLen) = 0;
  virtual core::Status Checksum(std::uint8_t ucArchitecture, std::uint32_t ulStartaddr,
                                std::uint32_t ulLen) = 0;
  virtual core::Status GetFlashType(std::uint32_t* pulFlashType) = 0;
  virtual core::Status GetStatus(std::int16_t* piStatus) = 0;
  virtual core::Status GetChecksum(std::uint32_t* pulChecksum) = 0;
  virtual core::Status GetEraseStatus(std::uint32_t* pulFailAddr, std::int16_t* piEraseStatus) = 0;
  virtual core::Status GetProgStatus(std::uint32_t* pulFailAddr, std::int16_t* piProgStatus) = 0;
  virtual core::Status GetReadDataLength(std::uint32_t* pulLen) = 0;
  // The start address the last read answer names, so that the caller can
  // check the answer against its request (unchanged after any other answer).
  virtual core::Status GetReadDataAddress(std::uint32_t* pulAddr) = 0;
  // pucBuffer holds GetReadDataLength bytes at least.
  virtual core::Status GetReadData(std::uint8_t* pucBuffer) = 0;
  virtual core::Status Shutdown() = 0;
  virtual core::Status Close() = 0;
  virtual core::Status GetLastError(std::int16_t* piLastError) = 0;
  virtual core::Status GetErrorString(std::string* lastError) = 0;

  virtual core::Status Advise(IQX_AppEvents* listener, core::Cookie* cookie) = 0;
  virtual core::Status Unadvise(core::Cookie cookie) = 0;
};

}  // namespace pelvane::app
