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

namespace pelvane::ports {

namespace {

std::string Utf8(std::wstring_view wide) {
  return core::Utf8FromUtf16(wide);
}

std::wstring Wide(std::string_view text) {
  return core::Utf16FromUtf8(text);
}

// A string read from the registry or SetupAPI need not end in a NUL, and may
// end in several.
std::wstring StringOfBuffer(const std::vector<wchar_t>& buffer) {
  return std::wstring(buffer.data(), wcsnlen(buffer.data(), buffer.size()));
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
      RegCloseKey(key);
    }
    std::wstring name = DeviceProperty(set, info, SPDRP_FRIENDLYNAME);
    if (name.empty()) name = DeviceProperty(set, info, SPDRP_DEVICEDESC);
    entry.friendlyName = Utf8(name);
    entry.instanceId = Utf8(InstanceId(set, info));
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
  // Exclusive, like the port's own open: a port that another program holds
  // is refused.
  HANDLE handle = CreateFileW(Wide(device).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  DCB settings{};
  settings.DCBlength = sizeof(settings);
  const bool serial = GetCommState(handle, &settings) != 0;
  CloseHandle(handle);
  return serial;
}

int SystemDeviceAccess(const std::string&) {
  return 0;
}

}  // namespace pelvane::ports
