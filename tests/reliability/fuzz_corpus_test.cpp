// Runs every fuzz entry of the project inside the normal test suite: its seed
// corpus from the repository, then a few thousand generated inputs built
// around the seeds (byte flips, cuts, splices), through the same entry point
// the libFuzzer target uses. With -DPELVANE_SANITIZE=ON this is the
// AddressSanitizer run of the fuzz entries.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "command_line_fuzz_entry.h"
#include "package_fuzz_entry.h"
#include "session_fuzz_entry.h"

namespace pelvane::reliability {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Entry = std::function<bool(std::span<const std::uint8_t>)>;

std::vector<Bytes> Corpus(const std::string& folder) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::filesystem::path(PELVANE_FUZZ_DIR) / folder))
    files.push_back(entry.path());
  std::sort(files.begin(), files.end());  // the same order every run
  std::vector<Bytes> seeds;
  for (const auto& path : files) {
    std::ifstream in(path, std::ios::binary);
    seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return seeds;
}

// One mutation in the manner of a fuzzer, from a fixed generator so that a
// failing round repeats.
Bytes Mutate(const std::vector<Bytes>& seeds, std::mt19937& random) {
  std::uniform_int_distribution<int> byte(0, 255);
  Bytes data = seeds[random() % seeds.size()];
  const int edits = 1 + static_cast<int>(random() % 4);
  for (int e = 0; e < edits; ++e) {
    const std::size_t at = data.empty() ? 0 : random() % data.size();
    switch (random() % 6) {
      case 0:  // flip one bit
        if (!data.empty()) data[at] ^= static_cast<std::uint8_t>(1u << (random() % 8));
        break;
      case 1:  // a random byte
        if (!data.empty()) data[at] = static_cast<std::uint8_t>(byte(random));
        break;
      case 2:  // an interesting value
        if (!data.empty()) {
          static constexpr std::uint8_t kValues[] = {0x00, 0xFF, 0x7F, 0x80, '\n', '=',
                                                     '[',  '/',  ',',  '-',  '"',  ';'};
          data[at] = kValues[random() % std::size(kValues)];
        }
        break;
      case 3:  // cut the rest
        data.resize(at);
        break;
      case 4: {  // splice in a piece of another seed
        const Bytes& other = seeds[random() % seeds.size()];
        if (other.empty()) break;
        const std::size_t from = random() % other.size();
        const std::size_t n = std::min<std::size_t>(other.size() - from, 1 + random() % 32);
        data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), other.begin() + from,
                    other.begin() + from + n);
        break;
      }
      default:  // drop a run of bytes
        if (!data.empty())
          data.erase(data.begin() + at,
                     data.begin() + std::min(data.size(), at + 1 + random() % 8));
        break;
    }
  }
  return data;
}

void RunCorpusAndMutations(const std::string& folder, const Entry& entry, int rounds,
                           std::uint32_t seed) {
  const std::vector<Bytes> seeds = Corpus(folder);
  ASSERT_GE(seeds.size(), 4u) << folder;
  for (std::size_t i = 0; i < seeds.size(); ++i)
    ASSERT_TRUE(entry(seeds[i])) << folder << " seed " << i;
  std::mt19937 random(seed);
  for (int round = 0; round < rounds; ++round) {
    const Bytes data = Mutate(seeds, random);
    ASSERT_TRUE(entry(data)) << folder << " round " << round << " (" << data.size() << " bytes)";
  }
}

TEST(FuzzCorpus, IniReader) {
  RunCorpusAndMutations("package/corpus/profile", package::fuzz::FuzzProfile, 5000, 11);
}

TEST(FuzzCorpus, ConfigurationLoading) {
  RunCorpusAndMutations("package/corpus/configuration", package::fuzz::FuzzConfiguration, 1500, 12);
}

TEST(FuzzCorpus, ArchiveAccess) {
  RunCorpusAndMutations("package/corpus/archive", package::fuzz::FuzzArchive, 1500, 13);
}

TEST(FuzzCorpus, ArchiveAccessAroundAFreshPackage) {
  // Damage in every part of a package written by the project's own writer:
  // local headers, data, central directory, end record.
  const Bytes sample = package::fuzz::SamplePackageBytes(
      "[HOST]\nUART=COM1\n[TARGET]\nMEMORY=0x400000,0x80000,AM29F040\n");
  ASSERT_GT(sample.size(), 100u);
  std::mt19937 random(14);
  for (std::size_t at = 0; at < sample.size(); ++at) {
    Bytes data = sample;
    data[at] ^= static_cast<std::uint8_t>(1 + random() % 255);
    ASSERT_TRUE(package::fuzz::FuzzArchive(data)) << "byte " << at;
  }
  for (std::size_t cut = 0; cut < sample.size(); cut += 7) {
    const Bytes data(sample.begin(), sample.begin() + static_cast<std::ptrdiff_t>(cut));
    ASSERT_TRUE(package::fuzz::FuzzArchive(data)) << "cut at " << cut;
  }
}

TEST(FuzzCorpus, CommandLines) {
  RunCorpusAndMutations("commandline/corpus", commandline::fuzz::FuzzCommandLine, 8000, 15);
}

TEST(FuzzCorpus, SessionReceivePath) {
  RunCorpusAndMutations("session/corpus", session::fuzz::FuzzSessionReceive, 2000, 16);
}

TEST(FuzzCorpus, SessionAnswersOfEveryLengthInBothModes) {
  // A well-formed answer of each length, handed over whole or byte by byte.
  for (int flags : {0x00, 0x01, 0x02, 0x03}) {
    for (int length = 1; length <= 255; length += 17) {
      Bytes data{static_cast<std::uint8_t>(flags), static_cast<std::uint8_t>(length)};
      unsigned sum = 0;
      for (int i = 0; i < length; ++i) {
        data.push_back(static_cast<std::uint8_t>(i * 7));
        sum += data.back();
      }
      data.push_back(static_cast<std::uint8_t>(sum));
      data.push_back(static_cast<std::uint8_t>(sum >> 8));
      ASSERT_TRUE(session::fuzz::FuzzSessionReceive(data)) << flags << " " << length;
    }
  }
}

}  // namespace
}  // namespace pelvane::reliability
