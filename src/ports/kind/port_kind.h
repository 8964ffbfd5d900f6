// What a port name means, in one table for every layer above the ports: the
// open string of the upload, the speed check, the connection text and the
// hints, the package check, the runner's --port and the binding of the port.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace pelvane::ports {

// Blanks around a name do not count. The first kind that recognises a name
// decides: a device path (ports/kind/device_name.h), a name that contains
// "COM" (any case), a name that contains "GPIB" (any case), else the default
// serial line.
enum class PortKind { DevicePath, SerialName, Gpib, Default };

struct PortKindInfo {
  PortKind kind;
  std::string_view classId;  // the port component the open string binds (core::clsid)
  // The port parameters of the open string: "{port}" stands for the trimmed
  // name, "{baud}" for the package's baud text.
  std::string_view parameters;
  bool needsRate;  // the package's baud rate must pass the speed check
  // The session reads each answer whole, without acknowledging bytes. Only the
  // class id spelled exactly as here switches it on (BindPort).
  bool blockMode;
  bool gpibBus;              // cable, connection text and hints speak of GPIB, not a serial line
  std::string_view bootKey;  // the key that starts the boot monitor unless the package names one
};

// Every kind, in the order in which they recognise a name.
std::span<const PortKindInfo> PortKinds();

PortKind KindOfPort(std::string_view portName);
const PortKindInfo& InfoOf(PortKind kind);
const PortKindInfo& InfoOfPort(std::string_view portName);

// A serial line, the default one included: everything but GPIB.
bool IsSerialPort(std::string_view portName);

// The device a serial port name opens when the name is not a device itself,
// to tell the technician where the cable goes: COM1 is /dev/ttyS0 on Linux,
// and a name that says neither serial nor GPIB opens the default line's COM1.
// Empty for a device path (on Windows any COMn too) and for GPIB.
std::string DeviceBehindName(std::string_view portName);

// "clsid:<class id> <port parameters>" for a port name and the package's baud
// rate: "clsid:<serial> COM2:9600,E,8,1", "clsid:<GPIB> GPIB0", or the
// default line "clsid:<serial> COM1:115200,E,8,1". The rate was parsed once,
// by the loader; the port's parameters are the one place it is text again.
std::string OpenString(std::string_view portName, std::int32_t baudRate);

}  // namespace pelvane::ports
