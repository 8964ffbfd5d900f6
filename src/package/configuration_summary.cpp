#include "package/item_parsing.h"
#include "package/package_loader.h"
#include "ports/kind/port_kind.h"

namespace pelvane::package {

std::vector<std::string> ConfigurationSummary(const PackageConfiguration& c, bool advanced,
                                              bool nameDevice) {
  std::vector<std::string> pieces;
  const ports::PortKindInfo& port = ports::InfoOfPort(c.port);
  const bool serial = !port.gpibBus;
  std::string connect =
      serial ? "Please connect your instrument using a Serial Cable (null modem) to " +
                   core::Trim(c.port)
             : std::string("Please connect your instrument using a GPIB Cable");
  // "COM1" means nothing on a Linux computer: the cable goes to /dev/ttyS0.
  if (const std::string device = ports::DeviceBehindName(c.port);
      nameDevice && serial && !device.empty())
    connect += " (" + device + ")";
  connect += " and then switch on your instrument whilst pressing the " +
             (c.keyText.empty() ? std::string(port.bootKey) : c.keyText);
  pieces.push_back(connect);
  if (!advanced) return pieces;

  pieces.push_back(" ");
  pieces.push_back("Communications Channel = " + c.port);
  if (serial) pieces.push_back("At BAUD rate = " + c.baudText);
  pieces.push_back("Instrument Processor = " + c.processorName);
  pieces.push_back("Instrument Architecture = " + c.architectureName + " (" +
                   Hex(c.architectureCode) + ")");
  if (!c.continueFlag) pieces.push_back("Restart Instrument");
  pieces.push_back("Firmware Language = " + c.firmwareLanguage);
  pieces.push_back("Transfer Program = " + c.transferProgram.Filename());
  for (const auto& m : c.memories) {
    pieces.push_back("Flash Memory=" + m.Flashname() + " (" + Hex(m.FlashnameIndex()) + ") " +
                     Hex(m.StartAddress()) + "~" + " H" + Hex(m.EndAddress()) + ":" + " H" +
                     Hex(m.Length()));
  }
  for (const auto& e : c.erases) {
    pieces.push_back("Erase=H" + Hex(e.EraseAddress()) + "~" + Hex(e.EndAddress()) + ":" +
                     Hex(e.Length()));
  }
  // A download's end address is only worked out when the run validates it;
  // the summary shows where its range really ends.
  for (const auto& d : c.downloads) {
    pieces.push_back("Download=" + d.Filename() + "  " + Hex(d.StartAddress()) + "~" +
                     Hex(static_cast<std::int32_t>(static_cast<std::uint32_t>(d.StartAddress()) +
                                                   static_cast<std::uint32_t>(d.Length()))) +
                     ":" + Hex(d.Length()));
  }
  for (const auto& p : c.programs) {
    pieces.push_back("Program=" + p.Filename() + "  " + Hex(p.LoadAddress()) + "~" +
                     Hex(p.EndAddress()) + ":" + Hex(p.Length()));
  }
  return pieces;
}

}  // namespace pelvane::package
