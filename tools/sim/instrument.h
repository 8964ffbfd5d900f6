// The simulated instrument: a boot monitor that takes the transfer program,
// then the transfer program that answers flash commands until end of
// programming hands control back to the boot monitor.
//
// Written from the instrument's side of the wire: it shares the protocol's
// code values with the host and nothing of the host's framing, so that a
// mistake in one side's reading of the protocol shows up as a failure here.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/faults.h"
#include "sim/flash.h"
#include "sim/link.h"

namespace pelvane::sim {

// The instrument's own failure reports in the status field of its answers.
// The values that mean success are the protocol's (app/quarnel.h); the host
// takes any other value as a failure.
namespace status {
inline constexpr std::uint16_t kEraseFailed = 0x61;  // "a"
inline constexpr std::uint16_t kProgFailed = 0x62;   // "b"
inline constexpr std::uint16_t kBadChecksum = 0x43;  // "C": a command frame failed its checksum
inline constexpr std::uint16_t kBadLength = 0x4C;    // "L": a command shorter than its fields
inline constexpr std::uint16_t kOutOfRange = 0x52;   // "R": an address outside every memory
inline constexpr std::uint16_t kUnknown = 0x55;      // "U": an unknown command code
}  // namespace status

// The most data one read answer carries: a frame holds 255 bytes, 10 of which
// are the answer's header.
inline constexpr std::uint32_t kMaxReadAnswer = 245;

struct InstrumentOptions {
  // Answer frames in one block without per-byte acknowledgements, as over GPIB.
  bool block_mode = false;
  // Longest gap between two bytes of one upload block or command frame; a
  // longer gap drops the part received.
  std::chrono::milliseconds byte_timeout{2000};
  // How long the instrument waits for each acknowledgement from the host.
  std::chrono::milliseconds ack_timeout{5000};
  // The largest transfer program the boot monitor's RAM takes.
  std::uint32_t max_transfer_program = 1u << 20;
  // Programming and erasing need the programming voltage switched on.
  bool require_power = true;
  // Stop after the first end of programming.
  bool once = false;
};

struct Summary {
  std::uint64_t uploads = 0;
  std::map<std::string, std::uint64_t> verdicts;  // "T", "C", "silent", ...
  std::uint64_t commands = 0;
  std::map<std::uint8_t, std::uint64_t> by_code;
  std::uint64_t bad_frames = 0;  // command frames whose checksum failed
  std::uint64_t responses = 0;
  std::uint64_t withheld = 0;  // commands left unanswered on purpose
  std::uint64_t faults_injected = 0;
  std::uint64_t violations = 0;
  std::vector<std::string> events;  // violations and notable events, in order
  std::uint64_t garbled = 0;
  std::uint64_t bytes_in = 0;
  std::uint64_t bytes_out = 0;
};

std::string CommandName(std::uint8_t code);
std::string FormatSummary(const Summary& summary, const std::vector<FlashMemory>& memories);

class Instrument {
 public:
  enum class Ending {
    Stopped,   // asked to stop
    Finished,  // end of programming with `once`
    Closed,    // the line went away
    Vanished,  // closed the line itself (injected fault)
  };

  using Logger = std::function<void(const std::string&)>;
  using ProgEndHook = std::function<void()>;

  Instrument(Link& link, FlashBank& flash, const FaultPlan& faults, LineNoise& noise,
             InstrumentOptions options);

  void SetLogger(Logger logger) { logger_ = std::move(logger); }
  // Runs after every end of programming (the simulator dumps the memories there).
  void SetProgEndHook(ProgEndHook hook) { prog_end_hook_ = std::move(hook); }

  Ending Run();

  // Read these once Run has returned; the instrument does not share them while it runs.
  bool InBootMonitor() const { return boot_monitor_; }
  const Summary& summary() const { return summary_; }

 private:
  enum class Step { Continue, Stop };

  Step BootMonitor();
  Step TransferProgram();
  ByteState ReadBlock(std::span<std::uint8_t> out, std::optional<std::chrono::milliseconds> first);
  std::vector<std::uint8_t> Execute(std::span<const std::uint8_t> payload, std::uint64_t k);
  // The commands of the transfer program, each answering `which` (the
  // command's number and name, for the log); `nth` counts the commands of its
  // kind for the faults injected into the nth one.
  std::vector<std::uint8_t> Manufacturer(std::span<const std::uint8_t> p, const std::string& which);
  std::vector<std::uint8_t> ReadData(std::span<const std::uint8_t> p, const std::string& which);
  std::vector<std::uint8_t> ProgramData(std::span<const std::uint8_t> p, const std::string& which,
                                        std::uint64_t nth);
  std::vector<std::uint8_t> Checksum(std::span<const std::uint8_t> p, const std::string& which,
                                     std::uint64_t nth);
  std::vector<std::uint8_t> Erase(std::span<const std::uint8_t> p, const std::string& which,
                                  std::uint64_t nth);
  // Notes a flash type that is not the one of the memory addressed.
  void CheckType(const std::string& which, const FlashMemory* memory, std::uint8_t type);
  bool SendResponse(std::span<const std::uint8_t> payload);
  bool WaitAck(std::uint8_t expected, const std::string& what);
  void Violation(const std::string& text);
  void Note(const std::string& text);
  void Drain();

  Link& link_;
  FlashBank& flash_;
  const FaultPlan& faults_;
  LineNoise& noise_;
  InstrumentOptions options_;
  Logger logger_;
  ProgEndHook prog_end_hook_;

  bool boot_monitor_ = true;
  bool powered_ = false;
  bool prog_end_ = false;
  Ending stop_reason_ = Ending::Stopped;
  std::map<std::uint8_t, std::uint64_t> kind_count_;  // per command code, for counted faults
  Summary summary_;
};

}  // namespace pelvane::sim
