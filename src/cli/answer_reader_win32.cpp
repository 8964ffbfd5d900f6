#include <windows.h>

#include <atomic>
#include <mutex>

#include "cli/answer_reader.h"
#include "core/utf16.h"

namespace pelvane::cli {

// The console reads a whole line with its own editing. Ctrl-C ends that read
// by itself (the control handler cancels the run meanwhile); any other
// cancel reaches the reading thread through CancelSynchronousIo.
struct AnswerReader::State {
  std::atomic<bool> interrupted{false};
  std::mutex mutex;
  HANDLE reader = nullptr;  // guarded by mutex: the thread in ReadConsoleW
};

AnswerReader::AnswerReader() : state_(std::make_unique<State>()) {}

AnswerReader::~AnswerReader() = default;

void AnswerReader::Interrupt() {
  state_->interrupted = true;
  std::lock_guard lock(state_->mutex);
  if (state_->reader != nullptr) ::CancelSynchronousIo(state_->reader);
}

std::optional<std::string> AnswerReader::ReadLine() {
  if (state_->interrupted) return std::nullopt;
  {
    std::lock_guard lock(state_->mutex);
    state_->reader = ::OpenThread(THREAD_TERMINATE, FALSE, ::GetCurrentThreadId());
  }
  std::wstring line;
  wchar_t buffer[256];
  bool ended = false;
  while (!ended && !state_->interrupted) {
    DWORD got = 0;
    if (!::ReadConsoleW(::GetStdHandle(STD_INPUT_HANDLE), buffer, 256, &got, nullptr) || got == 0)
      break;
    line.append(buffer, got);
    ended = line.find(L'\n') != std::wstring::npos;
  }
  {
    std::lock_guard lock(state_->mutex);
    ::CloseHandle(state_->reader);
    state_->reader = nullptr;
  }
  if (state_->interrupted || !ended) return std::nullopt;
  line.erase(line.find_first_of(L"\r\n"));
  return core::Utf8FromUtf16(line);
}

}  // namespace pelvane::cli
