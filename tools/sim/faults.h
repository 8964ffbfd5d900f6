// Faults the simulated instrument can be told to show. Counted faults name
// the k-th occurrence (1-based) of a command or response; several may be given
// and all of them combine. Line noise damages the instrument's answer frames
// and draws from a seeded generator, so a run can be repeated exactly.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <set>

namespace pelvane::sim {

struct FaultPlan {
  // The boot monitor's answer instead of its own verdict; nothing means its
  // own verdict, `silent_boot` means no answer at all.
  std::optional<std::uint8_t> boot_verdict;
  bool silent_boot = false;
  // Which uploads the boot fault applies to (1-based); empty means every one.
  std::set<std::uint64_t> boot_fault_uploads;

  std::set<std::uint64_t> fail_prog;  // k-th program block answers a failure
  // k-th program block is stored with its first byte one up and its second
  // one down: the 8-bit checksum still matches, only a read-back shows it.
  std::set<std::uint64_t> corrupt_stored;
  std::set<std::uint64_t> fail_erase;         // k-th erase answers a failure
  std::set<std::uint64_t> bad_checksum;       // k-th checksum command answers a wrong sum
  std::optional<std::uint32_t> short_read;    // read answers deliver at most this many bytes
  std::uint32_t long_read = 0;                // read answers deliver this many bytes more
  std::set<std::uint64_t> corrupt_response;   // k-th response frame has a wrong checksum
  std::set<std::uint64_t> wrong_code;         // k-th response answers another command
  std::optional<std::uint64_t> silent_after;  // commands after the k-th get no answer
  std::optional<std::uint64_t> vanish_after;  // the link closes after the k-th command
  std::optional<std::uint64_t> vanish_at;     // the link closes instead of answering the k-th
  double noise_rate = 0.0;                    // chance that any one answer byte is damaged
  std::optional<std::uint64_t> noise_after;   // the noise starts once the k-th command is answered
  std::uint64_t seed = 1;
};

// Damages bytes at the plan's rate; one generator keeps a seeded run repeatable.
class LineNoise {
 public:
  LineNoise(double rate, std::uint64_t seed) : rate_(rate), rng_(seed) {}
  // The byte as it comes through the line; counts the bytes it changed.
  std::uint8_t Pass(std::uint8_t byte);
  // Switched off, the line is clean (the noise can be kept to one stage of a run).
  void SetActive(bool active) { active_ = active; }
  std::uint64_t garbled() const { return garbled_; }

 private:
  double rate_;
  std::mt19937_64 rng_;
  std::uint64_t garbled_ = 0;
  bool active_ = true;
};

}  // namespace pelvane::sim
