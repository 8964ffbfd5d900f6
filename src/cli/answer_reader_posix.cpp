#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "cli/answer_reader.h"

namespace pelvane::cli {

// The wait for input also watches a pipe that Interrupt writes to.
struct AnswerReader::State {
  int wake[2] = {-1, -1};
  std::atomic<bool> interrupted{false};
};

AnswerReader::AnswerReader() : state_(std::make_unique<State>()) {
  if (::pipe2(state_->wake, O_CLOEXEC | O_NONBLOCK) != 0) state_->wake[0] = state_->wake[1] = -1;
}

AnswerReader::~AnswerReader() {
  for (const int fd : state_->wake)
    if (fd >= 0) ::close(fd);
}

void AnswerReader::Interrupt() {
  state_->interrupted = true;
  if (state_->wake[1] >= 0) {
    const char wake = 1;
    [[maybe_unused]] const ssize_t written = ::write(state_->wake[1], &wake, 1);
  }
}

std::optional<std::string> AnswerReader::ReadLine() {
  std::string line;
  while (!state_->interrupted) {
    pollfd waits[2] = {{STDIN_FILENO, POLLIN, 0}, {state_->wake[0], POLLIN, 0}};
    if (::poll(waits, 2, -1) < 0 && errno != EINTR) return std::nullopt;
    if (waits[1].revents != 0) break;
    if (waits[0].revents == 0) continue;
    char c = 0;
    if (::read(STDIN_FILENO, &c, 1) != 1) return line.empty() ? std::nullopt : std::optional(line);
    if (c == '\n') return line;
    line += c;
  }
  return std::nullopt;
}

}  // namespace pelvane::cli
