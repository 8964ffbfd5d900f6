// A runner that the station starts for one instrument, and how it is asked
// to stop. Starting a program and reading its output differ between the
// platforms; this is the one seam for it.
//
// The child's standard output and standard error come through one pipe (the
// child writes both from one thread, so its lines do not mix), its standard
// input is empty. It runs in a process group of its own, so that Ctrl-C at
// the terminal reaches the station alone, which passes the request on to
// every child once and in order.
//
// Threading: Read may block on a thread of its own while the owner calls
// RequestStop; Wait and the destructor belong to the owner.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace pelvane::cli {

class ChildProcess {
 public:
  // Starts `program` with `arguments` (UTF-8, without the program's name).
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments);
  // A child still running is asked to stop and waited for.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const;
  // Why it did not start.
  const std::string& Error() const;

  // What the child wrote, as it comes: blocks until there is some; 0 once
  // the child has closed its output (it ended).
  std::size_t Read(char* buffer, std::size_t size);
  // Asks the child to end in order, as Ctrl-C would.
  void RequestStop();
  // Waits for the end: the exit status (128 + the signal's number for a
  // child that a signal ended).
  int Wait();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// The file of a program installed beside the running one ("pelvane-cli" is
// pelvane-cli.exe on Windows); empty when the running program's file is not
// known.
std::string ProgramBeside(const std::string& name);

}  // namespace pelvane::cli
