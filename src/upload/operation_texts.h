// The lines a run of each operation starts and ends with, the same in the
// command-line runner and the wizard.
#pragma once

#include "upload/run_operation.h"

namespace pelvane::upload {

struct OperationTexts {
  const char* name;     // for records: "verify-only"
  const char* started;  // the first action line: "UPLOAD FIRMWARE STARTED"
  const char* title;    // the step's first progress text: "Upload Firmware"
  const char* process;  // "... completed in": "Firmware Upload Process"
  const char* failed;   // what the user reads first after a failure
};

const OperationTexts& TextsOf(RunOperation operation);

}  // namespace pelvane::upload
