#include "ports/gpib/gpib_transfer.h"

#include "ports/gpib/gpib_constants.h"

namespace pelvane::ports::gpib {

TransferResult EvaluateTransfer(int status, int iberr, long ibcntl, std::int32_t requested) {
  TransferResult result;
  long count = ibcntl;
  if ((status & kTimo) != 0) {
    result.timedOut = true;
    count = ibcntl == 1 ? 1 : 0;
  }
  if ((status & kErr) != 0) count = (iberr == kEabo && ibcntl == 1) ? 1 : 0;
  if (count < 0) count = 0;
  if (count > requested) count = requested < 0 ? 0 : requested;
  result.count = static_cast<std::int32_t>(count);
  return result;
}

}  // namespace pelvane::ports::gpib
