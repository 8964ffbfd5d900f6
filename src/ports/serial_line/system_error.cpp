#include "ports/serial_line/system_error.h"

#include <grp.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "ports/serial_line/line_errors.h"

namespace pelvane::ports::serial_line {

std::string_view LineErrorText(int code) {
  switch (code) {
    case kLineOk:
      return "no error";
    case kGeneralFailure:
      return "serial line failure";
    case kNoByte:
      return "no byte available";
    case kNotSupported:
      return "operation not supported";
    case kShortWrite:
      return "fewer bytes accepted than asked";
    case kBreakFailed:
      return "break could not be set or cleared";
    case kCloseFailed:
      return "device could not be closed";
    case kUnknownFlowType:
      return "unknown flow-control type";
    case kUnknownFlowKind:
      return "unknown flow-control kind";
    case kNoMemory:
      return "no memory for the line";
    case kAlreadyOpen:
      return "port already open in this process";
    case kBadParity:
      return "unknown parity letter";
    case kBadStopBits:
      return "stop bits not 1 or 2";
    case kBadDataBits:
      return "data bits not supported";
    default:
      return "unknown serial line error";
  }
}

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
  problem.lineCode = kGeneralFailure;
  std::string text = std::strerror(errnum);
  switch (errnum) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      problem.kind = ProblemKind::kMissing;
      problem.hint =
          "check the port name and that the adapter is plugged in (ls /dev/ttyS* /dev/ttyUSB*)";
      break;
    case EACCES:
    case EPERM:
      problem.kind = ProblemKind::kPermissionDenied;
      {
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
    case EIO:
      if (what == "open") {
        // /dev/ttyS1 and up exist whether or not a UART is fitted.
        problem.kind = ProblemKind::kMissing;
        text = "no serial hardware answers at this device";
        problem.hint =
            "USB adapters are usually /dev/ttyUSB0 or /dev/ttyACM0 (ls /dev/serial/by-id)";
      } else {
        problem.kind = ProblemKind::kVanished;
        text = "device went away (Input/output error)";
        problem.hint = "check the cable and the adapter";
      }
      break;
    case EINVAL:
      problem.kind = ProblemKind::kRejected;
      break;
    default:
      problem.kind = ProblemKind::kOther;
      break;
  }
  problem.reason = std::string(device) + ": " + std::string(what) + ": " + text;
  return problem;
}

}  // namespace pelvane::ports::serial_line
