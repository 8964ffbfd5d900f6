// The serial devices of this machine, for the port lists of the wizard and of
// `pelvane-cli --list-ports`: USB serial adapters and CDC-ACM instruments come
// and go, and their device paths (/dev/ttyUSB0) and names are what a
// technician recognises.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pelvane::ports {

struct SerialDevice {
  std::string path;          // "/dev/ttyUSB0"
  std::string description;   // "FTDI FT232R USB UART A1234", empty when unknown
  std::string stablePath;    // "/dev/serial/by-id/usb-FTDI_...-if00-port0", or empty
  std::string usbId;         // "0403:6001" (vendor:product), empty for other buses
  std::string serialNumber;  // the adapter's own serial number, or empty
  // What the user must do before this device can be opened, on a fresh machine
  // usually joining the 'dialout' group; empty when the user may use it.
  std::string accessHint;
};

struct SerialDeviceList {
  std::vector<SerialDevice> devices;
  // False when the machine keeps no device database (a container without
  // udev): the devices are found by name and their descriptions are unknown.
  bool described = false;
};

// 0 when this process may read and write the device, else the errno of the refusal.
using DeviceAccessCheck = std::function<int(const std::string& path)>;
int SystemDeviceAccess(const std::string& path);

// The ttyUSB*, ttyACM* and ttyS* devices under `devDir`, and every device that
// a link in `devDir`/serial/by-id points to, in natural order (ttyUSB2 before
// ttyUSB10). A ttyS* device is left out when `sysDir` says that no UART sits
// behind it (most PCs have 32 such names). Descriptions come from the by-id
// link names; `mayUse` decides the access hints. A missing or unreadable
// folder gives no devices, never an error.
std::vector<SerialDevice> FindSerialDevices(const std::filesystem::path& devDir = "/dev",
                                            const DeviceAccessCheck& mayUse = SystemDeviceAccess,
                                            const std::filesystem::path& sysDir = "/sys/class/tty");

// The machine's serial devices as udev describes them (vendor:product, serial
// number, product name, by-id path); without a running udev, what
// FindSerialDevices finds.
SerialDeviceList ListSerialDevices(const DeviceAccessCheck& mayUse = SystemDeviceAccess);

// The device a serial port name opens: "COM3" is /dev/ttyS2, a path is
// itself; empty for anything else (GPIB).
std::string DeviceOfPort(const std::string& port);

// True when this process can open the device for reading and writing now: it
// exists, is a terminal and no one holds it exclusively.
bool DeviceReady(const std::string& path);

// The text shown under the port list for a device: its description and, when
// the user may not open it yet, what to do about it.
std::string PortNote(const SerialDevice& device);

// "usb-FTDI_FT232R_USB_UART_A1234-if00-port0" -> "FTDI FT232R USB UART A1234".
std::string DescribeByIdName(const std::string& linkName);

// Tells when a serial device is plugged in or pulled, so that a port list can
// refresh itself. Without udev it never does (Descriptor() is -1).
class SerialDeviceMonitor {
 public:
  SerialDeviceMonitor();
  ~SerialDeviceMonitor();
  SerialDeviceMonitor(const SerialDeviceMonitor&) = delete;
  SerialDeviceMonitor& operator=(const SerialDeviceMonitor&) = delete;

  // A descriptor that becomes readable when a device changed; -1 without udev.
  int Descriptor() const;
  // Reads the pending notices; true when one of them added or removed a device.
  bool TakeChanges();

 private:
  struct Udev;
  std::unique_ptr<Udev> udev_;
};

}  // namespace pelvane::ports
