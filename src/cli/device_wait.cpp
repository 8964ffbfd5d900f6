#include "cli/device_wait.h"

#include <ostream>

#include "ports/devices/serial_devices.h"

namespace pelvane::cli {

void WaitForDevice(const std::string& device, std::chrono::milliseconds limit,
                   const std::atomic<bool>& cancelled, core::MessageLoop& loop, CliStreams& io) {
  if (limit.count() == 0 || device.empty()) return;
  const auto end = std::chrono::steady_clock::now() + limit;
  long shown = -1;
  while (!cancelled && !ports::DeviceReady(device)) {
    const auto left = end - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) break;
    const long seconds = static_cast<long>(std::chrono::ceil<std::chrono::seconds>(left).count());
    if (io.errIsTerminal && seconds != shown) {
      io.err << "\r\033[KWaiting for " << device << " (" << seconds << " s left)" << std::flush;
      shown = seconds;
    }
    // The loop's wait also ends at once on a cancel request.
    loop.ProcessEvents(std::chrono::milliseconds(100));
  }
  if (shown >= 0) io.err << "\r\033[K" << std::flush;
}

}  // namespace pelvane::cli
