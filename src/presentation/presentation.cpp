#include "presentation/presentation.h"

#include <algorithm>
#include <new>

namespace pelvane::presentation {

std::string PresentationMessageText(std::int32_t message) {
  switch (message) {
    case kPresentationModuleName:
      return "lunwick";
    case kPresentationOk:
      return "Last command completed successfully";
    case kChecksumFailure:
      return "Checksum failure";
    case kPresentationMemoryFailure:
      return "Memory allocation failure";
    default:
      return {};
  }
}

std::uint32_t PresentationChecksum(std::span<const std::uint8_t> data) {
  std::uint32_t sum = 0;
  for (std::uint8_t byte : data) sum += byte;
  return sum;
}

core::Status Presentation::Encode(const std::uint8_t* pucBufferIn, std::int32_t lSize,
                                  std::int32_t* plMaxSize) {
  lastError_ = kPresentationOk;
  result_.reset();
  if (plMaxSize == nullptr || lSize < 0 || (pucBufferIn == nullptr && lSize > 0)) {
    // A caller error rather than a fault of the data: nothing to encode from.
    if (plMaxSize != nullptr) *plMaxSize = 0;
    return core::Status::Pointer;
  }
  const std::span<const std::uint8_t> in(pucBufferIn, static_cast<std::size_t>(lSize));
  const std::uint32_t sum = PresentationChecksum(in);
  try {
    auto out = std::make_unique<std::vector<std::uint8_t>>(in.begin(), in.end());
    out->push_back(static_cast<std::uint8_t>(sum & 0xFF));
    out->push_back(static_cast<std::uint8_t>((sum >> 8) & 0xFF));
    result_ = std::move(out);
  } catch (const std::bad_alloc&) {
    *plMaxSize = 0;
    lastError_ = kPresentationMemoryFailure;
    return core::Status::Ok;
  }
  *plMaxSize = lSize + 2;
  return core::Status::Ok;
}

core::Status Presentation::Decode(const std::uint8_t* pucBufferIn, std::int32_t lSize,
                                  std::int32_t* plMaxSize) {
  lastError_ = kPresentationOk;
  result_.reset();
  if (plMaxSize == nullptr || (pucBufferIn == nullptr && lSize > 0)) {
    if (plMaxSize != nullptr) *plMaxSize = 0;
    return core::Status::Pointer;
  }
  // Fewer than two bytes cannot hold the checksum, so they cannot pass it.
  if (lSize < 2) {
    *plMaxSize = 0;
    lastError_ = kChecksumFailure;
    return core::Status::Ok;
  }
  const std::size_t m = static_cast<std::size_t>(lSize) - 2;
  const std::span<const std::uint8_t> message(pucBufferIn, m);
  const std::uint32_t sum = PresentationChecksum(message);
  // The checksum is compared before anything is allocated, so a corrupt
  // response reports a checksum failure even when memory is short.
  if (pucBufferIn[m] != (sum & 0xFF) || pucBufferIn[m + 1] != ((sum >> 8) & 0xFF)) {
    *plMaxSize = 0;
    lastError_ = kChecksumFailure;
    return core::Status::Ok;
  }
  try {
    result_ = std::make_unique<std::vector<std::uint8_t>>(message.begin(), message.end());
  } catch (const std::bad_alloc&) {
    *plMaxSize = 0;
    lastError_ = kPresentationMemoryFailure;
    return core::Status::Ok;
  }
  *plMaxSize = static_cast<std::int32_t>(m);
  return core::Status::Ok;
}

core::Status Presentation::GetData(std::uint8_t* pucBuffer, std::int32_t lMaxSize) {
  lastError_ = kPresentationOk;
  if (result_ == nullptr || lMaxSize <= 0) return core::Status::Ok;
  if (pucBuffer == nullptr) return core::Status::Pointer;
  // Never copies past the result: a count larger than the result copies the result alone.
  const std::size_t count = std::min(result_->size(), static_cast<std::size_t>(lMaxSize));
  std::copy_n(result_->begin(), count, pucBuffer);
  return core::Status::Ok;
}

core::Status Presentation::GetLastError(std::int16_t* piLastError) {
  if (piLastError == nullptr) return core::Status::Pointer;
  *piLastError = static_cast<std::int16_t>(lastError_ - kPresentationOk);
  return core::Status::Ok;
}

core::Status Presentation::GetErrorString(std::string* lastError) {
  if (lastError == nullptr) return core::Status::Pointer;
  try {
    *lastError = PresentationMessageText(lastError_);
  } catch (const std::bad_alloc&) {
    return core::Status::OutOfMemory;
  }
  return core::Status::Ok;
}

std::unique_ptr<IQX_Presentation> CreatePresentation() {
  return std::make_unique<Presentation>();
}

}  // namespace pelvane::presentation
