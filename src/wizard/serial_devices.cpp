#include "wizard/serial_devices.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <map>
#include <system_error>

#include "ports/serial_line/system_error.h"

namespace pelvane::wizard {

namespace {

namespace fs = std::filesystem;

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

void EraseSuffixFrom(std::string& s, const std::string& marker) {
  std::string::size_type at = s.rfind(marker);
  if (at != std::string::npos && at > 0) s.erase(at);
}

// Orders names by their text with digit runs compared as numbers.
bool NaturalLess(const std::string& a, const std::string& b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (std::isdigit(static_cast<unsigned char>(a[i])) &&
        std::isdigit(static_cast<unsigned char>(b[j]))) {
      std::size_t iEnd = i;
      std::size_t jEnd = j;
      while (iEnd < a.size() && std::isdigit(static_cast<unsigned char>(a[iEnd]))) ++iEnd;
      while (jEnd < b.size() && std::isdigit(static_cast<unsigned char>(b[jEnd]))) ++jEnd;
      std::string x = a.substr(i, iEnd - i);
      std::string y = b.substr(j, jEnd - j);
      x.erase(0, std::min(x.find_first_not_of('0'), x.size()));
      y.erase(0, std::min(y.find_first_not_of('0'), y.size()));
      if (x.size() != y.size()) return x.size() < y.size();
      if (x != y) return x < y;
      i = iEnd;
      j = jEnd;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

}  // namespace

std::string DescribeByIdName(const std::string& linkName) {
  std::string text = linkName;
  for (const char* bus : {"usb-", "pci-", "platform-"}) {
    if (StartsWith(text, bus)) {
      text.erase(0, std::char_traits<char>::length(bus));
      break;
    }
  }
  // The interface and port numbers say nothing to the user.
  EraseSuffixFrom(text, "-if");
  std::replace(text.begin(), text.end(), '_', ' ');
  return text;
}

int SystemDeviceAccess(const std::string& path) {
  return ::access(path.c_str(), R_OK | W_OK) == 0 ? 0 : errno;
}

std::string PortNote(const SerialDevice& device) {
  if (device.accessHint.empty()) return device.description;
  std::string note = device.description.empty() ? "" : device.description + "\n";
  return note + "You may not open " + device.path + " yet: " + device.accessHint + ".";
}

std::vector<SerialDevice> FindSerialDevices(const fs::path& devDir,
                                            const DeviceAccessCheck& mayUse) {
  std::map<std::string, std::string> found;  // device path -> description
  std::error_code ec;

  for (fs::directory_iterator it(devDir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (StartsWith(name, "ttyUSB") || StartsWith(name, "ttyACM"))
      found.emplace(it->path().string(), std::string{});
  }

  const fs::path byId = devDir / "serial" / "by-id";
  ec.clear();
  for (fs::directory_iterator it(byId, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code linkError;
    if (!it->is_symlink(linkError)) continue;
    fs::path target = fs::read_symlink(it->path(), linkError);
    if (linkError) continue;
    // The links are relative ("../../ttyUSB0"); the device is named from devDir
    // so that the path matches the one found above.
    fs::path device = devDir / target.filename();
    found[device.string()] = DescribeByIdName(it->path().filename().string());
  }

  std::vector<SerialDevice> devices;
  devices.reserve(found.size());
  for (auto& [path, description] : found) {
    SerialDevice device{path, description, {}};
    // The same advice as the port gives when opening fails, before the user tries.
    if (const int refusal = mayUse(path); refusal != 0) {
      const ports::serial_line::SystemProblem problem =
          ports::serial_line::DescribeSystemError(refusal, path, "open");
      if (problem.kind == ports::serial_line::ProblemKind::kPermissionDenied)
        device.accessHint = problem.hint;
    }
    devices.push_back(std::move(device));
  }
  std::sort(devices.begin(), devices.end(), [](const SerialDevice& a, const SerialDevice& b) {
    return NaturalLess(a.path, b.path);
  });
  return devices;
}

}  // namespace pelvane::wizard
