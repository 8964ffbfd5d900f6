// The figures of one benchmark run: what crossed the line, how long it took
// compared with the wire time of those bytes, and what the host process used.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pelvane::bench {

// 8E1: start bit, 8 data bits, parity, stop bit.
constexpr int kBitsPerByte = 11;

struct LineBytes {
  std::uint64_t fromHost = 0;  // received by the instrument
  std::uint64_t toHost = 0;    // sent by the instrument
  std::uint64_t Total() const { return fromHost + toHost; }
};

// Reads "bytes received: N, sent: M" from the simulator's summary.
std::optional<LineBytes> ParseSimSummaryBytes(const std::string& summary);

// Reads "protocol violations: N" from the simulator's summary.
std::optional<std::uint64_t> ParseSimSummaryViolations(const std::string& summary);

// The time the bytes need on a half-duplex line at baud: the protocol never
// lets both directions carry data at once, so the times add up.
double WireBoundSeconds(const LineBytes& bytes, long baud);

struct ProcessUse {
  double wallSeconds = 0;
  double cpuSeconds = 0;  // user + system
  long maxRssKiB = 0;
};

struct RunFigures {
  LineBytes bytes;
  long baud = 0;  // 0: unpaced
  std::uint64_t programBytes = 0;
  ProcessUse host;
  ProcessUse instrument;

  double WireBound() const { return baud > 0 ? WireBoundSeconds(bytes, baud) : 0.0; }
  // Wall time over the wire-time bound; 0 when unpaced.
  double Ratio() const;
  // Host processor time as a share of wall time.
  double HostCpuShare() const;
  // Program data per second of wall time.
  double ProgramBytesPerSecond() const;
  // Host processor seconds per MiB of program data.
  double HostCpuPerMiB() const;
};

}  // namespace pelvane::bench
