#include "package/qn_transfer_program.h"

#include <utility>

#include "package/item_parsing.h"
#include "package/package_archive.h"

namespace pelvane::package {

QN_TransferProgram::QN_TransferProgram(std::shared_ptr<const MemberDirectory> members)
    : members_(std::move(members)) {}

bool QN_TransferProgram::Init(const std::string& sInitString, const std::string& sSrcPath) {
  valid_ = true;
  const std::vector<std::string> fields = SplitItemFields(sInitString);

  Filename(ResolveFileName(fields[0], sSrcPath));
  auto load = NumericFieldAt(fields, 1);
  if (!load) return false;
  LoadAddress(*load);
  auto exec = NumericFieldAt(fields, 2);
  if (!exec) return false;
  ExecAddress(*exec);
  return !overflow_;
}

void QN_TransferProgram::Filename(const std::string& name) {
  filename_ = core::Trim(name);
  if (members_ && members_->CountMembers(filename_) >= 1) {
    std::int64_t size = members_->MemberSize(filename_);
    if (size > kMaxMemberBytes) {
      valid_ = false;
      SetLastError(kErrTransferEntryInvalid);
      SetLastErrorString(" File Too Large " + filename_);
      return;
    }
    range_.Length(static_cast<std::int32_t>(size));
    fileFound_ = true;
    if (loadAddressSet_ && !range_.EndComputed()) ComputeEnd();
  } else {
    valid_ = false;
    SetLastError(kErrTransferEntryInvalid);
    SetLastErrorString(" File Not Found " + filename_);
  }
}

void QN_TransferProgram::LoadAddress(std::int32_t address) {
  range_.Start(address);
  loadAddressSet_ = true;
  if (fileFound_ && !range_.EndComputed()) ComputeEnd();
}

void QN_TransferProgram::ExecAddress(std::int32_t address) {
  execAddress_ = address;
  execAddressSet_ = true;
}

void QN_TransferProgram::ComputeEnd() {
  if (range_.ComputeEnd()) return;
  // A range past the 32-bit address space cannot be loaded anywhere.
  overflow_ = true;
  valid_ = false;
}

}  // namespace pelvane::package
