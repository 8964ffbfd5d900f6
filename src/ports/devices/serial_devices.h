// The serial devices of this machine, for the port lists of the wizard and of
// `pelvane-cli --list-ports`: USB serial adapters and CDC-ACM instruments come
// and go, and their names (/dev/ttyUSB0, COM3) and descriptions are what a
// technician recognises. Linux asks udev, or looks in /dev where udev does not
// run; Windows asks SetupAPI and adds the ports of the registry's SERIALCOMM
// list that it does not describe.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pelvane::ports {

// Texts as the system gives them, UTF-8; names from udev, by-id links and
// drivers may hold anything, so they are shown through PrintableText.
struct SerialDevice {
  std::string path;          // "/dev/ttyUSB0"; "COM3" on Windows
  std::string description;   // "FTDI FT232R USB UART A1234", empty when unknown
  std::string stablePath;    // "/dev/serial/by-id/usb-FTDI_...-if00-port0", or empty
  std::string usbId;         // "0403:6001" (vendor:product), empty for other buses
  std::string serialNumber;  // the adapter's own serial number, or empty
  // The kernel driver ("ftdi_sio", "cp210x", "cdc_acm"; on Windows the
  // driver's service, "FTSER2K", "usbser"), empty when unknown, and the
  // adapter's latency timer (FTDI's), -1 without one: each byte from the
  // instrument waits that long in the adapter.
  std::string driver;
  int latencyTimerMs = -1;
  // What the user must do before this device can be opened, on a fresh Linux
  // machine usually joining the 'dialout' group; empty when the user may use
  // it, and always on Windows, which tells only by opening the port.
  std::string accessHint;
};

struct SerialDeviceList {
  std::vector<SerialDevice> devices;
  // Why the devices have no descriptions ("udev does not run on this
  // machine"); empty when the machine's device database described them.
  std::string undescribedReason;
};

// 0 when this process may read and write the device, else the errno of the
// refusal; always 0 on Windows.
using DeviceAccessCheck = std::function<int(const std::string& path)>;
int SystemDeviceAccess(const std::string& path);

// The ttyUSB*, ttyACM* and ttyS* character devices in a Linux device folder,
// and every character device that a link in `devDir`/serial/by-id points to,
// in natural order (ttyUSB2 before ttyUSB10). A ttyS* device is left out when
// `sysDir` says that no UART sits behind it (most PCs have 32 such names).
// Descriptions come from the by-id link names, drivers and latency timers from
// `sysDir`; `mayUse` decides the access hints. A missing or unreadable folder
// gives no devices, never an error.
std::vector<SerialDevice> FindSerialDevices(const std::filesystem::path& devDir = "/dev",
                                            const DeviceAccessCheck& mayUse = SystemDeviceAccess,
                                            const std::filesystem::path& sysDir = "/sys/class/tty");

// The machine's serial devices, in natural order (COM2 before COM10): on
// Linux as udev describes them (vendor:product, serial number, product name,
// by-id path), without a running udev what FindSerialDevices finds; on Windows
// from SetupAPI and the registry.
SerialDeviceList ListSerialDevices(const DeviceAccessCheck& mayUse = SystemDeviceAccess);

// True when the device is there for this user: on Linux its node is a
// character device with a UART or an adapter behind it and the user may read
// and write it; on Windows the system knows the port. The device is not
// opened: an open raises DTR and RTS and the close drops them, which resets
// an instrument whose cable wires those lines. Whether another program holds
// it, the real open tells.
bool DeviceReady(const std::string& device);

// The text with control characters (C0, DEL, C1) and bytes that are not UTF-8
// escaped ("\x1b", "\u009b"), so that a name cannot steer a terminal or hide
// in a list.
std::string PrintableText(std::string_view text);

// The text shown under the port list for a device: its description and, when
// the user may not open it yet, what to do about it; printable.
std::string PortNote(const SerialDevice& device);

// "usb-FTDI_FT232R_USB_UART_A1234-if00-port0" -> "FTDI FT232R USB UART A1234".
std::string DescribeByIdName(const std::string& linkName);

// Tells when a serial device is plugged in or pulled, so that a port list can
// refresh itself. Without udev, and on Windows, it never does (Descriptor() is
// -1).
class SerialDeviceMonitor {
 public:
  SerialDeviceMonitor();
  ~SerialDeviceMonitor();
  SerialDeviceMonitor(const SerialDeviceMonitor&) = delete;
  SerialDeviceMonitor& operator=(const SerialDeviceMonitor&) = delete;

  // A descriptor that becomes readable when a device changed; -1 without one.
  int Descriptor() const;
  // Reads the pending notices; true when one of them added or removed a device.
  bool TakeChanges();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace pelvane::ports
