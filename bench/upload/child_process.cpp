#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace pelvane::bench {

namespace {
double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}
}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& stdoutPath,
                           const std::string& stderrPath) {
  if (argv.empty()) throw std::runtime_error("no program to start");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int fds[2] = {-1, -1};
  if (stdoutPath.empty()) {
    if (::pipe2(fds, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe: " + std::string(strerror(errno)));
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdoutPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO,
                                   stderrPath.empty() ? "/dev/null" : stderrPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  start_ = std::chrono::steady_clock::now();
  const int rc = ::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (fds[1] >= 0) ::close(fds[1]);
  if (rc != 0) {
    if (fds[0] >= 0) ::close(fds[0]);
    pid_ = -1;
    throw std::runtime_error("cannot start " + argv[0] + ": " + strerror(rc));
  }
  pipe_ = fds[0];
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && status_ < 0) {
    Terminate();
    Wait();
  }
  if (pipe_ >= 0) ::close(pipe_);
}

std::string ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (const auto nl = pending_.find('\n'); nl != std::string::npos) {
      std::string line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      return line;
    }
    if (pipe_ < 0) return {};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return {};
    pollfd p{pipe_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return {};
    char buffer[256];
    const ssize_t n = ::read(pipe_, buffer, sizeof buffer);
    if (n <= 0) {
      ::close(pipe_);
      pipe_ = -1;
      continue;
    }
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

int ChildProcess::Wait() {
  if (status_ >= 0 || pid_ <= 0) return status_;
  int raw = 0;
  rusage usage{};
  pid_t done = -1;
  do {
    done = ::wait4(pid_, &raw, 0, &usage);
  } while (done < 0 && errno == EINTR);
  use_.wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  if (done < 0) {
    status_ = 255;
    return status_;
  }
  use_.cpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  use_.maxRssKiB = usage.ru_maxrss;
  status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return status_;
}

void ChildProcess::Terminate() {
  if (pid_ > 0 && status_ < 0) ::kill(pid_, SIGTERM);
}

}  // namespace pelvane::bench
