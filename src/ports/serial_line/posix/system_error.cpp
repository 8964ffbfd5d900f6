#include "ports/serial_line/posix/system_error.h"

#include <grp.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace pelvane::ports::serial_line {
namespace {

// The group that may open the device: usually 'dialout', but distributions
// differ ('uucp', 'tty' for pseudo-terminals), so the device itself is asked.
std::string DeviceGroup(std::string_view device) {
  struct stat st {};
  if (::stat(std::string(device).c_str(), &st) == 0 && st.st_gid != 0) {
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(4096);
    if (::getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
      return found->gr_name;
  }
  return "dialout";
}

}  // namespace

SystemProblem DescribeSystemError(int errnum, std::string_view device, std::string_view what) {
  SystemProblem problem;
  std::string text = std::strerror(errnum);
  const bool opening = what == kStepOpen;
  switch (errnum) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case EIO:
    case EBADF:
      if (!opening) {
        problem.kind = ProblemKind::kVanished;
        text = "device went away (" + text + ")";
        problem.hint = "check the cable and the adapter";
      } else if (errnum == EIO) {
        // /dev/ttyS1 and up exist whether or not a UART is fitted.
        problem.kind = ProblemKind::kMissing;
        text = "no serial hardware answers at this device";
        problem.hint =
            "USB adapters are usually /dev/ttyUSB0 or /dev/ttyACM0: the port list shows them with "
            "their names (pelvane-cli --list-ports)";
      } else {
        problem.kind = ProblemKind::kMissing;
        problem.hint =
            "check the port name and that the adapter is plugged in: the port list shows the "
            "serial devices of this computer (pelvane-cli --list-ports)";
      }
      break;
    case EACCES:
    case EPERM: {
      problem.kind = ProblemKind::kPermissionDenied;
      const std::string group = DeviceGroup(device);
      problem.hint = "add your user to the '" + group + "' group (sudo usermod -aG " + group +
                     " $USER), then log in again";
      break;
    }
    case EBUSY:
    case EWOULDBLOCK:
      problem.kind = ProblemKind::kBusy;
      text = "device is held by another program";
      problem.hint = "close the other program that uses it (fuser -v " + std::string(device) + ")";
      break;
    case ENOTTY:
      problem.kind = ProblemKind::kNotSerial;
      text = "not a serial device";
      problem.hint = "name a serial device such as COM1, /dev/ttyS0 or /dev/ttyUSB0";
      break;
    case EINVAL:
      problem.kind = ProblemKind::kRejected;
      problem.hint = std::string(kRefusedParametersHint);
      break;
    default:
      problem.kind = ProblemKind::kOther;
      break;
  }
  problem.reason = std::string(device) + ": " + std::string(what) + ": " + text;
  return problem;
}

}  // namespace pelvane::ports::serial_line
