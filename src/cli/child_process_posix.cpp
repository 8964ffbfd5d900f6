#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "cli/child_process.h"
#include "core/files.h"
#include "core/program.h"
#include "core/system_error.h"

extern char** environ;

namespace pelvane::cli {

struct ChildProcess::Impl {
  pid_t pid = -1;
  int output = -1;  // the pipe's reading end
  bool waited = false;
  int status = -1;
  std::string error;
};

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments)
    : impl_(std::make_unique<Impl>()) {
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) {
    impl_->error = "no pipe for " + program + ": " + core::SystemErrorText(core::LastSystemError());
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipe[1], STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // The station blocks its stop signals for the thread that waits for them;
  // the child starts with none blocked and their default actions, in a
  // process group of its own.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, signal);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  std::vector<std::string> all{program};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int failed =
      ::posix_spawn(&impl_->pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe[1]);
  if (failed != 0) {
    impl_->pid = -1;
    ::close(pipe[0]);
    impl_->error = "cannot start " + program + ": " +
                   core::SystemErrorText(static_cast<std::uint32_t>(failed));
    return;
  }
  impl_->output = pipe[0];
}

ChildProcess::~ChildProcess() {
  if (impl_->pid > 0 && !impl_->waited) {
    RequestStop();
    Wait();
  }
  if (impl_->output >= 0) ::close(impl_->output);
}

bool ChildProcess::Started() const {
  return impl_->pid > 0;
}

const std::string& ChildProcess::Error() const {
  return impl_->error;
}

std::size_t ChildProcess::Read(char* buffer, std::size_t size) {
  if (impl_->output < 0) return 0;
  for (;;) {
    const ssize_t got = ::read(impl_->output, buffer, size);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return 0;
  }
}

void ChildProcess::RequestStop() {
  // Never kill(-1) or a group: only the child itself.
  if (impl_->pid > 0 && !impl_->waited) ::kill(impl_->pid, SIGINT);
}

int ChildProcess::Wait() {
  if (impl_->waited || impl_->pid <= 0) return impl_->status;
  int status = 0;
  while (::waitpid(impl_->pid, &status, 0) < 0 && errno == EINTR) {
  }
  impl_->waited = true;
  impl_->status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return impl_->status;
}

std::string ProgramBeside(const std::string& name) {
  const std::string self = core::ProgramFile();
  if (self.empty()) return {};
  return core::Utf8FromPath(core::PathFromUtf8(self).parent_path() / core::PathFromUtf8(name));
}

}  // namespace pelvane::cli
