// Status values returned by every component operation. Component failures are
// reported through last-error codes; a status only says whether the call could
// be carried out at all (a missing result location, no memory, no interface).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace pelvane::core {

enum class Status : std::uint32_t {
  Ok = 0,
  NoInterface = 0x80004002,
  Pointer = 0x80004003,  // E_POINTER
  Fail = 0x80004005,
  OutOfMemory = 0x8007000E,  // E_OUTOFMEMORY
  InvalidArg = 0x80070057,
};

constexpr bool Succeeded(Status s) {
  return s == Status::Ok;
}

std::string StatusText(Status s);

// Thrown where a component lets a lower object's failure status reach its
// caller instead of recording it as a last error.
class StatusError : public std::runtime_error {
 public:
  StatusError(Status status, const std::string& what);
  Status status() const { return status_; }

 private:
  Status status_;
};

}  // namespace pelvane::core
