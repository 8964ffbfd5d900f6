// What the layers under the application object know about a failed link,
// offered beside their fixed interfaces (found with dynamic_cast): the
// port's own reason and advice, and whether the device went away. The upload
// controller takes its messages and hints from here instead of guessing.
//
// They also tell how the line has been going, so that the controller can
// tell a silent instrument from a slow one and name an adapter that delays
// every byte.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace pelvane::core {

struct LinkDiagnosis {
  std::string reason;       // "/dev/ttyUSB0: open: Permission denied"; empty when none
  std::string hint;         // what the user can do; empty when nothing specific
  bool deviceLost = false;  // an unplugged adapter, a closed pseudo-terminal
};

struct LinkActivity {
  // When the instrument's last byte came; the clock's epoch before the first.
  std::chrono::steady_clock::time_point lastInput{};
  // An answer frame is coming in: its length byte came, the rest is under
  // the session's own per-byte time-out.
  bool answering = false;
  // The median time from an acknowledgement to the answer byte it lets come,
  // over the most recent ones, and how many were measured since the link
  // opened. The adapter's latency shows here: the instrument itself answers
  // an acknowledgement within a byte time.
  std::chrono::microseconds turnaround{0};
  std::size_t turnarounds = 0;
  // The port's report on its adapter ("driver ftdi_sio, low latency kept,
  // latency timer 1 ms"); empty when it gave none.
  std::string adapter;
};

class IQX_LinkDiagnostics {
 public:
  virtual ~IQX_LinkDiagnostics() = default;
  virtual LinkDiagnosis DiagnoseLink() const = 0;
  virtual LinkActivity Activity() const { return {}; }
};

}  // namespace pelvane::core
