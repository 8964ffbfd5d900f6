// Starting the programs under test and collecting what each used: wait4
// returns the child's own processor time and peak memory, so parallel runs
// are told apart.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "wire_figures.h"

namespace pelvane::bench {

class ChildProcess {
 public:
  // Starts argv[0] with the arguments; standard output goes to stdoutPath
  // (or into a pipe that ReadLine reads, when stdoutPath is empty), standard
  // error to stderrPath. Throws std::runtime_error when it cannot start.
  ChildProcess(const std::vector<std::string>& argv, const std::string& stdoutPath,
               const std::string& stderrPath);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // One line of the child's standard output (only with a pipe); empty when
  // none came within the timeout or the pipe closed.
  std::string ReadLine(std::chrono::milliseconds timeout);

  // Waits for the end; the exit status (128 + signal for a signal).
  int Wait();
  // Sends SIGTERM (once, and only while the child runs).
  void Terminate();

  const ProcessUse& Use() const { return use_; }
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int pipe_ = -1;
  std::string pending_;
  std::chrono::steady_clock::time_point start_;
  ProcessUse use_;
  int status_ = -1;
};

}  // namespace pelvane::bench
