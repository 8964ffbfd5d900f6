#include "ports/serial_line/win32/system_error.h"

#include <string>

#include "ports/serial_line/win32/comm_io.h"

namespace pelvane::ports::serial_line {
namespace {

// The system's own text, as UTF-8 without the trailing full stop and line end.
std::string SystemText(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string result;
  if (length > 0) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                           nullptr, nullptr);
    result.resize(static_cast<std::size_t>(size));
    ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), result.data(), size, nullptr,
                          nullptr);
  }
  if (text != nullptr) ::LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                             result.back() == ' ' || result.back() == '.'))
    result.pop_back();
  if (result.empty()) result = "system error";
  return result + " (error " + std::to_string(error) + ")";
}

constexpr std::string_view kDeviceManager = "Device Manager (\"Ports (COM & LPT)\")";

}  // namespace

SystemProblem DescribeSystemError(unsigned long error, std::string_view device,
                                  std::string_view what) {
  SystemProblem problem;
  std::string text = SystemText(error);
  const bool opening = what == kStepOpen;
  const std::string name(device);
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEV_NOT_EXIST:
      problem.kind = ProblemKind::kMissing;
      text = "no such port (" + text + ")";
      problem.hint = "check the COM number in " + std::string(kDeviceManager) +
                     " and the cable, or run pelvane-cli --list-ports";
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      // A COM port is opened without sharing: a refusal means another
      // program has it.
      if (opening) {
        problem.kind = ProblemKind::kBusy;
        text = "held by another program (" + text + ")";
        problem.hint = "close the other program that uses " + name +
                       " (terminal programs, other update tools)";
      } else {
        problem.kind = ProblemKind::kOther;
      }
      break;
    // How a removed USB adapter shows: drivers differ, and Wine answers a
    // pseudo-terminal whose other end closed with "not ready".
    case ERROR_BROKEN_PIPE:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_REMOVED:
    case ERROR_OPERATION_ABORTED:
    case ERROR_NOT_READY:
    case ERROR_GEN_FAILURE:
    case ERROR_IO_DEVICE:
    case ERROR_DEVICE_NOT_CONNECTED:
      if (opening) {
        problem.kind = ProblemKind::kMissing;
        problem.hint =
            "check the adapter and the cable, and the COM number in " + std::string(kDeviceManager);
      } else {
        problem.kind = ProblemKind::kVanished;
        text = "device went away (" + text + ")";
        problem.hint =
            "check the cable and the adapter; an adapter plugged in again may get "
            "another COM number (" +
            std::string(kDeviceManager) + ")";
      }
      break;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
      // Reading the settings of a device that is no serial port fails so;
      // later, a setting the driver does not take.
      if (opening) {
        problem.kind = ProblemKind::kNotSerial;
        text = "not a serial device";
        problem.hint = "name a serial port such as COM1 (see " + std::string(kDeviceManager) + ")";
      } else {
        problem.kind = ProblemKind::kRejected;
        problem.hint = std::string(kRefusedParametersHint);
      }
      break;
    case ERROR_INVALID_PARAMETER:
      problem.kind = ProblemKind::kRejected;
      problem.hint = std::string(kRefusedParametersHint);
      break;
    default:
      problem.kind = ProblemKind::kOther;
      break;
  }
  problem.reason = name + ": " + std::string(what) + ": " + text;
  return problem;
}

}  // namespace pelvane::ports::serial_line
