#include "package/qn_program.h"

#include <utility>

#include "package/item_parsing.h"
#include "package/package_archive.h"

namespace pelvane::package {

QN_Program::QN_Program(std::shared_ptr<const MemberDirectory> members)
    : members_(std::move(members)) {}

bool QN_Program::Init(const std::string& sInitString, const std::string& sSrcPath) {
  valid_ = true;
  const std::vector<std::string> fields = SplitItemFields(sInitString);

  auto load = NumericFieldAt(fields, 0);
  if (!load) return false;
  LoadAddress(*load);
  if (fields.size() < 2) return false;
  Filename(ResolveFileName(fields[1], sSrcPath));
  return !overflow_;
}

void QN_Program::Filename(const std::string& name) {
  filename_ = core::Trim(name);
  if (members_ && members_->CountMembers(filename_) >= 1) {
    std::int64_t size = members_->MemberSize(filename_);
    if (size > kMaxMemberBytes) {
      valid_ = false;
      SetLastError(kErrProgramEntryInvalid);
      SetLastErrorString(" File Too Large " + filename_);
      return;
    }
    range_.Length(static_cast<std::int32_t>(size));
    fileFound_ = true;
    if (loadAddressSet_ && !range_.EndComputed()) LoadAddress(range_.Start());
  } else {
    valid_ = false;
    SetLastError(kErrProgramEntryInvalid);
    SetLastErrorString(" File Not Found " + filename_);
  }
}

void QN_Program::LoadAddress(std::int32_t address) {
  range_.Start(address);
  loadAddressSet_ = true;
  if (!fileFound_) return;
  overflow_ = !range_.ComputeEnd();
  if (overflow_) valid_ = false;
}

void QN_Program::Length(std::int32_t length) {
  range_.Length(length);
  valid_ = true;
}

}  // namespace pelvane::package
