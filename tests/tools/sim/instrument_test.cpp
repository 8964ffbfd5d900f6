// The instrument against a raw host over a socket pair: boot verdicts, the
// handshake of an answer, the commands on flash, and injected faults.
#include "sim/instrument.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>

#include "sim/fd_transport.h"
#include "sim/raw_host.h"

namespace pelvane::sim {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::RawHost;

constexpr std::uint32_t kBase = 0x400000;
constexpr std::uint32_t kSize = 0x1000;

class InstrumentTest : public testing::Test {
 protected:
  void Start() {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    transport_ = std::make_unique<FdTransport>(fds[0], FdTransport::Kind::Stream);
    host_fd_ = fds[1];
    host_ = std::make_unique<RawHost>(host_fd_);
    FlashMemory m{"AM29F040", kBase, kSize, 0x01, 0xA4, {}};
    ASSERT_FALSE(flash_.Add(m).has_value());
    noise_ = std::make_unique<LineNoise>(faults_.noise_rate, faults_.seed);
    link_ = std::make_unique<Link>(*transport_, stop_, 0);
    instrument_ = std::make_unique<Instrument>(*link_, flash_, faults_, *noise_, options_);
    thread_ = std::thread([this] { ending_ = instrument_->Run(); });
  }

  // Stops the instrument and returns its summary.
  const Summary& Finish() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return instrument_->summary();
  }

  void TearDown() override {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (host_fd_ >= 0) close(host_fd_);
  }

  void Boot() { ASSERT_EQ(host_->Upload({0xAA, 0xBB}), 'T'); }

  FaultPlan faults_;
  InstrumentOptions options_{.byte_timeout = 200ms, .ack_timeout = 300ms};
  FlashBank flash_;
  std::atomic<bool> stop_{false};
  std::unique_ptr<FdTransport> transport_;
  std::unique_ptr<LineNoise> noise_;
  std::unique_ptr<Link> link_;
  std::unique_ptr<Instrument> instrument_;
  std::unique_ptr<RawHost> host_;
  int host_fd_ = -1;
  std::thread thread_;
  Instrument::Ending ending_ = Instrument::Ending::Stopped;
};

TEST_F(InstrumentTest, BootMonitorChecksTheUploadSum) {
  Start();
  // The block as a host lays it out: length, load, start, program, 16-bit sum.
  host_->Write({0x02, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x04, 0x10, 0x00, 0x00, 0xAA, 0xBB,
                0x89, 0x01});
  EXPECT_EQ(host_->Read(1), Bytes{'T'});
  // Now the transfer program runs; end of programming returns to the boot monitor.
  EXPECT_EQ(host_->Command({0x49}), Bytes{0x48});

  Bytes bad = test::UploadBlock({1, 2, 3}, 0x2000, 0x2000);
  bad.back() ^= 1;
  host_->Write(bad);
  EXPECT_EQ(host_->Read(1), Bytes{'C'});
  // Still in the boot monitor: a good block is taken.
  EXPECT_EQ(host_->Upload({1, 2, 3}), 'T');
  const Summary& s = Finish();
  EXPECT_EQ(s.uploads, 3u);
  EXPECT_EQ(s.verdicts.at("C"), 1u);
  EXPECT_EQ(s.violations, 0u);
}

TEST_F(InstrumentTest, OversizedTransferProgramIsAnOverrun) {
  options_.max_transfer_program = 16;
  Start();
  EXPECT_EQ(host_->Upload(Bytes(17, 0x11)), 'O');
  EXPECT_EQ(host_->Upload(Bytes(16, 0x11)), 'T');
}

TEST_F(InstrumentTest, IncompleteUploadBlockIsDroppedWithoutAnswer) {
  Start();
  const Bytes block = test::UploadBlock({1, 2, 3, 4}, 0, 0);
  host_->Write(Bytes(block.begin(), block.begin() + 12));
  EXPECT_TRUE(host_->Read(1, 500ms).empty());
  EXPECT_EQ(host_->Upload({5}), 'T');
}

TEST_F(InstrumentTest, InjectedVerdictsApplyToTheNamedUploads) {
  faults_.boot_verdict = 'P';
  faults_.boot_fault_uploads = {1, 3};
  Start();
  EXPECT_EQ(host_->Upload({1}), 'P');
  EXPECT_EQ(host_->Upload({1}), 'T');
  EXPECT_EQ(host_->Command({0x49}), Bytes{0x48});
  EXPECT_EQ(host_->Upload({1}), 'P');
  EXPECT_EQ(Finish().faults_injected, 2u);
}

TEST_F(InstrumentTest, SilentBootMonitorAnswersNothingAndStaysInTheMonitor) {
  faults_.silent_boot = true;
  faults_.boot_fault_uploads = {1};
  Start();
  EXPECT_FALSE(host_->Upload({1}, 0, 0, 400ms).has_value());
  EXPECT_EQ(host_->Upload({1}), 'T');
}

TEST_F(InstrumentTest, OneHandshakeExchangeByteByByte) {
  Start();
  Boot();
  host_->Write(test::Frame(test::QueryManufacturer(kBase, 0x16)));
  EXPECT_EQ(host_->Read(1), Bytes{9});
  // The body waits for the host's 0xFF, and each byte for its acknowledgement.
  EXPECT_TRUE(host_->Read(1, 150ms).empty());
  host_->Write({0xFF});
  const Bytes expected{0xA1, 0x01, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00, 0x00, 0x46, 0x01};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(host_->Read(1), Bytes{expected[i]}) << "body byte " << i;
    EXPECT_TRUE(host_->Read(1, 50ms).empty()) << "body byte " << i << " was not awaited";
    host_->Write({static_cast<std::uint8_t>(~(0xA1 + i + 1))});
  }
  const Summary& s = Finish();
  EXPECT_EQ(s.violations, 0u);
  EXPECT_EQ(s.responses, 1u);
}

TEST_F(InstrumentTest, WrongOrMissingAcknowledgementsAreViolations) {
  Start();
  Boot();
  host_->Write(test::Frame({0x22}));
  // Acknowledge body byte 1 as if it were byte 0: the instrument notes it and goes on.
  const Bytes body = host_->ReceiveHandshake(std::pair<std::size_t, std::uint8_t>{1, 0x5D});
  EXPECT_EQ(RawHost::Payload(body), (Bytes{0xA2, 0x44, 0x00}));

  // No acknowledgement at all: the instrument gives up the answer and takes
  // the next command.
  host_->Write(test::Frame({0x23}));
  EXPECT_EQ(host_->Read(1), Bytes{3});
  EXPECT_TRUE(host_->Read(1, 600ms).empty());
  EXPECT_EQ(host_->Command({0x23}), (Bytes{0xA3, 0x46, 0x00}));
  const Summary& s = Finish();
  EXPECT_EQ(s.violations, 2u);
  ASSERT_EQ(s.events.size(), 2u);
  EXPECT_NE(s.events[0].find("body byte 1"), std::string::npos);
  EXPECT_NE(s.events[1].find("length byte"), std::string::npos);
}

TEST_F(InstrumentTest, BlockModeSendsTheWholeFrameWithoutWaiting) {
  options_.block_mode = true;
  Start();
  Boot();
  host_->Write(test::Frame({0x22}));
  EXPECT_EQ(host_->Read(6), (Bytes{0x03, 0xA2, 0x44, 0x00, 0xE6, 0x00}));
  EXPECT_EQ(Finish().violations, 0u);
}

TEST_F(InstrumentTest, BadFramesGetAnErrorReport) {
  Start();
  Boot();
  Bytes frame = test::Frame({0x22});
  frame.back() ^= 0x80;
  host_->Write(frame);
  EXPECT_EQ(RawHost::Payload(host_->ReceiveHandshake()), (Bytes{0x20, 'C', 0x00}));
  EXPECT_EQ(host_->Command({0x30}), (Bytes{0x20, 'U', 0x00}));
  EXPECT_EQ(host_->Command({0x24, 0x01, 0x00}), (Bytes{0x20, 'L', 0x00}));
  // A program block whose length field disagrees with the data it carries.
  Bytes prog = test::Prog(kBase, {1, 2, 3});
  prog[7] = 4;
  EXPECT_EQ(host_->Command(prog), (Bytes{0x20, 'L', 0x00}));
  // Half a frame: dropped after the gap, then the line works again.
  host_->Write({0x05, 0x22});
  EXPECT_TRUE(host_->Read(1, 400ms).empty());
  EXPECT_EQ(host_->Command({0x22}), (Bytes{0xA2, 0x44, 0x00}));
  const Summary& s = Finish();
  EXPECT_EQ(s.bad_frames, 1u);
  EXPECT_EQ(s.violations, 1u);
}

TEST_F(InstrumentTest, EraseProgramReadAndChecksumWorkOnTheFlash) {
  Start();
  Boot();
  EXPECT_EQ(host_->Command({0x22}), (Bytes{0xA2, 0x44, 0x00}));
  EXPECT_EQ(host_->Command(test::Erase(kBase, kSize)),
            (Bytes{0xA7, 0x41, 0x00, 0x00, 0x00, 0x00, 0x00}));
  Bytes data(246);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  EXPECT_EQ(host_->Command(test::Prog(kBase + 0x10, data)),
            (Bytes{0xA5, 0x42, 0x00, 0x00, 0x00, 0x00, 0x00}));

  // The read answer mirrors the command: code, architecture, address, length, data.
  const Bytes read = host_->Command(test::ReadData(kBase + 0x10, 8));
  ASSERT_EQ(read.size(), 18u);
  EXPECT_EQ(Bytes(read.begin(), read.begin() + 10),
            (Bytes{0xA4, 0x01, 0x10, 0x00, 0x40, 0x00, 0x08, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Bytes(read.begin() + 10, read.end()), Bytes(data.begin(), data.begin() + 8));
  // A read answer carries at most 245 bytes; more than that is cut.
  const Bytes big = host_->Command(test::ReadData(kBase + 0x10, 300));
  ASSERT_EQ(big.size(), 255u);
  EXPECT_EQ(test::Get32(big, 6), 245u);

  // The host compares the low byte of the sum of the programmed bytes.
  std::uint32_t sum = 0;
  for (auto b : data) sum += b;
  const Bytes checksum = host_->Command(test::Checksum(kBase + 0x10, 246));
  ASSERT_EQ(checksum.size(), 5u);
  EXPECT_EQ(checksum[0], 0xA6);
  EXPECT_EQ(checksum[1], sum & 0xFF);
  EXPECT_EQ(test::Get32(checksum, 1), sum);

  EXPECT_EQ(host_->Command({0x23}), (Bytes{0xA3, 0x46, 0x00}));
  EXPECT_EQ(host_->Command({0x49}), Bytes{0x48});
  EXPECT_EQ(Finish().violations, 0u);
  EXPECT_TRUE(instrument_->InBootMonitor());
}

TEST_F(InstrumentTest, NorRulesAndRangesShowInTheAnswers) {
  Start();
  Boot();
  // Without programming voltage nothing is written.
  EXPECT_EQ(host_->Command(test::Prog(kBase, {0x00})),
            (Bytes{0xA5, 'b', 0x00, 0x00, 0x00, 0x40, 0x00}));
  host_->Command({0x22});
  EXPECT_EQ(host_->Command(test::Prog(kBase, {0xF0, 0xF0})),
            (Bytes{0xA5, 0x42, 0x00, 0x00, 0x00, 0x00, 0x00}));
  // 0xF0 -> 0x0F needs bits to rise: fails at the first such byte.
  EXPECT_EQ(host_->Command(test::Prog(kBase, {0xF0, 0x0F})),
            (Bytes{0xA5, 'b', 0x00, 0x01, 0x00, 0x40, 0x00}));
  // Past the end of the memory: the fail address is the first address outside.
  EXPECT_EQ(host_->Command(test::Prog(kBase + kSize - 1, {0x00, 0x00})),
            (Bytes{0xA5, 'b', 0x00, 0x00, 0x10, 0x40, 0x00}));
  EXPECT_EQ(host_->Command(test::Erase(kBase + 0x800, kSize)),
            (Bytes{0xA7, 'a', 0x00, 0x00, 0x10, 0x40, 0x00}));
  EXPECT_EQ(host_->Command(test::ReadData(0x100, 4)), (Bytes{0x20, 'R', 0x00}));
  EXPECT_EQ(host_->Command(test::Checksum(kBase + kSize, 1)), (Bytes{0x20, 'R', 0x00}));
  EXPECT_EQ(host_->Command(test::QueryManufacturer(0x100, 0x16)), (Bytes{0x20, 'R', 0x00}));
  // After erasing, the same byte takes the new value.
  host_->Command(test::Erase(kBase, 2));
  EXPECT_EQ(host_->Command(test::Prog(kBase, {0x0F})).at(1), 0x42);
  Finish();
  EXPECT_EQ(flash_.memories()[0].bytes[0], 0x0F);
  EXPECT_EQ(flash_.memories()[0].bytes[1], 0xFF);
}

TEST_F(InstrumentTest, CountedFaultsHitTheNamedCommands) {
  faults_.fail_prog = {2};
  faults_.fail_erase = {1};
  faults_.bad_checksum = {1};
  faults_.short_read = 3;
  faults_.corrupt_response = {2};
  Start();
  Boot();
  EXPECT_EQ(host_->Command({0x22}).at(0), 0xA2);  // response 1
  // Response 2 carries a wrong checksum: the host sees no valid answer.
  host_->Write(test::Frame(test::Erase(kBase, 16)));
  const Bytes body = host_->ReceiveHandshake();
  EXPECT_EQ(body.size(), 9u);
  EXPECT_TRUE(RawHost::Payload(body).empty());
  EXPECT_EQ(body[1], 'a');  // and the erase failed by injection
  EXPECT_EQ(host_->Command(test::Prog(kBase, {0x12})).at(1), 0x42);
  EXPECT_EQ(host_->Command(test::Prog(kBase + 1, {0x34})),
            (Bytes{0xA5, 'b', 0x00, 0x01, 0x00, 0x40, 0x00}));
  EXPECT_EQ(host_->Command(test::Prog(kBase + 2, {0x56})).at(1), 0x42);
  const Bytes read = host_->Command(test::ReadData(kBase, 100));
  ASSERT_EQ(read.size(), 13u);
  EXPECT_EQ(read[6], 3);
  EXPECT_EQ(host_->Command(test::Checksum(kBase, 1)).at(1), 0x13);
  EXPECT_EQ(host_->Command(test::Checksum(kBase, 1)).at(1), 0x12);
  EXPECT_EQ(Finish().violations, 0u);
}

TEST_F(InstrumentTest, SilenceAfterTheKthCommand) {
  faults_.silent_after = 1;
  Start();
  Boot();
  EXPECT_EQ(host_->Command({0x22}).at(0), 0xA2);
  host_->Write(test::Frame({0x23}));
  EXPECT_TRUE(host_->Read(1, 300ms).empty());
  EXPECT_EQ(Finish().withheld, 1u);
}

TEST_F(InstrumentTest, VanishingInstrumentClosesTheLine) {
  faults_.vanish_after = 2;
  Start();
  Boot();
  EXPECT_EQ(host_->Command({0x22}).at(0), 0xA2);
  EXPECT_EQ(host_->Command({0x23}).at(0), 0xA3);
  thread_.join();
  EXPECT_EQ(ending_, Instrument::Ending::Vanished);
  EXPECT_TRUE(host_->Read(1, 300ms).empty());
  EXPECT_TRUE(host_->eof());
}

TEST_F(InstrumentTest, VanishingInstrumentCanLeaveACommandUnanswered) {
  faults_.vanish_at = 2;
  Start();
  Boot();
  EXPECT_EQ(host_->Command({0x22}).at(0), 0xA2);
  host_->Write(test::Frame({0x23}));
  thread_.join();
  EXPECT_EQ(ending_, Instrument::Ending::Vanished);
  EXPECT_TRUE(host_->Read(1, 300ms).empty());
  EXPECT_TRUE(host_->eof());
}

TEST_F(InstrumentTest, ClosedLineEndsTheRun) {
  Start();
  Boot();
  close(host_fd_);
  host_fd_ = -1;
  thread_.join();
  EXPECT_EQ(ending_, Instrument::Ending::Closed);
}

TEST_F(InstrumentTest, OnceEndsAfterEndOfProgramming) {
  options_.once = true;
  Start();
  Boot();
  EXPECT_EQ(host_->Command({0x49}), Bytes{0x48});
  thread_.join();
  EXPECT_EQ(ending_, Instrument::Ending::Finished);
}

TEST(LineNoiseTest, GarblesBytesRepeatablyFromItsSeed) {
  auto run = [](std::uint64_t seed) {
    LineNoise noise(0.5, seed);
    Bytes out;
    for (int i = 0; i < 64; ++i) out.push_back(noise.Pass(0x55));
    return std::make_pair(out, noise.garbled());
  };
  const auto [a, garbled] = run(7);
  EXPECT_EQ(a, run(7).first);
  EXPECT_NE(a, run(8).first);
  EXPECT_GT(garbled, 10u);
  EXPECT_LT(garbled, 54u);
  std::size_t changed = 0;
  for (auto b : a) changed += b != 0x55;
  EXPECT_EQ(changed, garbled);
}

// The noise damages what the instrument answers, byte by byte; the upload
// block, the verdict and the commands cross the line whole. The host's
// acknowledgements count from the first body byte as it reached the host.
TEST_F(InstrumentTest, NoiseDamagesTheAnswerFramesOnly) {
  faults_.noise_rate = 1.0;  // every answer byte
  options_.ack_timeout = 100ms;
  Start();
  Boot();                                               // the upload and its verdict crossed whole
  const Bytes clean = test::Frame({0xA2, 0x44, 0x00});  // length, body, checksum
  host_->Write(test::Frame({0x22}));
  const Bytes length = host_->Read(1);
  ASSERT_EQ(length.size(), 1u);
  EXPECT_NE(length[0], clean[0]);
  Bytes body;
  // A length byte damaged to 0 is no frame: the host takes nothing.
  if (length[0] != 0) {
    host_->Write({0xFF});
    for (std::size_t i = 0; i + 1 < clean.size(); ++i) {
      const Bytes b = host_->Read(1, 500ms);
      ASSERT_EQ(b.size(), 1u);
      body.push_back(b[0]);
      EXPECT_NE(b[0], clean[i + 1]);
      host_->Write({static_cast<std::uint8_t>(~(body[0] + i + 1))});
    }
  }
  const Summary& s = Finish();
  EXPECT_EQ(s.by_code.at(0x22), 1u);  // the command came whole
  EXPECT_EQ(s.bad_frames, 0u);
  EXPECT_EQ(s.garbled, clean.size());
  EXPECT_EQ(s.violations, 0u);
}

}  // namespace
}  // namespace pelvane::sim
