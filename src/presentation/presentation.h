// Lunwick: the presentation object, which appends and checks the 16-bit
// additive checksum that protects every command and response.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "presentation/iqx_presentation.h"

namespace pelvane::presentation {

// The presentation layer's string table: 100 is the module name, 101 and up
// the message numbers (GetLastError reports the number minus 101).
enum PresentationMessage : std::int32_t {
  kPresentationModuleName = 100,
  kPresentationOk = 101,
  kChecksumFailure = 102,
  kPresentationMemoryFailure = 103,
};

// Text of a presentation message number (empty for a number this layer does not use).
std::string PresentationMessageText(std::int32_t message);

// The sum of the bytes, each unsigned, in a 32-bit accumulator; callers keep its low 16 bits.
std::uint32_t PresentationChecksum(std::span<const std::uint8_t> data);

class Presentation final : public IQX_Presentation {
 public:
  Presentation() = default;

  core::Status Decode(const std::uint8_t* pucBufferIn, std::int32_t lSize,
                      std::int32_t* plMaxSize) override;
  core::Status Encode(const std::uint8_t* pucBufferIn, std::int32_t lSize,
                      std::int32_t* plMaxSize) override;
  core::Status GetData(std::uint8_t* pucBuffer, std::int32_t lMaxSize) override;
  core::Status GetLastError(std::int16_t* piLastError) override;
  core::Status GetErrorString(std::string* lastError) override;

 private:
  std::int32_t lastError_ = kPresentationOk;
  // The output of the last Encode or Decode; none after a failure.
  std::unique_ptr<std::vector<std::uint8_t>> result_;
};

std::unique_ptr<IQX_Presentation> CreatePresentation();

}  // namespace pelvane::presentation
