// How a run stands: the controller's error code with its detail (what
// GetLastError and GetLastErrorString report) and the failure cause. A failure
// of the run may come without an error code (a checksum that differs, a range
// outside the memories), never without a cause.
#pragma once

#include <cstdint>
#include <string>

#include "package/qn_error.h"
#include "upload/failure_cause.h"

namespace pelvane::upload {

class RunOutcome {
 public:
  void Fail(std::int32_t code, const std::string& detail, FailureCause cause) {
    error_.Set(code, detail);
    cause_ = cause;
  }
  void SetCause(FailureCause cause) { cause_ = cause; }
  // The port's own advice on the failure, when it gave one.
  void SetPortHint(std::string hint) { portHint_ = std::move(hint); }
  const std::string& PortHint() const { return portHint_; }
  void Clear() {
    error_.Clear();
    cause_ = FailureCause::None;
    portHint_.clear();
  }

  // An error code is set: the step in progress has failed.
  bool HasError() const { return error_.GetLastError() != package::kErrOk; }
  FailureCause Cause() const { return cause_; }
  package::QN_Error& Error() { return error_; }
  const package::QN_Error& Error() const { return error_; }

 private:
  package::QN_Error error_;
  FailureCause cause_ = FailureCause::None;
  std::string portHint_;
};

}  // namespace pelvane::upload
