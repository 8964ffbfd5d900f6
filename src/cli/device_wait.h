// Waiting for an adapter plugged in after the command was typed: the run
// starts when its device is there, or when the time is up (the port then
// explains what is wrong). The device is looked at, not opened (an open can
// reset an instrument); whether another program holds it, the run's own open
// tells. A cancel ends the wait like the run.
#pragma once

#include <atomic>
#include <chrono>
#include <string>

#include "cli/cli_runner.h"
#include "core/message_loop.h"

namespace pelvane::cli {

void WaitForDevice(const std::string& device, std::chrono::milliseconds limit,
                   const std::atomic<bool>& cancelled, core::MessageLoop& loop, CliStreams& io);

}  // namespace pelvane::cli
