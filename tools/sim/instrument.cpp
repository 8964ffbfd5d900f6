#include "sim/instrument.h"

#include <cstdio>
#include <sstream>

#include "app/quarnel.h"

namespace pelvane::sim {
namespace {

using namespace app;

std::uint32_t Le32(std::span<const std::uint8_t> p, std::size_t at) {
  return std::uint32_t{p[at]} | std::uint32_t{p[at + 1]} << 8 | std::uint32_t{p[at + 2]} << 16 |
         std::uint32_t{p[at + 3]} << 24;
}

std::uint16_t Le16(std::span<const std::uint8_t> p, std::size_t at) {
  return static_cast<std::uint16_t>(p[at] | p[at + 1] << 8);
}

void Put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint16_t Sum16(std::span<const std::uint8_t> bytes) {
  std::uint32_t sum = 0;
  for (std::uint8_t b : bytes) sum += b;
  return static_cast<std::uint16_t>(sum);
}

std::string Hex(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", v);
  return text;
}

std::vector<std::uint8_t> StatusAnswer(std::uint8_t code, std::uint16_t status) {
  std::vector<std::uint8_t> out{code};
  Put16(out, status);
  return out;
}

// Program and erase answers: status, then the fail address.
std::vector<std::uint8_t> OutcomeAnswer(std::uint8_t code, std::uint16_t status,
                                        std::uint32_t fail_address) {
  std::vector<std::uint8_t> out = StatusAnswer(code, status);
  Put32(out, fail_address);
  return out;
}

std::string VerdictName(std::uint8_t v) {
  if (v >= 0x21 && v < 0x7F) return std::string(1, static_cast<char>(v));
  return Hex(v);
}

// The fields each command must carry, counted from its code byte.
std::size_t MinimumLength(std::uint8_t code) {
  switch (code) {
    case TMANUFACTURER:
      return 7;
    case TLESEDATEN:
    case TCHECKSUM:
      return 10;
    case TPROGDATEN:
      return 9;
    case TFLASHERASE:
      return 11;
    default:
      return 1;
  }
}

}  // namespace

std::string CommandName(std::uint8_t code) {
  switch (code) {
    case TMANUFACTURER:
      return "TMANUFACTURER";
    case TPROGPWRON:
      return "TPROGPWRON";
    case TPROGPWROFF:
      return "TPROGPWROFF";
    case TLESEDATEN:
      return "TLESEDATEN";
    case TPROGDATEN:
      return "TPROGDATEN";
    case TCHECKSUM:
      return "TCHECKSUM";
    case TFLASHERASE:
      return "TFLASHERASE";
    case TPROGEND:
      return "TPROGEND";
    default:
      return "unknown " + Hex(code);
  }
}

std::string FormatSummary(const Summary& s, const std::vector<FlashMemory>& memories) {
  std::ostringstream out;
  out << "pelvane-sim summary\n";
  out << "uploads: " << s.uploads;
  for (const auto& [verdict, count] : s.verdicts) out << ", " << verdict << " " << count;
  out << "\ncommands: " << s.commands << "\n";
  for (const auto& [code, count] : s.by_code) {
    out << "  " << CommandName(code) << ": " << count << "\n";
  }
  out << "frames failing their checksum: " << s.bad_frames << "\n";
  out << "responses: " << s.responses << "\n";
  out << "commands left unanswered: " << s.withheld << "\n";
  out << "faults injected: " << s.faults_injected << "\n";
  out << "bytes garbled by line noise: " << s.garbled << "\n";
  out << "bytes received: " << s.bytes_in << ", sent: " << s.bytes_out << "\n";
  for (const auto& m : memories) {
    out << "memory " << m.name << " at " << Hex(m.base) << ", " << Hex(m.size) << " bytes\n";
  }
  out << "protocol violations: " << s.violations << "\n";
  for (const auto& e : s.events) out << "  " << e << "\n";
  return out.str();
}

Instrument::Instrument(Link& link, FlashBank& flash, const FaultPlan& faults, LineNoise& noise,
                       InstrumentOptions options)
    : link_(link), flash_(flash), faults_(faults), noise_(noise), options_(options) {
  if (faults_.noise_after) noise_.SetActive(false);
}

void Instrument::Note(const std::string& text) {
  if (logger_) logger_(text);
}

void Instrument::Violation(const std::string& text) {
  ++summary_.violations;
  summary_.events.push_back(text);
  Note("protocol violation: " + text);
}

Instrument::Ending Instrument::Run() {
  for (;;) {
    const Step step = boot_monitor_ ? BootMonitor() : TransferProgram();
    if (step == Step::Stop) break;
  }
  summary_.garbled = noise_.garbled();
  summary_.bytes_in = link_.BytesIn();
  summary_.bytes_out = link_.BytesOut();
  return stop_reason_;
}

ByteState Instrument::ReadBlock(std::span<std::uint8_t> out,
                                std::optional<std::chrono::milliseconds> first) {
  for (std::size_t i = 0; i < out.size(); ++i) {
    const ByteResult r = link_.ReadByte(i == 0 ? first : options_.byte_timeout);
    if (r.state != ByteState::Byte) return r.state;
    out[i] = r.byte;
  }
  return ByteState::Byte;
}

// Forgets the rest of a broken block: whatever follows until the line is quiet.
void Instrument::Drain() {
  for (;;) {
    const ByteResult r = link_.ReadByte(options_.byte_timeout);
    if (r.state != ByteState::Byte) return;
  }
}

Instrument::Step Instrument::BootMonitor() {
  auto stop_for = [this](ByteState state) {
    stop_reason_ = state == ByteState::Closed ? Ending::Closed : Ending::Stopped;
    return Step::Stop;
  };

  std::uint8_t header[12];
  ByteState state = ReadBlock(std::span(header, 4), std::nullopt);
  if (state == ByteState::Timeout) {
    Note("boot monitor: incomplete upload block dropped");
    return Step::Continue;
  }
  if (state != ByteState::Byte) return stop_for(state);
  const std::uint32_t n = Le32(header, 0);
  const std::uint64_t upload = ++summary_.uploads;

  std::uint8_t verdict = session::kVerdictOk;
  if (n > options_.max_transfer_program) {
    Note("boot monitor: transfer program of " + std::to_string(n) + " bytes does not fit");
    Drain();
    verdict = session::kVerdictOverrun;
  } else {
    std::vector<std::uint8_t> rest(8 + std::size_t{n} + 2);
    state = ReadBlock(rest, options_.byte_timeout);
    if (state == ByteState::Timeout) {
      Note("boot monitor: upload block ended after " + std::to_string(4 + rest.size()) +
           " bytes expected; dropped");
      --summary_.uploads;
      return Step::Continue;
    }
    if (state != ByteState::Byte) return stop_for(state);
    std::copy_n(rest.begin(), 8, header + 4);
    const std::uint16_t sum = Sum16(std::span(rest).first(8 + std::size_t{n}));
    const std::uint16_t sent = Le16(rest, 8 + std::size_t{n});
    if (sum != sent) verdict = session::kVerdictChecksum;
    Note("boot monitor: transfer program of " + std::to_string(n) + " bytes, load " +
         Hex(Le32(header, 4)) + ", start " + Hex(Le32(header, 8)) +
         (sum == sent ? ", sum correct" : ", sum " + Hex(sent) + " should be " + Hex(sum)));
  }

  const bool fault =
      (faults_.boot_verdict || faults_.silent_boot) &&
      (faults_.boot_fault_uploads.empty() || faults_.boot_fault_uploads.count(upload) != 0);
  if (fault) {
    ++summary_.faults_injected;
    if (faults_.silent_boot) {
      ++summary_.verdicts["silent"];
      Note("boot monitor: no answer (injected)");
      return Step::Continue;
    }
    verdict = *faults_.boot_verdict;
  }
  ++summary_.verdicts[VerdictName(verdict)];
  Note("boot monitor: answers " + VerdictName(verdict) + (fault ? " (injected)" : ""));
  if (!link_.Write(std::span(&verdict, 1))) {
    stop_reason_ = Ending::Closed;
    return Step::Stop;
  }
  if (verdict == session::kVerdictOk) {
    boot_monitor_ = false;
    powered_ = false;
  }
  return Step::Continue;
}

Instrument::Step Instrument::TransferProgram() {
  const ByteResult length = link_.ReadByte(std::nullopt);
  if (length.state != ByteState::Byte) {
    stop_reason_ = length.state == ByteState::Closed ? Ending::Closed : Ending::Stopped;
    return Step::Stop;
  }
  if (length.byte == 0) {
    Violation("frame with length 0");
    return Step::Continue;
  }
  std::vector<std::uint8_t> body(std::size_t{length.byte} + 2);
  const ByteState state = ReadBlock(body, options_.byte_timeout);
  if (state == ByteState::Timeout) {
    Violation("command frame of " + std::to_string(length.byte) + " bytes ended early; dropped");
    return Step::Continue;
  }
  if (state != ByteState::Byte) {
    stop_reason_ = state == ByteState::Closed ? Ending::Closed : Ending::Stopped;
    return Step::Stop;
  }

  const std::uint64_t k = ++summary_.commands;
  const std::span<const std::uint8_t> payload = std::span(body).first(length.byte);
  ++summary_.by_code[payload[0]];
  std::vector<std::uint8_t> answer;
  if (Sum16(payload) != Le16(body, length.byte)) {
    ++summary_.bad_frames;
    Note("command " + std::to_string(k) + ": checksum failed");
    answer = StatusAnswer(HERROR, status::kBadChecksum);
  } else if (faults_.silent_after && k > *faults_.silent_after) {
    ++summary_.withheld;
    ++summary_.faults_injected;
    Note("command " + std::to_string(k) + " (" + CommandName(payload[0]) +
         "): no answer (injected)");
    return Step::Continue;
  } else if (faults_.vanish_at && k == *faults_.vanish_at) {
    // The host is left waiting for the answer when the line goes.
    ++summary_.faults_injected;
    Note("command " + std::to_string(k) + " (" + CommandName(payload[0]) +
         "): the instrument goes away without answering (injected)");
    link_.Close();
    stop_reason_ = Ending::Vanished;
    return Step::Stop;
  } else {
    Note("command " + std::to_string(k) + ": " + CommandName(payload[0]) + ", " +
         std::to_string(payload.size()) + " bytes");
    answer = Execute(payload, k);
  }

  if (!SendResponse(answer)) {
    stop_reason_ = Ending::Closed;
    return Step::Stop;
  }
  if (prog_end_) {
    prog_end_ = false;
    boot_monitor_ = true;
    if (prog_end_hook_) prog_end_hook_();
    if (options_.once) {
      stop_reason_ = Ending::Finished;
      return Step::Stop;
    }
  }
  if (faults_.noise_after && k >= *faults_.noise_after) noise_.SetActive(true);
  if (faults_.vanish_after && k >= *faults_.vanish_after) {
    ++summary_.faults_injected;
    Note("command " + std::to_string(k) + ": the instrument goes away (injected)");
    link_.Close();
    stop_reason_ = Ending::Vanished;
    return Step::Stop;
  }
  return Step::Continue;
}

std::vector<std::uint8_t> Instrument::Execute(std::span<const std::uint8_t> p, std::uint64_t k) {
  const std::uint8_t code = p[0];
  const std::string which = "command " + std::to_string(k) + " (" + CommandName(code) + ")";
  if (p.size() < MinimumLength(code)) {
    Note(which + ": " + std::to_string(p.size()) + " bytes are too few");
    return StatusAnswer(HERROR, status::kBadLength);
  }
  // The how-manyth command of its kind, for the faults counted per kind.
  const std::uint64_t nth = ++kind_count_[code];

  switch (code) {
    case TMANUFACTURER:
      return Manufacturer(p, which);
    case TPROGPWRON:
      powered_ = true;
      return StatusAnswer(HPROGPWRON, kStatusPowerOn);
    case TPROGPWROFF:
      powered_ = false;
      return StatusAnswer(HPROGPWROFF, kStatusPowerOff);
    case TLESEDATEN:
      return ReadData(p, which);
    case TPROGDATEN:
      return ProgramData(p, which, nth);
    case TCHECKSUM:
      return Checksum(p, which, nth);
    case TFLASHERASE:
      return Erase(p, which, nth);
    case TPROGEND:
      prog_end_ = true;
      Note(which + ": end of programming, back to the boot monitor");
      return {HPROGEND};
    default:
      Note(which + ": unknown command");
      return StatusAnswer(HERROR, status::kUnknown);
  }
}

void Instrument::CheckType(const std::string& which, const FlashMemory* memory, std::uint8_t type) {
  const std::uint8_t expected = memory ? FlashTypeIndex(memory->name) : 0;
  if (memory && expected != 0 && type != expected) {
    summary_.events.push_back(which + ": flash type " + Hex(type) + " given for " + memory->name +
                              " (" + Hex(expected) + ")");
    Note(summary_.events.back());
  }
}

std::vector<std::uint8_t> Instrument::Manufacturer(std::span<const std::uint8_t> p,
                                                   const std::string& which) {
  const std::uint32_t base = Le32(p, 3);
  const FlashMemory* memory = flash_.At(base);
  if (memory == nullptr) {
    Note(which + ": no memory at " + Hex(base));
    return StatusAnswer(HERROR, status::kOutOfRange);
  }
  CheckType(which, memory, p[2]);
  std::vector<std::uint8_t> out{HMANUFACTURER};
  Put32(out, memory->manufacturer);
  Put32(out, memory->device);
  return out;
}

std::vector<std::uint8_t> Instrument::ReadData(std::span<const std::uint8_t> p,
                                               const std::string& which) {
  const std::uint32_t address = Le32(p, 2);
  const std::uint32_t asked = Le32(p, 6);
  if (flash_.Find(address, asked) == nullptr && asked != 0) {
    Note(which + ": " + Hex(address) + "+" + Hex(asked) + " lies outside the memories");
    return StatusAnswer(HERROR, status::kOutOfRange);
  }
  std::uint32_t count = std::min(asked, kMaxReadAnswer);
  if (faults_.short_read && count > *faults_.short_read) {
    count = *faults_.short_read;
    ++summary_.faults_injected;
  }
  if (faults_.long_read > 0 && flash_.Find(address, count + faults_.long_read) != nullptr) {
    count = std::min(count + faults_.long_read, kMaxReadAnswer);
    ++summary_.faults_injected;
  }
  const auto data = flash_.Read(address, count);
  std::vector<std::uint8_t> out{HLESEDATEN, p[1]};
  Put32(out, address);
  Put32(out, count);
  out.insert(out.end(), data->begin(), data->end());
  return out;
}

std::vector<std::uint8_t> Instrument::ProgramData(std::span<const std::uint8_t> p,
                                                  const std::string& which, std::uint64_t nth) {
  const std::uint32_t address = Le32(p, 3);
  const std::uint16_t count = Le16(p, 7);
  if (std::size_t{count} != p.size() - 9) {
    Note(which + ": length field " + std::to_string(count) + " but " +
         std::to_string(p.size() - 9) + " data bytes");
    return StatusAnswer(HERROR, status::kBadLength);
  }
  CheckType(which, flash_.Find(address, count), p[2]);
  if (faults_.fail_prog.count(nth) != 0) {
    ++summary_.faults_injected;
    Note(which + ": fails (injected)");
    return OutcomeAnswer(HPROGDATEN, status::kProgFailed, address);
  }
  if (options_.require_power && !powered_) {
    Note(which + ": programming voltage is off");
    return OutcomeAnswer(HPROGDATEN, status::kProgFailed, address);
  }
  std::vector<std::uint8_t> stored(p.begin() + 9, p.end());
  if (faults_.corrupt_stored.count(nth) != 0 && stored.size() >= 2) {
    ++summary_.faults_injected;
    Note(which + ": stored with two bytes changed (injected)");
    stored[0] = static_cast<std::uint8_t>(stored[0] + 1);
    stored[1] = static_cast<std::uint8_t>(stored[1] - 1);
  }
  const FlashOutcome r = flash_.Program(address, stored);
  if (!r.ok) {
    Note(which + ": fails at " + Hex(r.fail_address));
    return OutcomeAnswer(HPROGDATEN, status::kProgFailed, r.fail_address);
  }
  return OutcomeAnswer(HPROGDATEN, kStatusProgOk, 0);
}

std::vector<std::uint8_t> Instrument::Checksum(std::span<const std::uint8_t> p,
                                               const std::string& which, std::uint64_t nth) {
  const std::uint32_t address = Le32(p, 2);
  const std::uint32_t length = Le32(p, 6);
  auto sum = flash_.Sum(address, length);
  if (!sum) {
    Note(which + ": " + Hex(address) + "+" + Hex(length) + " lies outside the memories");
    return StatusAnswer(HERROR, status::kOutOfRange);
  }
  if (faults_.bad_checksum.count(nth) != 0) {
    ++summary_.faults_injected;
    Note(which + ": wrong sum (injected)");
    *sum += 1;
  }
  // The host compares the low byte; the whole sum goes out, low byte first.
  std::vector<std::uint8_t> out{HCHECKSUM};
  Put32(out, *sum);
  return out;
}

std::vector<std::uint8_t> Instrument::Erase(std::span<const std::uint8_t> p,
                                            const std::string& which, std::uint64_t nth) {
  const std::uint32_t address = Le32(p, 3);
  const std::uint32_t length = Le32(p, 7);
  CheckType(which, flash_.Find(address, length), p[2]);
  if (faults_.fail_erase.count(nth) != 0) {
    ++summary_.faults_injected;
    Note(which + ": fails (injected)");
    return OutcomeAnswer(HFLASHERASE, status::kEraseFailed, address);
  }
  if (options_.require_power && !powered_) {
    Note(which + ": programming voltage is off");
    return OutcomeAnswer(HFLASHERASE, status::kEraseFailed, address);
  }
  const FlashOutcome r = flash_.Erase(address, length);
  if (!r.ok) {
    Note(which + ": fails at " + Hex(r.fail_address));
    return OutcomeAnswer(HFLASHERASE, status::kEraseFailed, r.fail_address);
  }
  return OutcomeAnswer(HFLASHERASE, kStatusEraseOk, 0);
}

bool Instrument::WaitAck(std::uint8_t expected, const std::string& what) {
  const ByteResult r = link_.ReadByte(options_.ack_timeout);
  // Without `what` no acknowledgement is owed: whatever comes, or nothing, is
  // no violation.
  if (r.state == ByteState::Byte) {
    if (r.byte != expected && !what.empty()) {
      Violation(what + ": host answered " + Hex(r.byte) + ", expected " + Hex(expected));
    }
    return true;
  }
  if (r.state == ByteState::Timeout && !what.empty())
    Violation(what + ": no acknowledgement from the host");
  return false;
}

bool Instrument::SendResponse(std::span<const std::uint8_t> payload) {
  std::vector<std::uint8_t> frame{static_cast<std::uint8_t>(payload.size())};
  frame.insert(frame.end(), payload.begin(), payload.end());
  Put16(frame, Sum16(payload));
  const std::uint64_t n = ++summary_.responses;
  if (faults_.wrong_code.count(n) != 0 && !payload.empty()) {
    ++summary_.faults_injected;
    Note("response " + std::to_string(n) + ": answers another command (injected)");
    frame[1] = frame[1] == HCHECKSUM ? HMANUFACTURER : HCHECKSUM;
    const std::uint16_t sum = Sum16(std::span(frame).subspan(1, payload.size()));
    frame[frame.size() - 2] = static_cast<std::uint8_t>(sum & 0xFF);
    frame[frame.size() - 1] = static_cast<std::uint8_t>(sum >> 8);
  }
  if (faults_.corrupt_response.count(n) != 0) {
    ++summary_.faults_injected;
    Note("response " + std::to_string(n) + ": checksum corrupted (injected)");
    frame.back() ^= 0x5A;
  }
  // Line noise damages the answer on its way. The host's acknowledgements are
  // then checked against the bytes as they reached it: what the noise did is
  // no fault of the host's.
  const std::uint64_t garbledBefore = noise_.garbled();
  for (std::uint8_t& byte : frame) byte = noise_.Pass(byte);
  if (noise_.garbled() != garbledBefore)
    Note("response " + std::to_string(n) + ": " + std::to_string(noise_.garbled() - garbledBefore) +
         " bytes damaged by line noise");

  if (options_.block_mode) return link_.Write(frame);

  // Handshake: the host takes the length byte with 0xFF, then acknowledges
  // body byte i with the complement of (first body byte + i + 1). A length
  // byte the noise made 0 is no frame to the host, which rightly waits on.
  if (!link_.Write(std::span(frame).first(1))) return false;
  if (frame[0] == 0) {
    WaitAck(kLengthAck, "");
    return true;
  }
  if (!WaitAck(kLengthAck, "response " + std::to_string(n) + " length byte")) return true;
  const std::uint8_t first = frame[1];
  for (std::size_t i = 1; i < frame.size(); ++i) {
    if (!link_.Write(std::span(frame).subspan(i, 1))) return false;
    const auto expected = static_cast<std::uint8_t>(~(first + i));
    if (!WaitAck(expected,
                 "response " + std::to_string(n) + " body byte " + std::to_string(i - 1))) {
      return true;
    }
  }
  return true;
}

}  // namespace pelvane::sim
