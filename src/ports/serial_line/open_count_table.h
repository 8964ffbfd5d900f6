// Process-wide open counts of serial ports: a port held by one line cannot be
// opened by another line of this process. COMn ports are counted by port
// index; ports named otherwise by an identity their back end gives (the
// device number of a path, so that two paths to one device are one port).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace pelvane::ports::serial_line {

struct LineKey {
  int portIndex = -1;  // COMn: n - 1; -1 for a device named otherwise
  std::string device;  // the device's identity when portIndex is -1
};

class OpenCountTable {
 public:
  static constexpr int kPorts = 256;  // COM1 to COM256

  static OpenCountTable& Instance();

  static bool InRange(int portIndex) { return portIndex >= 0 && portIndex < kPorts; }

  // Adds 1 when the count is 0; false (nothing changed) when the port is held
  // or its index is outside the table.
  bool TryAcquire(const LineKey& key);
  // Subtracts 1, never below 0.
  void Release(const LineKey& key);
  std::uint16_t Count(const LineKey& key) const;

 private:
  std::uint16_t* Slot(const LineKey& key);

  // Ports are opened on one thread at a time, but a lock costs nothing here and
  // keeps independent sessions in one process safe.
  mutable std::mutex mutex_;
  std::array<std::uint16_t, kPorts> byIndex_{};
  std::map<std::string, std::uint16_t> byDevice_;
};

}  // namespace pelvane::ports::serial_line
