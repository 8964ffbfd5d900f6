#include <libudev.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <string_view>

#include "ports/devices/device_listing.h"
#include "ports/devices/serial_devices.h"
#include "ports/serial_line/posix/system_error.h"

namespace pelvane::ports {

namespace {

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
        (std::string_view(name).substr(0, 4) != "ttyS" || HasUart("/sys/class/tty", name)))
      devices.push_back(DescribeUdevDevice(device));
    udev_device_unref(device);
  }
  udev_enumerate_unref(scan);
  return devices;
}

}  // namespace

std::string AccessHint(int refusal, const std::string& path) {
  const serial_line::SystemProblem problem =
      serial_line::DescribeSystemError(refusal, path, "open");
  return problem.kind == serial_line::ProblemKind::kPermissionDenied ? problem.hint : "";
}

SerialDeviceList ListSerialDevices(const DeviceAccessCheck& mayUse) {
  if (UdevRuns()) {
    if (udev* context = udev_new()) {
      SerialDeviceList list{UdevSerialDevices(context), ""};
      udev_unref(context);
      KeepCharacterDevices(list.devices);
      AddAccessHints(list.devices, mayUse);
      AddAdapterFacts(list.devices, "/sys/class/tty");
      SortNaturally(list.devices);
      return list;
    }
  }
  return SerialDeviceList{FindSerialDevices("/dev", mayUse), "udev does not run on this machine"};
}

struct SerialDeviceMonitor::State {
  udev* context = nullptr;
  udev_monitor* monitor = nullptr;
};

SerialDeviceMonitor::SerialDeviceMonitor() {
  if (!UdevRuns()) return;
  auto state = std::make_unique<State>();
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
  state_ = std::move(state);
}

SerialDeviceMonitor::~SerialDeviceMonitor() {
  if (!state_) return;
  udev_monitor_unref(state_->monitor);
  udev_unref(state_->context);
}

int SerialDeviceMonitor::Descriptor() const {
  return state_ ? udev_monitor_get_fd(state_->monitor) : -1;
}

bool SerialDeviceMonitor::TakeChanges() {
  if (!state_) return false;
  bool changed = false;
  // The descriptor is non-blocking: the loop ends when no notice is left.
  while (udev_device* device = udev_monitor_receive_device(state_->monitor)) {
    const char* action = udev_device_get_action(device);
    if (action != nullptr &&
        (std::string_view(action) == "add" || std::string_view(action) == "remove"))
      changed = true;
    udev_device_unref(device);
  }
  return changed;
}

bool DeviceReady(const std::string& device) {
  struct stat st {};
  if (::stat(device.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  // The tty's sysfs folder by its device number, whatever link named it: a
  // ttyS slot without a UART never answers.
  if (!HasUart("/sys/dev/char",
               std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev))))
    return false;
  // udev gives a new node its group and mode a moment after it appeared; a
  // user who may not use it even then hears so from the open.
  constexpr std::time_t kPermissionsSettle = 2;
  return ::access(device.c_str(), R_OK | W_OK) == 0 ||
         std::time(nullptr) - st.st_ctime >= kPermissionsSettle;
}

int SystemDeviceAccess(const std::string& path) {
  return ::access(path.c_str(), R_OK | W_OK) == 0 ? 0 : errno;
}

}  // namespace pelvane::ports
