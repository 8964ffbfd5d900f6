#include "ports/registry/port_registry.h"

#include <cctype>

#include "core/class_ids.h"
#include "ports/gpib/gpib_port.h"
#include "ports/kind/port_kind.h"
#include "ports/serial/serial_port.h"

namespace pelvane::ports {
namespace {

constexpr std::string_view kClsidPrefix = "clsid:";

bool IsDelimiter(char c) {
  return c == ' ' || c == '\t' || c == '\n';
}

// The prefix is matched without regard to case, like any moniker prefix; the
// class id itself is compared by the registry.
bool HasClsidPrefix(std::string_view part) {
  if (part.size() < kClsidPrefix.size()) return false;
  for (std::size_t i = 0; i < kClsidPrefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(part[i])) != kClsidPrefix[i]) return false;
  return true;
}

}  // namespace

const PortRegistry& DefaultPortRegistry() {
  static const PortRegistry registry = [] {
    PortRegistry r;
    r.Add(std::string(core::clsid::kSerialPort), [] { return CreateSerialPort(); });
    r.Add(std::string(core::clsid::kGpibPort), [] { return CreateGpibPort(); });
    return r;
  }();
  return registry;
}

OpenStringParts SplitOpenString(std::string_view openString) {
  OpenStringParts parts;
  std::string* targets[] = {&parts.classIdPart, &parts.parameters};
  std::size_t pos = 0;
  for (std::string* target : targets) {
    while (pos < openString.size() && IsDelimiter(openString[pos])) ++pos;
    const std::size_t start = pos;
    while (pos < openString.size() && !IsDelimiter(openString[pos])) ++pos;
    *target = std::string(openString.substr(start, pos - start));
  }
  return parts;
}

PortBinding BindPort(std::string_view openString, const PortRegistry& registry) {
  PortBinding binding;
  OpenStringParts parts = SplitOpenString(openString);
  if (!HasClsidPrefix(parts.classIdPart)) return binding;
  const std::string_view classId = std::string_view(parts.classIdPart).substr(kClsidPrefix.size());
  binding.port = registry.Create(classId);
  if (!binding.port) return binding;
  binding.parameters = std::move(parts.parameters);
  // Only the exact spelling switches the session to block mode; the GPIB id
  // in lower case binds the same port but keeps handshake mode.
  for (const PortKindInfo& kind : PortKinds())
    if (kind.blockMode && parts.classIdPart == "clsid:" + std::string(kind.classId))
      binding.blockMode = true;
  return binding;
}

}  // namespace pelvane::ports
