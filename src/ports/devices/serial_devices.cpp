#include "ports/devices/serial_devices.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <map>
#include <system_error>

#include "core/files.h"
#include "ports/devices/device_listing.h"

namespace pelvane::ports {

namespace {

namespace fs = std::filesystem;

bool IsDigit(char c) {
  return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

bool NaturalLess(const std::string& a, const std::string& b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      std::size_t iEnd = i;
      std::size_t jEnd = j;
      while (iEnd < a.size() && IsDigit(a[iEnd])) ++iEnd;
      while (jEnd < b.size() && IsDigit(b[jEnd])) ++jEnd;
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

// The length of the UTF-8 sequence at the start of `text` and its code point;
// length 0 when the bytes there are no UTF-8.
std::pair<std::size_t, char32_t> DecodeUtf8(std::string_view text) {
  const auto lead = static_cast<std::uint8_t>(text[0]);
  std::size_t length = 0;
  char32_t c = 0;
  if (lead < 0x80) return {1, lead};
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    c = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    c = lead & 0x07;
  } else {
    return {0, 0};
  }
  if (length > text.size()) return {0, 0};
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<std::uint8_t>(text[k]);
    if ((next & 0xC0) != 0x80) return {0, 0};
    c = (c << 6) | (next & 0x3F);
  }
  // Overlong forms, surrogates and code points beyond Unicode are not UTF-8.
  if ((length == 3 && c < 0x800) || (length == 4 && (c < 0x10000 || c > 0x10FFFF)) ||
      (c >= 0xD800 && c <= 0xDFFF))
    return {0, 0};
  return {length, c};
}

void AppendHex(std::string& out, std::uint32_t value, int digits) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
}

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

// The four hexadecimal digits after `key` ("VID_") in `id`, or empty.
std::string FourHexDigitsAfter(std::string_view id, std::string_view key) {
  const std::size_t at = id.find(key);
  if (at == std::string_view::npos || at + key.size() + 4 > id.size()) return "";
  const std::string_view digits = id.substr(at + key.size(), 4);
  if (!std::all_of(digits.begin(), digits.end(),
                   [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }))
    return "";
  return Lower(digits);
}

// "USB Serial Port (COM3)" says its port again; the list shows it first.
std::string WithoutPortName(std::string friendlyName, const std::string& port) {
  const std::string suffix = " (" + port + ")";
  if (friendlyName.size() > suffix.size() &&
      friendlyName.compare(friendlyName.size() - suffix.size(), suffix.size(), suffix) == 0)
    friendlyName.erase(friendlyName.size() - suffix.size());
  return friendlyName;
}

}  // namespace

bool HasUart(const fs::path& sysDir, const std::string& name) {
  std::ifstream type(sysDir / name / "type");
  int kind = -1;
  return !(type >> kind) || kind != 0;
}

void AddAdapterFacts(std::vector<SerialDevice>& devices, const fs::path& sysDir) {
  for (SerialDevice& device : devices) {
    std::error_code ec;
    const fs::path tty = sysDir / core::PathFromUtf8(device.path).filename() / "device";
    const fs::path driver = fs::read_symlink(tty / "driver", ec);
    if (!ec) device.driver = core::Utf8FromPath(driver.filename());
    std::ifstream timer(tty / "latency_timer");
    int ms = -1;
    if (timer >> ms && ms >= 0) device.latencyTimerMs = ms;
  }
}

void SortNaturally(std::vector<SerialDevice>& devices) {
  std::sort(devices.begin(), devices.end(), [](const SerialDevice& a, const SerialDevice& b) {
    return NaturalLess(a.path, b.path);
  });
}

void KeepCharacterDevices(std::vector<SerialDevice>& devices) {
  std::erase_if(devices, [](const SerialDevice& device) {
    std::error_code ec;
    return !fs::is_character_file(device.path, ec);
  });
}

void AddAccessHints(std::vector<SerialDevice>& devices, const DeviceAccessCheck& mayUse) {
  // The same advice as the port gives when opening fails, before the user tries.
  for (SerialDevice& device : devices)
    if (const int refusal = mayUse(device.path); refusal != 0)
      device.accessHint = AccessHint(refusal, device.path);
}

std::string PrintableText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto [length, c] = DecodeUtf8(text.substr(i));
    if (length == 0 || c < 0x20 || c == 0x7F) {
      out += "\\x";
      AppendHex(out, static_cast<std::uint8_t>(text[i]), 2);
      ++i;
    } else if (c >= 0x80 && c <= 0x9F) {
      out += "\\u";
      AppendHex(out, c, 4);
      i += length;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

std::string PortNote(const SerialDevice& device) {
  const std::string description = PrintableText(device.description);
  if (device.accessHint.empty()) return description;
  std::string note = description.empty() ? "" : description + "\n";
  return note + "You may not open " + PrintableText(device.path) +
         " yet: " + PrintableText(device.accessHint) + ".";
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
  if (const std::size_t at = text.rfind("-if"); at != std::string::npos && at > 0) text.erase(at);
  std::replace(text.begin(), text.end(), '_', ' ');
  return text;
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
  KeepCharacterDevices(devices);
  AddAccessHints(devices, mayUse);
  AddAdapterFacts(devices, sysDir);
  SortNaturally(devices);
  return devices;
}

UsbIdentity ParseDeviceInstanceId(std::string_view instanceId) {
  UsbIdentity identity;
  const std::string upper = [&] {
    std::string text(instanceId);
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
  }();
  const std::string vendor = FourHexDigitsAfter(upper, "VID_");
  const std::string product = FourHexDigitsAfter(upper, "PID_");
  if (vendor.empty() || product.empty()) return identity;
  identity.usbId = vendor + ":" + product;
  // USB\<vendor and product>\<serial number>: only the USB bus puts it there.
  const std::size_t second = instanceId.find('\\');
  const std::size_t third =
      second == std::string_view::npos ? second : instanceId.find('\\', second + 1);
  if (upper.compare(0, 4, "USB\\") == 0 && third != std::string_view::npos) {
    const std::string_view serial = instanceId.substr(third + 1);
    if (!serial.empty() && serial.find_first_of("&\\") == std::string_view::npos)
      identity.serialNumber = std::string(serial);
  }
  return identity;
}

SerialDeviceList ComPortList(const std::vector<ComPortEntry>& described,
                             const std::vector<std::string>& serialComm) {
  SerialDeviceList list;
  const auto listed = [&list](const std::string& port) {
    return std::any_of(list.devices.begin(), list.devices.end(),
                       [&port](const SerialDevice& d) { return d.path == port; });
  };
  for (const ComPortEntry& entry : described) {
    if (entry.portName.empty() || listed(entry.portName)) continue;
    SerialDevice device;
    device.path = entry.portName;
    device.description = WithoutPortName(entry.friendlyName, entry.portName);
    const UsbIdentity identity = ParseDeviceInstanceId(entry.instanceId);
    device.usbId = identity.usbId;
    device.serialNumber = identity.serialNumber;
    device.driver = entry.service;
    device.latencyTimerMs = entry.latencyTimerMs;
    list.devices.push_back(std::move(device));
  }
  const bool anyDescribed = !list.devices.empty();
  for (const std::string& port : serialComm) {
    if (port.empty() || listed(port)) continue;
    SerialDevice device;
    device.path = port;
    list.devices.push_back(std::move(device));
  }
  if (!anyDescribed && !list.devices.empty())
    list.undescribedReason =
        "Windows' device manager (SetupAPI) describes none of these ports, found in the "
        "registry's SERIALCOMM list";
  SortNaturally(list.devices);
  return list;
}

}  // namespace pelvane::ports
