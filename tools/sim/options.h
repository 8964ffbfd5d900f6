// The simulator's command line, parsed into plain values so that tests can
// check it and the program only acts on it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "sim/faults.h"
#include "sim/instrument.h"

namespace pelvane::sim {

struct MemorySpec {
  std::uint32_t base = 0;
  std::uint32_t size = 0;
  std::string name;
  std::optional<std::uint32_t> manufacturer;
  std::optional<std::uint32_t> device;
};

struct Preload {
  std::uint32_t address = 0;
  std::string file;
};

struct SimOptions {
  std::string link;    // also reachable through this symbolic link
  std::string device;  // a serial device instead of a pseudo-terminal
  long baud = 0;       // pacing on a pseudo-terminal, line speed on a device
  // A USB adapter's latency timer: answer bytes wait for its next tick.
  std::chrono::milliseconds adapter_latency{0};
  // The socket of the GPIB test driver library instead of a pseudo-terminal:
  // a Unix socket's path, or a TCP port on 127.0.0.1 (0: any free one).
  std::string gpib_socket;
  std::optional<std::uint16_t> gpib_tcp;
  std::vector<MemorySpec> memories;
  std::string package;
  std::uint8_t fill = 0xFF;
  std::vector<Preload> preloads;
  FaultPlan faults;
  InstrumentOptions instrument;
  std::string transcript;
  std::string summary;
  std::string dump_dir;
  bool verbose = false;
  bool quiet = false;
  bool help = false;
  bool version = false;
};

// The parsed options, or an error text naming the argument at fault.
std::variant<SimOptions, std::string> ParseSimOptions(const std::vector<std::string>& args);

std::string SimUsage();

// Decimal, or hexadecimal with 0x; nothing when the text is not a number that
// fits in 32 bits.
std::optional<std::uint32_t> ParseNumber(const std::string& text);

}  // namespace pelvane::sim
