// The erase step, and the programming voltage that erasing and programming
// both switch.
#include "package/qn_error.h"
#include "upload/report_text.h"
#include "upload/upload_engine.h"

namespace pelvane::upload {

bool UploadEngine::SwitchVoltage(bool on) {
  // Once asked for, the voltage may be on whatever the answer says.
  if (on) voltageOn_ = true;
  const bool ok =
      on ? wait_.Exchange(app::HPROGPWRON, [](app::IQX_App& a) { return a.ProgPowerOn(); })
         : wait_.Exchange(app::HPROGPWROFF, [](app::IQX_App& a) { return a.ProgPowerOff(); });
  if (!ok) {
    report_.Action(on ? "Error setting Programming Voltage On"
                      : "Error setting Programming Voltage Off");
    return false;
  }
  if (!on) voltageOn_ = false;
  report_.Done(line_.ExchangeSeconds(MessageSize::kPower, MessageSize::kPowerAnswer));
  report_.Action(on ? "Programming Voltage On" : "Programming Voltage Off");
  return true;
}

std::string UploadEngine::RangeText(const std::string& what, std::int32_t start, std::int32_t end) {
  return ", " + what + " H" + HexText(start) + " to H" + HexText(end) + " lies in no flash memory";
}

const PlanMemory* UploadEngine::MemoryHolding(std::int32_t start, std::int32_t end) const {
  const PlanMemory* found = nullptr;
  for (const PlanMemory& memory : plan_.memories)
    if (memory.startAddress <= start && memory.endAddress >= end) found = &memory;
  return found;
}

bool UploadEngine::EraseFlashMemories() {
  bool result = true;
  report_.Action("Erase Flash Memories Started");
  if (!SwitchVoltage(true)) return false;
  std::string outside;
  for (const PlanErase& erase : plan_.erases) {
    const PlanMemory* memory = MemoryHolding(erase.eraseAddress, erase.endAddress);
    if (memory == nullptr) {
      result = false;
      outside = RangeText("erase range", erase.eraseAddress, erase.endAddress);
      report_.Action("FlashErase Configuration Error");
      break;
    }
    report_.Action("FlashDelete Started");
    report_.RestartTick();
    flashChanged_ = true;
    // An erase takes seconds: the animation goes on meanwhile.
    const bool erased = wait_.Exchange(
        app::HFLASHERASE,
        [&](app::IQX_App& a) {
          return a.FlashDelete(static_cast<std::uint8_t>(plan_.architecture),
                               static_cast<std::uint8_t>(memory->flashnameIndex),
                               static_cast<std::uint32_t>(erase.eraseAddress),
                               static_cast<std::uint32_t>(erase.length));
        },
        [this] { report_.Tick(); });
    if (!erased) {
      report_.Action("FlashDelete ERROR");
      return false;
    }
    report_.Done(line_.ExchangeSeconds(MessageSize::kErase, MessageSize::kEraseAnswer));
    report_.Action("FlashDelete OK");
  }
  if (!SwitchVoltage(false)) return false;
  // Recorded once the voltage is off: a failure on record fails every answer.
  // The step still ends with its closing line, as it does when every range
  // was erased.
  if (!result) outcome_.Fail(package::kErrFlashRange, outside, FailureCause::RangeOutsideMemory);
  report_.Action("Erase Flash Memories Completed");
  return result;
}

}  // namespace pelvane::upload
