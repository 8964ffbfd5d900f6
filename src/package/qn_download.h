// One instrument memory range to read back into a file on the computer
// ("UPLOAD" entries of the configuration). Init string: start, length, file.
//
// The file is always written inside the output folder (the current folder
// unless one is set), under the last component of the name the package
// gives: a package must not write anywhere else on the computer ("../x",
// "/etc/x" or "C:\CAL\dump.bin" become "x", "x" and "dump.bin").
#pragma once

#include <cstdint>
#include <string>

#include "package/address_range.h"
#include "package/prompt.h"
#include "package/qn_error.h"

namespace pelvane::package {

class QN_Download : public QN_ErrorHolder {
 public:
  bool Init(const std::string& sInitString, const std::string& sSrcPath);

  void Filename(const std::string& name);
  const std::string& Filename() const { return filename_; }
  void StartAddress(std::int32_t address) { range_.Start(address); }
  std::int32_t StartAddress() const { return range_.Start(); }
  void Length(std::int32_t length) { range_.Length(length); }
  std::int32_t Length() const { return range_.Length(); }
  // The folder the file is written to; empty: the current folder.
  void OutputFolder(const std::string& folder) { outputFolder_ = folder; }
  const std::string& OutputFolder() const { return outputFolder_; }
  // The file the read-back goes to: the last component of the name inside
  // the output folder (the name as it stands when it is a bare name and no
  // folder is set).
  std::string OutputPath() const;
  // The package's name had a folder part or a drive letter that was left off.
  bool NameMoved() const;
  // Nothing computes it: it reads 0.
  std::int32_t EndAddress() const { return range_.End(); }

  // Checks that the output file can be written. An existing file (or a
  // link of that name) is kept only if `prompt` agrees to overwrite it; a
  // folder, FIFO or device of that name is refused without a question.
  // Writability is probed with a temporary file that is removed again: the
  // folder is left as it was found, so a run that fails before the read
  // leaves nothing that the next run would ask about.
  bool Validate(QN_Prompt& prompt);
  // The same with the prompt set by SetPrompt; without one, an existing file
  // is not overwritten (the answer is No).
  bool Validate();
  // The prompt must outlive this item.
  void SetPrompt(QN_Prompt* prompt) { prompt_ = prompt; }
  // The valid flag as the last Validate left it.
  bool Valid() const { return valid_; }
  // The last Validate found a file of that name and the user agreed to
  // replace it; a file that appears later is never replaced.
  bool ReplaceAgreed() const { return replaceAgreed_; }

 private:
  std::string filename_;
  std::string outputFolder_;
  AddressRange range_;
  bool valid_ = false;
  bool replaceAgreed_ = false;
  QN_Prompt* prompt_ = nullptr;
};

// The last component of a file name as a package gives it, taking both "/"
// and "\\" as separators and leaving off a drive letter ("C:").
std::string LastNameComponent(const std::string& name);

}  // namespace pelvane::package
