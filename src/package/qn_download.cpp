#include "package/qn_download.h"

#include <filesystem>
#include <vector>

#include "core/files.h"
#include "package/item_parsing.h"

namespace pelvane::package {

bool QN_Download::Init(const std::string& sInitString, const std::string& sSrcPath) {
  const std::vector<std::string> fields = SplitItemFields(sInitString);

  auto start = NumericFieldAt(fields, 0);
  if (!start) return false;
  StartAddress(*start);
  auto length = NumericFieldAt(fields, 1);
  // A negative length would read nothing and report success.
  if (!length || *length < 0) return false;
  Length(*length);
  if (!package::EndAddress(*start, *length)) return false;
  if (fields.size() < 3) return false;
  Filename(ResolveFileName(fields[2], sSrcPath));
  return true;
}

void QN_Download::Filename(const std::string& name) {
  filename_ = core::Trim(name);
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
  replaceAgreed_ = false;
  const std::string path = OutputPath();
  const std::string last = LastNameComponent(filename_);
  if (last.empty() || last == "." || last == "..") {
    valid_ = false;
    SetLastError(kErrUploadEntryInvalid);
    SetLastErrorString(" no file name in " + filename_);
    return false;
  }
  // A name this system cannot give a file (a device name such as NUL or COM1
  // on Windows, a control character) is refused before anything is sent.
  if (const std::string problem = core::FileNameProblem(last); !problem.empty()) {
    valid_ = false;
    SetLastError(kErrUploadEntryInvalid);
    SetLastErrorString(" " + filename_ + " cannot be the name of a file: " + problem);
    return false;
  }
  // Nothing that is not a file is ever replaced by one, whatever the answer.
  if (const core::FileKind kind = core::KindOf(path);
      kind == core::FileKind::kDirectory || kind == core::FileKind::kOther) {
    valid_ = false;
    SetLastError(kErrUploadEntryInvalid);
    SetLastErrorString(" " + path +
                       (kind == core::FileKind::kDirectory
                            ? " is a folder"
                            : " is not a regular file (a FIFO, device or socket)"));
    return false;
  }
  // A link of that name counts as a file, even when it leads nowhere: the
  // download replaces the link, so the user is asked about it.
  if (core::KindOf(path) != core::FileKind::kMissing) {
    PromptAnswer answer =
        prompt.Ask("File Exists ! :\n" + path + "\n Do you want to overwite the file?",
                   "Download Instrument Memory", PromptButtons::YesNo);
    if (answer != PromptAnswer::Yes) {
      valid_ = false;
      SetLastError(kErrFilenameInvalid);
      SetLastErrorString(" " + path);
      return false;
    }
    replaceAgreed_ = true;
  }
  // The download writes a temporary file in the same folder and renames it
  // over the name, so that is what must be possible: a probe of that kind,
  // removed at once.
  std::string reason;
  if (!core::FolderWritable(core::Utf8FromPath(core::PathFromUtf8(path).parent_path()), &reason)) {
    valid_ = false;
    SetLastError(kErrUploadEntryInvalid);
    SetLastErrorString(" " + reason + " " + path);
    return false;
  }
  valid_ = true;
  return true;
}

std::string LastNameComponent(const std::string& name) {
  std::string last = name;
  if (const auto cut = last.find_last_of("/\\"); cut != std::string::npos) last.erase(0, cut + 1);
  // "C:dump.bin" is relative to the current folder of drive C.
  if (last.size() >= 2 && last[1] == ':' &&
      ((last[0] >= 'A' && last[0] <= 'Z') || (last[0] >= 'a' && last[0] <= 'z')))
    last.erase(0, 2);
  return last;
}

std::string QN_Download::OutputPath() const {
  const std::string last = LastNameComponent(filename_);
  if (outputFolder_.empty()) return last;
  return core::Utf8FromPath(core::PathFromUtf8(outputFolder_) / core::PathFromUtf8(last));
}

bool QN_Download::NameMoved() const {
  return LastNameComponent(filename_) != filename_;
}

}  // namespace pelvane::package
