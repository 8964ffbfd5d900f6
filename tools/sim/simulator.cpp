#include "sim/simulator.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <stdexcept>

#include "sim/fd_transport.h"
#include "sim/gpib_socket_transport.h"
#include "sim/package_memories.h"

namespace pelvane::sim {
namespace {

constexpr long kDefaultDeviceBaud = 115200;

std::string SafeName(const std::string& name) {
  std::string out;
  for (char c : name) out += std::isalnum(static_cast<unsigned char>(c)) || c == '-' ? c : '_';
  return out.empty() ? "FLASH" : out;
}

std::optional<std::string> BuildFlash(const SimOptions& o, FlashBank& bank) {
  std::vector<MemorySpec> layouts;
  if (!o.package.empty()) {
    try {
      layouts = MemoriesFromPackage(o.package);
    } catch (const std::exception& e) {
      return e.what();
    }
  }
  layouts.insert(layouts.end(), o.memories.begin(), o.memories.end());
  for (const auto& layout : layouts) {
    const auto known = KnownFlashCodes(layout.name);
    FlashMemory m;
    m.name = layout.name;
    m.base = layout.base;
    m.size = layout.size;
    m.manufacturer = layout.manufacturer.value_or(known ? known->manufacturer : 0);
    m.device = layout.device.value_or(known ? known->device : 0);
    if (auto error = bank.Add(std::move(m), o.fill)) return error;
  }
  for (const auto& preload : o.preloads) {
    std::ifstream in(preload.file, std::ios::binary);
    if (!in) return "cannot read " + preload.file;
    std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
    if (auto error = bank.Preload(preload.address, data)) return preload.file + ": " + *error;
  }
  return std::nullopt;
}

// The line the instrument answers on: a GPIB socket, a new pseudo-terminal, or
// a serial device. `path` is what the host opens; `pacing` the rate the bytes
// are paced at (0: the device's own speed paces them).
struct OpenedLine {
  std::unique_ptr<Transport> transport;
  std::string path;
  long pacing = 0;
};

OpenedLine OpenLine(const SimOptions& o) {
  OpenedLine line;
  line.pacing = o.baud;
  if (!o.gpib_socket.empty() || o.gpib_tcp) {
    auto bus = o.gpib_tcp
                   ? std::make_unique<GpibSocketTransport>(GpibSocketTransport::Tcp{*o.gpib_tcp})
                   : std::make_unique<GpibSocketTransport>(o.gpib_socket);
    line.path = bus->address();
    line.transport = std::move(bus);
  } else if (o.device.empty()) {
    Pty pty = OpenPty();
    line.transport = std::move(pty.transport);
    line.path = pty.slave_path;
  } else {
    line.transport = OpenSerialDevice(o.device, o.baud > 0 ? o.baud : kDefaultDeviceBaud);
    line.path = o.device;
    line.pacing = 0;  // the device's own line speed paces the bytes
  }
  return line;
}

// Protocol violations always, the injected faults and failures unless quiet,
// every command when verbose.
Instrument::Logger InstrumentLog(const SimOptions& o, std::ostream& log) {
  return [&o, &log](const std::string& line) {
    const bool violation = line.rfind("protocol violation", 0) == 0;
    if (o.quiet && !violation) return;
    if (!o.verbose && !violation && line.rfind("command ", 0) == 0 &&
        line.find("(injected)") == std::string::npos && line.find("fails") == std::string::npos) {
      return;
    }
    log << "pelvane-sim: " << line << std::endl;
  };
}

// False when the summary file cannot be written.
bool WriteSummary(const SimOptions& o, const std::string& summary, std::ostream& log) {
  if (o.summary.empty()) {
    if (!o.quiet) log << summary << std::flush;
    return true;
  }
  std::ofstream out(o.summary, std::ios::trunc);
  out << summary;
  if (out) return true;
  log << "pelvane-sim: cannot write the summary " << o.summary << std::endl;
  return false;
}

}  // namespace

std::optional<std::string> DumpMemories(const std::vector<FlashMemory>& memories,
                                        const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return "cannot create " + dir + ": " + ec.message();
  for (const auto& m : memories) {
    char base[16];
    std::snprintf(base, sizeof base, "%X", m.base);
    const auto path = std::filesystem::path(dir) / (SafeName(m.name) + "_" + base + ".bin");
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(m.bytes.data()),
              static_cast<std::streamsize>(m.bytes.size()));
    if (!out) return "cannot write " + path.string();
  }
  return std::nullopt;
}

int RunSimulator(const SimOptions& o, const std::atomic<bool>& stop,
                 const std::function<void(const std::string&)>& ready, std::ostream& log) {
  FlashBank flash;
  if (auto error = BuildFlash(o, flash)) {
    log << "pelvane-sim: " << *error << std::endl;
    return kExitSetup;
  }

  OpenedLine line;
  try {
    line = OpenLine(o);
  } catch (const std::exception& e) {
    log << "pelvane-sim: " << e.what() << std::endl;
    return kExitSetup;
  }

  bool linked = false;
  if (!o.link.empty()) {
    std::error_code ec;
    // Only a link left behind by an earlier run is replaced, never a file.
    if (std::filesystem::is_symlink(o.link, ec)) std::filesystem::remove(o.link, ec);
    std::filesystem::create_symlink(line.path, o.link, ec);
    if (ec) {
      log << "pelvane-sim: cannot make the link " << o.link << ": " << ec.message() << std::endl;
      return kExitSetup;
    }
    linked = true;
  }

  LineNoise noise(o.faults.noise_rate, o.faults.seed);
  Link link(*line.transport, stop, line.pacing, o.adapter_latency);
  if (!o.transcript.empty() && !link.OpenTranscript(o.transcript)) {
    log << "pelvane-sim: cannot write the transcript " << o.transcript << std::endl;
    return kExitSetup;
  }

  Instrument instrument(link, flash, o.faults, noise, o.instrument);
  instrument.SetLogger(InstrumentLog(o, log));
  bool output_failed = false;
  const auto dump = [&] {
    if (auto error = DumpMemories(flash.memories(), o.dump_dir)) {
      log << "pelvane-sim: " << *error << std::endl;
      output_failed = true;
    }
  };
  if (!o.dump_dir.empty()) instrument.SetProgEndHook(dump);

  if (ready) ready(line.path);
  instrument.Run();

  line.transport->Close();
  if (linked) {
    std::error_code ec;
    std::filesystem::remove(o.link, ec);
  }
  if (!o.dump_dir.empty()) dump();
  if (!WriteSummary(o, FormatSummary(instrument.summary(), flash.memories()), log))
    output_failed = true;
  if (output_failed) return kExitSetup;
  return instrument.summary().violations > 0 ? kExitViolations : kExitOk;
}

}  // namespace pelvane::sim
