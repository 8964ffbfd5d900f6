// The parts of the device listings that need no operating system: shared by
// the Linux and the Windows listing, and tested on both.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "ports/devices/serial_devices.h"

namespace pelvane::ports {

// Serial-core drivers create ttyS0..ttyS31 whether or not a UART answers;
// "type" 0 in the device's sysfs folder says that none does. Without the file
// (no sysfs) the name counts.
bool HasUart(const std::filesystem::path& sysDir, const std::string& name);

// The driver and latency timer of each Linux tty from its sysfs folder
// (`sysDir`/ttyUSB0/device/driver and .../latency_timer).
void AddAdapterFacts(std::vector<SerialDevice>& devices, const std::filesystem::path& sysDir);

// By path, digit runs compared as numbers: ttyUSB2 before ttyUSB10, COM2
// before COM10.
void SortNaturally(std::vector<SerialDevice>& devices);

// The devices whose path is a character device (links followed); a regular
// file or a folder put where a device belongs is no serial port.
void KeepCharacterDevices(std::vector<SerialDevice>& devices);

// Fills in the access hints from `mayUse`, through AccessHint.
void AddAccessHints(std::vector<SerialDevice>& devices, const DeviceAccessCheck& mayUse);

// What the user can do about a refusal to open `path` (errno `refusal`) that
// is theirs to mend; empty otherwise. Each platform has its own.
std::string AccessHint(int refusal, const std::string& path);

// What a device instance id of Windows tells about a USB adapter:
// "USB\VID_0403&PID_6001\A1234" is 0403:6001 with serial number A1234. The
// vendor and product also come from other buses' ids that carry them
// ("FTDIBUS\VID_0403+PID_6001+A1234A\0000"); a last part that Windows made up
// for a device without a serial number ("7&1c2b3a&0&1") is none.
struct UsbIdentity {
  std::string usbId;  // lower-case hexadecimal, as on Linux; empty when not USB
  std::string serialNumber;
};
UsbIdentity ParseDeviceInstanceId(std::string_view instanceId);

// A port as SetupAPI describes it, in UTF-8.
struct ComPortEntry {
  std::string portName;      // the device's "PortName" value, "COM3"
  std::string friendlyName;  // "USB Serial Port (COM3)"
  std::string instanceId;    // "USB\VID_0403&PID_6001\A1234"
  std::string service;       // the driver's service ("FTSER2K"), or empty
  int latencyTimerMs = -1;   // the FTDI driver's "LatencyTimer" value; -1 without one
};

// The list Windows gives: the ports SetupAPI describes, and the ports of the
// registry's SERIALCOMM list (its values' data, "COM1") that it does not, in
// natural order, each port once.
SerialDeviceList ComPortList(const std::vector<ComPortEntry>& described,
                             const std::vector<std::string>& serialComm);

}  // namespace pelvane::ports
