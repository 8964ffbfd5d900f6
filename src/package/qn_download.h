// One instrument memory range to read back into a file on the computer
// ("UPLOAD" entries of the configuration). Init string: start, length, file.
#pragma once

#include <cstdint>
#include <string>

#include "package/prompt.h"
#include "package/qn_error.h"

namespace pelvane::package {

class QN_Download : public QN_ErrorHolder {
 public:
  bool Init(const std::string& sInitString, const std::string& sSrcPath);

  void Filename(const std::string& name);
  const std::string& Filename() const { return filename_; }
  void StartAddress(std::int32_t address) { startAddress_ = address; }
  std::int32_t StartAddress() const { return startAddress_; }
  void Length(std::int32_t length) { length_ = length; }
  std::int32_t Length() const { return length_; }
  // Nothing computes it: it reads 0.
  std::int32_t EndAddress() const { return endAddress_; }

  // Checks that the output file can be written. An existing file is kept
  // only if `prompt` agrees to overwrite it; the file is created empty when
  // absent (an existing one keeps its contents).
  bool Validate(QN_Prompt& prompt);
  // The same with the prompt set by SetPrompt; without one, an existing file
  // is not overwritten (the answer is No).
  bool Validate();
  // The prompt must outlive this item.
  void SetPrompt(QN_Prompt* prompt) { prompt_ = prompt; }
  // The valid flag as the last Validate left it.
  bool Valid() const { return valid_; }

 private:
  std::string filename_;
  std::int32_t startAddress_ = 0;
  std::int32_t length_ = 0;
  std::int32_t endAddress_ = 0;
  bool valid_ = false;
  QN_Prompt* prompt_ = nullptr;
};

}  // namespace pelvane::package
