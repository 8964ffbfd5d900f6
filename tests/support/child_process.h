// Programs started by the end-to-end tests (the simulator, the runner), with
// their output in files.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "test_files.h"

extern char** environ;

namespace pelvane::test {

class ChildProcess {
 public:
  // Starts `program` with `args` in `dir`, stdout and stderr into files there,
  // stdin from /dev/null.
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const std::filesystem::path& dir, const std::string& name)
      : out_(dir / (name + ".out")), err_(dir / (name + ".err")) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~ChildProcess() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  // Never kill(-1): that would signal every process of the user.
  void Signal(int signal) {
    if (pid_ > 0) ::kill(pid_, signal);
  }

  // The exit status (128 + signal for a signal), after waiting for it.
  // -1 for a program that never started: waiting for -1 would reap another child.
  int Wait() {
    if (exited_ || pid_ <= 0) return status_;
    int status = 0;
    rusage usage{};
    while (::wait4(pid_, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    Ended(status, usage);
    return status_;
  }

  // The most memory the program held at once, in KiB, once it has ended.
  long MaxResidentKiB() const { return maxResidentKiB_; }

  // Waits until the output holds `text` (or the deadline passes); the child
  // writes it when it gets there, so this waits for an event, not for time.
  bool WaitForOutput(const std::string& text,
                     std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
      if (Out().find(text) != std::string::npos) return true;
      if (!Running()) return Out().find(text) != std::string::npos;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  std::string Out() const { return ReadText(out_); }
  std::string Err() const { return ReadText(err_); }

  // True while the program runs; reaps it once it has ended.
  bool Running() {
    if (exited_ || pid_ <= 0) return false;
    int status = 0;
    rusage usage{};
    if (::wait4(pid_, &status, WNOHANG, &usage) == pid_) {
      Ended(status, usage);
      return false;
    }
    return true;
  }

 private:
  void Ended(int status, const rusage& usage) {
    exited_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    maxResidentKiB_ = usage.ru_maxrss;
  }

  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = -1;
  long maxResidentKiB_ = 0;
  std::filesystem::path out_, err_;
};

}  // namespace pelvane::test
