// What one upload works through, taken from the loaded package after its
// validation: plain values, so that the sequence does not depend on how the
// package model keeps them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pelvane::upload {

struct PlanTransfer {
  std::string filename;
  std::int32_t loadAddress = 0;
  std::int32_t execAddress = 0;
};

struct PlanMemory {
  std::int32_t flashnameIndex = 0;
  std::int32_t startAddress = 0;
  std::int32_t endAddress = 0;  // first address behind the memory
};

struct PlanErase {
  std::int32_t eraseAddress = 0;
  std::int32_t length = 0;
  std::int32_t endAddress = 0;
};

struct PlanProgram {
  std::string filename;  // archive member
  std::int32_t loadAddress = 0;
  std::int32_t endAddress = 0;
  // The download of the same run whose read-back this entry writes back
  // (restoring calibration after an erase); -1: the archive member.
  std::int32_t readBack = -1;
};

struct PlanDownload {
  std::string filename;  // file on the computer, inside the output folder
  std::int32_t startAddress = 0;
  std::int32_t length = 0;
  // The name as the package gives it, when a folder part or a drive letter
  // was left off; empty otherwise.
  std::string packageName = {};
  // The user agreed to replace the file that had the name when the package
  // was checked; otherwise no file of that name is ever replaced.
  bool replace = false;
};

struct UploadPlan {
  std::int32_t maxProgLen = 240;
  std::int32_t architecture = 0;
  bool continueFlag = true;
  std::int32_t baudRate = 0;
  PlanTransfer transfer;
  std::vector<PlanMemory> memories;
  std::vector<PlanErase> erases;
  std::vector<PlanDownload> downloads;
  std::vector<PlanProgram> programs;
};

// The package as the sequence needs it: its members and its checks.
class UploadPackage {
 public:
  virtual ~UploadPackage() = default;

  // The items' own checks (memories, transfer program, downloads, programs);
  // each failure appends CR LF and the item's error text to `message`.
  virtual bool ValidateItems(std::string* message) = 0;
  // The plan of the package as it stands (after ValidateItems).
  virtual UploadPlan Plan() = 0;
  // The configuration summary (before an upload outside the wizard).
  virtual void DisplayConfiguration() = 0;

  // An archive member of the package in use, read whole (its CRC checked);
  // false with the reason in `error` when it cannot be.
  virtual bool ReadMember(const std::string& name, std::vector<std::uint8_t>* bytes,
                          std::string* error) = 0;
  // The size the archive gives for a member (0 when it has none of that name).
  virtual std::int64_t MemberSize(const std::string& name) = 0;
};

}  // namespace pelvane::upload
