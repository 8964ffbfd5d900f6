#include "upload/line_cost.h"

namespace pelvane::upload {

namespace {

constexpr int kBitsPerByte = 11;               // start bit, 8 data bits, even parity, stop bit
constexpr int kFrameOverhead = 3;              // length byte and 16-bit checksum
constexpr double kGpibByteSeconds = 2e-6;      // a bus that moves some 500 KB/s
constexpr double kGpibExchangeSeconds = 1e-3;  // addressing and the driver's calls

}  // namespace

double LineCost::ByteSeconds() const {
  return Serial() ? static_cast<double>(kBitsPerByte) / baud_ : kGpibByteSeconds;
}

LineBytes LineCost::ExchangeBytes(int command, int answer) const {
  const std::int64_t answerFrame = answer + kFrameOverhead;
  // In handshake mode every answer byte but the length byte's 0xFF gets its
  // acknowledgement; the 0xFF itself answers the length byte.
  const std::int64_t acknowledgements = Serial() ? answerFrame : 0;
  return {command + kFrameOverhead + acknowledgements, answerFrame};
}

double LineCost::ExchangeSeconds(int command, int answer) const {
  const LineBytes bytes = ExchangeBytes(command, answer);
  const double wire =
      static_cast<double>(bytes.toInstrument + bytes.fromInstrument) * ByteSeconds();
  if (!Serial()) return wire + kGpibExchangeSeconds;
  return wire + static_cast<double>(answer + kFrameOverhead) * kAcknowledgeTurnaroundSeconds +
         kCommandTurnaroundSeconds;
}

LineBytes LineCost::TransferBytes(std::int64_t programSize) const {
  return {programSize + MessageSize::kUploadOverhead, 1};
}

double LineCost::TransferSeconds(std::int64_t programSize) const {
  const LineBytes bytes = TransferBytes(programSize);
  return static_cast<double>(bytes.toInstrument + bytes.fromInstrument) * ByteSeconds() +
         (Serial() ? kCommandTurnaroundSeconds : kGpibExchangeSeconds);
}

}  // namespace pelvane::upload
