// clang-format off
#include <initguid.h>  // defines GUID_DEVINTERFACE_COMPORT here instead of declaring it
#include <windows.h>
#include <setupapi.h>
// clang-format on

#include <cwchar>
#include <string>
#include <string_view>
#include <vector>

#include "core/utf16.h"
#include "ports/devices/device_listing.h"
#include "ports/devices/serial_devices.h"
#include "ports/kind/device_name.h"

namespace pelvane::ports {

namespace {

std::string Utf8(std::wstring_view wide) {
  return core::Utf8FromUtf16(wide);
}

// A string read from the registry or SetupAPI need not end in a NUL, and may
// end in several.
std::wstring StringOfBuffer(const std::vector<wchar_t>& buffer) {
  return std::wstring(buffer.data(), wcsnlen(buffer.data(), buffer.size()));
}

// A number value of a registry key; -1 when it is missing or no number.
int RegistryNumber(HKEY key, const wchar_t* name) {
  DWORD type = 0;
  DWORD value = 0;
  DWORD size = sizeof(value);
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD || value > 255)
    return -1;
  return static_cast<int>(value);
}

// A string value of a registry key; empty when it is missing or no string.
std::wstring RegistryString(HKEY key, const wchar_t* name) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      type != REG_SZ)
    return {};
  std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
  size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) !=
      ERROR_SUCCESS)
    return {};
  return StringOfBuffer(buffer);
}

std::wstring DeviceProperty(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property) {
  DWORD type = 0;
  DWORD size = 0;
  SetupDiGetDeviceRegistryPropertyW(set, &info, property, &type, nullptr, 0, &size);
  if (size == 0) return {};
  std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
  if (!SetupDiGetDeviceRegistryPropertyW(
          set, &info, property, &type, reinterpret_cast<BYTE*>(buffer.data()),
          static_cast<DWORD>(buffer.size() * sizeof(wchar_t)), nullptr) ||
      type != REG_SZ)
    return {};
  return StringOfBuffer(buffer);
}

std::wstring InstanceId(HDEVINFO set, SP_DEVINFO_DATA& info) {
  DWORD size = 0;
  SetupDiGetDeviceInstanceIdW(set, &info, nullptr, 0, &size);
  if (size == 0) return {};
  std::vector<wchar_t> buffer(size + 1, L'\0');
  if (!SetupDiGetDeviceInstanceIdW(set, &info, buffer.data(), static_cast<DWORD>(buffer.size()),
                                   nullptr))
    return {};
  return StringOfBuffer(buffer);
}

// The present devices that offer the COM port interface; the port name is the
// "PortName" value of the device's own registry key.
std::vector<ComPortEntry> SetupApiPorts() {
  std::vector<ComPortEntry> ports;
  HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_COMPORT, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return ports;
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof(info);
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
    ComPortEntry entry;
    HKEY key = SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key != INVALID_HANDLE_VALUE) {
      entry.portName = Utf8(RegistryString(key, L"PortName"));
      // FTDI's driver keeps the adapter's latency timer beside the port name.
      entry.latencyTimerMs = RegistryNumber(key, L"LatencyTimer");
      RegCloseKey(key);
    }
    std::wstring name = DeviceProperty(set, info, SPDRP_FRIENDLYNAME);
    if (name.empty()) name = DeviceProperty(set, info, SPDRP_DEVICEDESC);
    entry.friendlyName = Utf8(name);
    entry.instanceId = Utf8(InstanceId(set, info));
    entry.service = Utf8(DeviceProperty(set, info, SPDRP_SERVICE));
    ports.push_back(std::move(entry));
  }
  SetupDiDestroyDeviceInfoList(set);
  return ports;
}

// Every serial port driver enters its ports here ("\Device\Serial0" = "COM1"),
// described or not.
std::vector<std::string> SerialCommPorts() {
  std::vector<std::string> ports;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return ports;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD nameLength = 256;
    std::vector<wchar_t> data(256, L'\0');
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    const LONG result = RegEnumValueW(key, i, name, &nameLength, nullptr, &type,
                                      reinterpret_cast<BYTE*>(data.data()), &size);
    if (result == ERROR_NO_MORE_ITEMS) break;
    // A value too long for a port name is no port name.
    if (result == ERROR_SUCCESS && type == REG_SZ) ports.push_back(Utf8(StringOfBuffer(data)));
  }
  RegCloseKey(key);
  return ports;
}

}  // namespace

std::string AccessHint(int, const std::string&) {
  // Windows tells who holds a port only when it is opened.
  return "";
}

SerialDeviceList ListSerialDevices(const DeviceAccessCheck&) {
  // No access check: opening a COM port to try it can reset an instrument.
  return ComPortList(SetupApiPorts(), SerialCommPorts());
}

struct SerialDeviceMonitor::State {};

SerialDeviceMonitor::SerialDeviceMonitor() = default;
SerialDeviceMonitor::~SerialDeviceMonitor() = default;

int SerialDeviceMonitor::Descriptor() const {
  return -1;
}

bool SerialDeviceMonitor::TakeChanges() {
  return false;
}

bool DeviceReady(const std::string& device) {
  // The object manager knows the port ("COM7") as soon as its driver made it.
  return DevicePresent(device);
}

int SystemDeviceAccess(const std::string&) {
  return 0;
}

}  // namespace pelvane::ports
