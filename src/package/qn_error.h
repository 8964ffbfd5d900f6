// The wizard's last-error holder. Every wizard class keeps one and offers its
// four operations; the text a caller reads is the resource text of the code
// followed directly by the stored detail, built when it is read.
#pragma once

#include <cstdint>
#include <string>

namespace pelvane::package {

// Error codes of the package model and the command line (resources 40000 + code).
enum QN_ErrorCode : std::int32_t {
  kErrOk = 0,
  kErrFilenameInvalid = 1,
  kErrFlashNameInvalid = 2,
  kErrArchitectureInvalid = 3,
  kErrProcessorInvalid = 4,
  kErrConfigurationInvalid = 5,
  kErrKeyNotFound = 6,
  kErrMemoryEntryInvalid = 7,
  kErrEraseEntryInvalid = 8,
  kErrUploadEntryInvalid = 9,
  kErrProgramEntryInvalid = 10,
  kErrCancelled = 11,
  kErrValidation = 12,
  kErrTransferEntryInvalid = 13,
  kErrCommandLineSwitch = 14,
};

// The resource text of an error code (40000 + code); empty for a code
// without a text. Covers the package and command-line codes 0..14 and the
// upload sequencer's codes 101..111.
std::string ErrorResourceText(std::int32_t code);

class QN_Error {
 public:
  void SetLastError(std::int32_t code) { code_ = code; }
  void SetLastErrorString(const std::string& text) { text_ = text; }
  std::int32_t GetLastError() const { return code_; }
  // Resource text of the code followed directly by the stored text.
  std::string GetLastErrorString() const { return ErrorResourceText(code_) + text_; }
  // The stored detail alone.
  const std::string& LastErrorDetail() const { return text_; }
  // Sets code and detail in one go; code 0 with an empty detail clears.
  void Set(std::int32_t code, const std::string& text) {
    code_ = code;
    text_ = text;
  }
  void Clear() { Set(0, {}); }

 private:
  std::int32_t code_ = 0;
  std::string text_;
};

// Base of every wizard class that implements the QN_Error interface by
// forwarding to an error holder of its own.
class QN_ErrorHolder {
 public:
  void SetLastError(std::int32_t code) { error_.SetLastError(code); }
  void SetLastErrorString(const std::string& text) { error_.SetLastErrorString(text); }
  std::int32_t GetLastError() const { return error_.GetLastError(); }
  std::string GetLastErrorString() const { return error_.GetLastErrorString(); }
  QN_Error& Error() { return error_; }
  const QN_Error& Error() const { return error_; }

 private:
  QN_Error error_;
};

}  // namespace pelvane::package
