// What a program of Pelvane takes from the system it runs on: its arguments,
// its standard streams, its environment and where it keeps its logs. Text is
// UTF-8 on every platform.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pelvane::core {

// Sets the standard streams up for the program's output (UTF-8 on a console;
// a line ends in "\n" only, also on Windows, so JSON lines stay exact) and
// returns the arguments, without the program's name, as UTF-8. Called first
// thing in main.
std::vector<std::string> ProgramArguments(int argc, char** argv);

enum class StandardStream { kIn, kOut, kErr };
// True when the stream is an interactive terminal (a console on Windows).
bool IsTerminal(StandardStream stream);

// The variable's value as UTF-8; nothing when it is not set.
std::optional<std::string> EnvironmentValue(const char* name);

// True when a window can be shown: on Linux an X or Wayland display named in
// the environment, on Windows the desktop.
bool DisplayAvailable();

// Where the programs keep their logs and run traces, not created here:
// $XDG_STATE_HOME/pelvane/logs or ~/.local/state/pelvane/logs on Linux,
// %LOCALAPPDATA%\Pelvane\logs on Windows; empty when the system names no
// such place.
std::string LogFolder();

// Where the user keeps the programs' settings, not created here:
// $XDG_CONFIG_HOME/pelvane or ~/.config/pelvane on Linux, %APPDATA%\Pelvane
// on Windows; empty when the system names no such place.
std::string ConfigFolder();

// The running program's own file, so that a program can start another that
// is installed beside it; empty when the system does not tell.
std::string ProgramFile();

}  // namespace pelvane::core
