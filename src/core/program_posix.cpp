#include <unistd.h>

#include <cstdlib>

#include "core/program.h"

namespace pelvane::core {

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

bool IsTerminal(StandardStream stream) {
  switch (stream) {
    case StandardStream::kIn:
      return ::isatty(STDIN_FILENO) != 0;
    case StandardStream::kOut:
      return ::isatty(STDOUT_FILENO) != 0;
    case StandardStream::kErr:
      return ::isatty(STDERR_FILENO) != 0;
  }
  return false;
}

std::optional<std::string> EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

bool DisplayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"})
    if (const auto value = EnvironmentValue(name); value && !value->empty()) return true;
  return false;
}

std::string LogFolder() {
  // Only absolute folders count: a relative one would move with the
  // working folder of whoever starts the program.
  if (const auto state = EnvironmentValue("XDG_STATE_HOME"); state && state->front() == '/')
    return *state + "/pelvane/logs";
  if (const auto home = EnvironmentValue("HOME"); home && !home->empty() && home->front() == '/')
    return *home + "/.local/state/pelvane/logs";
  return {};
}

std::string ConfigFolder() {
  if (const auto config = EnvironmentValue("XDG_CONFIG_HOME"); config && config->front() == '/')
    return *config + "/pelvane";
  if (const auto home = EnvironmentValue("HOME"); home && !home->empty() && home->front() == '/')
    return *home + "/.config/pelvane";
  return {};
}

std::string ProgramFile() {
  std::string path(4096, '\0');
  const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= path.size()) return {};
  path.resize(static_cast<std::size_t>(length));
  return path;
}

}  // namespace pelvane::core
