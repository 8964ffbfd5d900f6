#include "ports/serial_devices.h"

#include <fcntl.h>
#include <libudev.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fstream>
#include <map>
#include <system_error>

#include "ports/serial_line/posix/system_error.h"

namespace pelvane::ports {

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

// Serial-core drivers create ttyS0..ttyS31 whether or not a UART answers;
// "type" 0 says that none does. Without the file (no sysfs) the name counts.
bool HasUart(const fs::path& sysDir, const std::string& name) {
  std::ifstream type(sysDir / name / "type");
  int kind = -1;
  return !(type >> kind) || kind != 0;
}

// Access hints and the order every list shares.
void Finish(std::vector<SerialDevice>& devices, const DeviceAccessCheck& mayUse) {
  for (SerialDevice& device : devices) {
    // The same advice as the port gives when opening fails, before the user tries.
    if (const int refusal = mayUse(device.path); refusal != 0) {
      const serial_line::SystemProblem problem =
          serial_line::DescribeSystemError(refusal, device.path, "open");
      if (problem.kind == serial_line::ProblemKind::kPermissionDenied)
        device.accessHint = problem.hint;
    }
  }
  std::sort(devices.begin(), devices.end(), [](const SerialDevice& a, const SerialDevice& b) {
    return NaturalLess(a.path, b.path);
  });
}

// udev keeps its database only while its daemon runs; containers have none.
bool UdevRuns() {
  return ::access("/run/udev/control", F_OK) == 0;
}

std::string Property(udev_device* device, const char* name) {
  const char* value = udev_device_get_property_value(device, name);
  return value ? value : "";
}

SerialDevice DescribeUdevDevice(udev_device* device) {
  SerialDevice found;
  found.path = udev_device_get_devnode(device);
  found.serialNumber = Property(device, "ID_SERIAL_SHORT");
  const std::string vendor = Property(device, "ID_VENDOR_ID");
  const std::string product = Property(device, "ID_MODEL_ID");
  if (!vendor.empty() && !product.empty()) found.usbId = vendor + ":" + product;
  std::string name = Property(device, "ID_MODEL_FROM_DATABASE");
  if (name.empty()) name = Property(device, "ID_MODEL");
  std::replace(name.begin(), name.end(), '_', ' ');
  std::string maker = Property(device, "ID_VENDOR_FROM_DATABASE");
  if (maker.empty()) maker = Property(device, "ID_VENDOR");
  std::replace(maker.begin(), maker.end(), '_', ' ');
  found.description = maker.empty() || name.empty() ? maker + name : maker + " " + name;
  // DEVLINKS lists every link udev made, separated by spaces.
  const std::string links = Property(device, "DEVLINKS");
  const std::string byId = "/dev/serial/by-id/";
  if (const std::size_t at = links.find(byId); at != std::string::npos)
    found.stablePath = links.substr(at, links.find(' ', at) - at);
  return found;
}

// Devices of the tty subsystem with a parent device: virtual terminals and
// pseudo-terminals have none.
std::vector<SerialDevice> UdevSerialDevices(udev* context) {
  std::vector<SerialDevice> devices;
  udev_enumerate* scan = udev_enumerate_new(context);
  if (scan == nullptr) return devices;
  udev_enumerate_add_match_subsystem(scan, "tty");
  udev_enumerate_scan_devices(scan);
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(scan)) {
    udev_device* device = udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
    if (device == nullptr) continue;
    const char* node = udev_device_get_devnode(device);
    const char* name = udev_device_get_sysname(device);
    if (node != nullptr && name != nullptr && udev_device_get_parent(device) != nullptr &&
        (!StartsWith(name, "ttyS") || HasUart("/sys/class/tty", name)))
      devices.push_back(DescribeUdevDevice(device));
    udev_device_unref(device);
  }
  udev_enumerate_unref(scan);
  return devices;
}

}  // namespace

SerialDeviceList ListSerialDevices(const DeviceAccessCheck& mayUse) {
  if (UdevRuns()) {
    if (udev* context = udev_new()) {
      SerialDeviceList list{UdevSerialDevices(context), true};
      udev_unref(context);
      Finish(list.devices, mayUse);
      return list;
    }
  }
  return SerialDeviceList{FindSerialDevices("/dev", mayUse), false};
}

struct SerialDeviceMonitor::Udev {
  udev* context = nullptr;
  udev_monitor* monitor = nullptr;
};

SerialDeviceMonitor::SerialDeviceMonitor() {
  if (!UdevRuns()) return;
  auto state = std::make_unique<Udev>();
  state->context = udev_new();
  if (state->context == nullptr) return;
  state->monitor = udev_monitor_new_from_netlink(state->context, "udev");
  if (state->monitor == nullptr ||
      udev_monitor_filter_add_match_subsystem_devtype(state->monitor, "tty", nullptr) < 0 ||
      udev_monitor_enable_receiving(state->monitor) < 0) {
    if (state->monitor) udev_monitor_unref(state->monitor);
    udev_unref(state->context);
    return;
  }
  udev_ = std::move(state);
}

SerialDeviceMonitor::~SerialDeviceMonitor() {
  if (!udev_) return;
  udev_monitor_unref(udev_->monitor);
  udev_unref(udev_->context);
}

int SerialDeviceMonitor::Descriptor() const {
  return udev_ ? udev_monitor_get_fd(udev_->monitor) : -1;
}

bool SerialDeviceMonitor::TakeChanges() {
  if (!udev_) return false;
  bool changed = false;
  // The descriptor is non-blocking: the loop ends when no notice is left.
  while (udev_device* device = udev_monitor_receive_device(udev_->monitor)) {
    const char* action = udev_device_get_action(device);
    if (action != nullptr &&
        (std::string_view(action) == "add" || std::string_view(action) == "remove"))
      changed = true;
    udev_device_unref(device);
  }
  return changed;
}

std::string DeviceOfPort(const std::string& port) {
  if (!port.empty() && port.front() == '/') return port;
  if (port.size() < 4 || port.compare(0, 3, "COM") != 0) return "";
  int number = 0;
  for (std::size_t i = 3; i < port.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(port[i])) || number > 1000) return "";
    number = number * 10 + (port[i] - '0');
  }
  return number >= 1 ? "/dev/ttyS" + std::to_string(number - 1) : "";
}

bool DeviceReady(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool terminal = ::isatty(fd) == 1;
  ::close(fd);
  return terminal;
}

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

std::vector<SerialDevice> FindSerialDevices(const fs::path& devDir, const DeviceAccessCheck& mayUse,
                                            const fs::path& sysDir) {
  std::map<std::string, SerialDevice> found;  // by device path
  std::error_code ec;

  for (fs::directory_iterator it(devDir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (StartsWith(name, "ttyUSB") || StartsWith(name, "ttyACM") ||
        (StartsWith(name, "ttyS") && HasUart(sysDir, name)))
      found[it->path().string()].path = it->path().string();
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
    const std::string path = (devDir / target.filename()).string();
    SerialDevice& device = found[path];
    device.path = path;
    device.description = DescribeByIdName(it->path().filename().string());
    device.stablePath = it->path().string();
  }

  std::vector<SerialDevice> devices;
  devices.reserve(found.size());
  for (auto& entry : found) devices.push_back(std::move(entry.second));
  Finish(devices, mayUse);
  return devices;
}

}  // namespace pelvane::ports
