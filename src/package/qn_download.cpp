#include "package/qn_download.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "package/item_parsing.h"

namespace pelvane::package {

bool QN_Download::Init(const std::string& sInitString, const std::string& sSrcPath) {
  const std::vector<std::string> fields = SplitItemFields(sInitString);

  auto start = NumericFieldAt(fields, 0);
  if (!start) return false;
  StartAddress(*start);
  auto length = NumericFieldAt(fields, 1);
  if (!length) return false;
  Length(*length);
  if (!package::EndAddress(*start, *length)) return false;
  if (fields.size() < 3) return false;
  Filename(ResolveFileName(fields[2], sSrcPath));
  return true;
}

void QN_Download::Filename(const std::string& name) {
  filename_ = Trim(name);
}

bool QN_Download::Validate() {
  struct NoPrompt : QN_Prompt {
    PromptAnswer Ask(const std::string&, const std::string&, PromptButtons) override {
      return PromptAnswer::No;
    }
  } no;
  return Validate(prompt_ ? *prompt_ : static_cast<QN_Prompt&>(no));
}

bool QN_Download::Validate(QN_Prompt& prompt) {
  std::error_code ec;
  if (std::filesystem::exists(filename_, ec)) {
    PromptAnswer answer =
        prompt.Ask("File Exists ! :\n" + filename_ + "\n Do you want to overwite the file?",
                   "Download Instrument Memory", PromptButtons::YesNo);
    if (answer != PromptAnswer::Yes) {
      valid_ = false;
      SetLastError(kErrFilenameInvalid);
      SetLastErrorString(" " + filename_);
      return false;
    }
  }
  // Append mode creates an absent file and keeps an existing one as it is;
  // the download itself writes the contents later.
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(filename_.c_str(), "ab"),
                                                       &std::fclose);
  if (!file) {
    valid_ = false;
    SetLastError(kErrUploadEntryInvalid);
    SetLastErrorString(std::string(" ") + std::strerror(errno) + " " + filename_);
    return false;
  }
  valid_ = true;
  return true;
}

}  // namespace pelvane::package
