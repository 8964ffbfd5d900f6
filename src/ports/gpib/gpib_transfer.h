// How the outcome of one driver read or write becomes the byte count that the
// port reports.
#pragma once

#include <cstdint>

namespace pelvane::ports::gpib {

struct TransferResult {
  std::int32_t count = 0;  // bytes the caller may use, 0..requested
  bool timedOut = false;   // the port reports "Port write timeout" (reads too)
};

// `status` is what the driver call returned; `iberr` and `ibcntl` are the status
// words it left. A transfer that ends in a time-out or an error counts only when
// exactly one byte moved: the session's one-byte reads (length byte, upload
// verdict) rely on that, and a partial multi-byte transfer is worthless to it.
// A count outside 0..requested (a driver that misreports) is held inside those
// bounds so that no caller trusts bytes that were never placed.
TransferResult EvaluateTransfer(int status, int iberr, long ibcntl, std::int32_t requested);

}  // namespace pelvane::ports::gpib
