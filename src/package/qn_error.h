// The wizard's last-error holder. Every wizard class keeps one and offers its
// four operations; the text a caller reads is the resource text of the code
// followed directly by the stored detail, built when it is read.
#pragma once

#include <cstdint>
#include <string>

namespace pelvane::package {

// Error codes (resources 40000 + code): 0..14 belong to the package model and
// the command line, 101 and up to the upload controller's run.
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

  // The upload controller.
  kErrProgramming = 101,      // a program block failed (detail: the fail address)
  kErrChecksum = 102,         // the instrument's checksum differs (detail: both values)
  kErrFlashRange = 103,       // an erase or program range lies in no memory (detail: the range)
  kErrPowerOn = 104,          // the programming voltage did not come on
  kErrPowerOff = 105,         // the programming voltage did not go off
  kErrReadData = 106,         // a read-back answer failed
  kErrFlashErase = 107,       // an erase failed (detail: the fail address)
  kErrVerify = 108,           // a programmed byte read back differs (detail: its address)
  kErrGeneral = 109,          // the instrument's own error report (HERROR)
  kErrTransferProgram = 110,  // the transfer program did not start
  kErrCommunication = 111,    // the link or the application layer failed
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
