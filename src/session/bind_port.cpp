#include "session/bind_port.h"

#include <vector>

#include "core/class_ids.h"

namespace pelvane::session::detail {

PortBinding BindPort(std::string_view openString,
                     const core::ClassRegistry<ports::IQX_Port>& registry) {
  constexpr std::string_view kDelimiters = " \t\n";
  constexpr std::string_view kPrefix = "clsid:";
  std::vector<std::string_view> tokens;
  std::size_t pos = 0;
  while (tokens.size() < 2) {
    pos = openString.find_first_not_of(kDelimiters, pos);
    if (pos == std::string_view::npos) break;
    const std::size_t end = openString.find_first_of(kDelimiters, pos);
    tokens.push_back(openString.substr(pos, end - pos));
    pos = end;
  }
  PortBinding binding;
  if (tokens.empty() || !tokens[0].starts_with(kPrefix)) return binding;
  binding.port = registry.Create(tokens[0].substr(kPrefix.size()));
  if (!binding.port) return binding;
  if (tokens.size() > 1) binding.parameters = std::string(tokens[1]);
  binding.blockMode = tokens[0].substr(kPrefix.size()) == core::clsid::kGpibPort;
  return binding;
}

}  // namespace pelvane::session::detail
