// Runs the response-decoding fuzz entry in the normal test suite: the seed
// corpus kept beside the libFuzzer target, then generated inputs that lean
// towards the codes this layer knows.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "app/quarnel.h"
#include "response_fuzz_entry.h"

namespace pelvane::app::fuzz {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(ResponseFuzzTest, SeedCorpus) {
  const std::filesystem::path corpus = PELVANE_APP_FUZZ_CORPUS;
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(FuzzResponse(data)) << entry.path();
    ++files;
  }
  EXPECT_GE(files, 10);
}

TEST(ResponseFuzzTest, GeneratedInputs) {
  static constexpr std::uint8_t kCodes[] = {HERROR,     HMANUFACTURER, HPROGPWRON, HPROGPWROFF,
                                            HLESEDATEN, HPROGDATEN,    HCHECKSUM,  HFLASHERASE,
                                            HPROGEND,   TPROGDATEN,    0x00,       0xFF};
  std::mt19937 random(20261208);  // fixed: a failure must repeat
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 20000; ++round) {
    // Mostly short inputs, where the length rules bite; some full-size ones.
    const std::size_t size = round % 10 == 0 ? byte(random) + 3 : byte(random) % 16;
    Bytes data(size);
    for (auto& b : data) b = static_cast<std::uint8_t>(byte(random));
    if (!data.empty() && round % 2 == 0) data[0] = kCodes[byte(random) % std::size(kCodes)];
    // A read answer whose length byte sits near the end of what arrived.
    if (data.size() > 6 && data[0] == HLESEDATEN && round % 4 == 0)
      data[6] = static_cast<std::uint8_t>(data.size() - 10 + byte(random) % 5);
    ASSERT_TRUE(FuzzResponse(data)) << "round " << round;
  }
}

}  // namespace
}  // namespace pelvane::app::fuzz
