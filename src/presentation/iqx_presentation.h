// The presentation interface: the 16-bit additive checksum on every command
// and response.
#pragma once

#include <cstdint>
#include <string>

#include "core/status.h"

namespace pelvane::presentation {

class IQX_Presentation {
 public:
  virtual ~IQX_Presentation() = default;
  // Checks and strips the two checksum bytes; plMaxSize is 0 on failure.
  virtual core::Status Decode(const std::uint8_t* pucBufferIn, std::int32_t lSize,
                              std::int32_t* plMaxSize) = 0;
  // Appends the two checksum bytes; plMaxSize is 0 on failure.
  virtual core::Status Encode(const std::uint8_t* pucBufferIn, std::int32_t lSize,
                              std::int32_t* plMaxSize) = 0;
  // Copies lMaxSize bytes of the last result into pucBuffer.
  virtual core::Status GetData(std::uint8_t* pucBuffer, std::int32_t lMaxSize) = 0;
  virtual core::Status GetLastError(std::int16_t* piLastError) = 0;
  virtual core::Status GetErrorString(std::string* lastError) = 0;
};

}  // namespace pelvane::presentation
