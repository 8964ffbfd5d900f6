#include <windows.h>

#include "cli/child_process.h"
#include "core/files.h"
#include "core/program.h"
#include "core/system_error.h"
#include "core/utf16.h"

namespace pelvane::cli {

namespace {

// One argument as CommandLineToArgvW reads it back: quoted when it holds a
// blank or a quote (or is empty); backslashes are doubled only before a quote.
std::wstring Quoted(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"')
      quoted.append(backslashes * 2 + 1, L'\\');
    else
      quoted.append(backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

}  // namespace

struct ChildProcess::Impl {
  PROCESS_INFORMATION process{};
  HANDLE output = nullptr;  // the pipe's reading end
  bool started = false;
  bool waited = false;
  int status = -1;
  std::string error;
};

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments)
    : impl_(std::make_unique<Impl>()) {
  const auto fail = [&](const std::string& what) {
    impl_->error = what + " " + program + ": " + core::SystemErrorText(core::LastSystemError());
  };
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read = nullptr, write = nullptr;
  if (!::CreatePipe(&read, &write, &inherit, 0)) {
    fail("no pipe for");
    return;
  }
  // Only the child's ends are inherited; the station keeps the reading end.
  ::SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  HANDLE input = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr);
  std::wstring line = Quoted(core::Utf16FromUtf8(program));
  for (const std::string& argument : arguments)
    line += L" " + Quoted(core::Utf16FromUtf8(argument));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = write;
  startup.hStdError = write;
  // A group of its own: Ctrl-C reaches the station alone, which passes a
  // Ctrl-Break on to each child.
  const BOOL created =
      ::CreateProcessW(core::Utf16FromUtf8(program).c_str(), line.data(), nullptr, nullptr, TRUE,
                       CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &impl_->process);
  if (!created) fail("cannot start");
  ::CloseHandle(write);
  if (input != INVALID_HANDLE_VALUE) ::CloseHandle(input);
  if (!created) {
    ::CloseHandle(read);
    return;
  }
  impl_->output = read;
  impl_->started = true;
}

ChildProcess::~ChildProcess() {
  if (impl_->started && !impl_->waited) {
    RequestStop();
    Wait();
  }
  if (impl_->output != nullptr) ::CloseHandle(impl_->output);
  if (impl_->started) {
    ::CloseHandle(impl_->process.hThread);
    ::CloseHandle(impl_->process.hProcess);
  }
}

bool ChildProcess::Started() const {
  return impl_->started;
}

const std::string& ChildProcess::Error() const {
  return impl_->error;
}

std::size_t ChildProcess::Read(char* buffer, std::size_t size) {
  if (impl_->output == nullptr) return 0;
  DWORD got = 0;
  // A broken pipe is the child's end.
  if (!::ReadFile(impl_->output, buffer, static_cast<DWORD>(size), &got, nullptr)) return 0;
  return got;
}

void ChildProcess::RequestStop() {
  if (!impl_->started || impl_->waited) return;
  // Without a console to carry the Ctrl-Break there is no orderly way left.
  if (!::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, impl_->process.dwProcessId))
    ::TerminateProcess(impl_->process.hProcess, 130);
}

int ChildProcess::Wait() {
  if (impl_->waited || !impl_->started) return impl_->status;
  ::WaitForSingleObject(impl_->process.hProcess, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(impl_->process.hProcess, &code);
  impl_->waited = true;
  impl_->status = static_cast<int>(code);
  return impl_->status;
}

std::string ProgramBeside(const std::string& name) {
  const std::string self = core::ProgramFile();
  if (self.empty()) return {};
  return core::Utf8FromPath(core::PathFromUtf8(self).parent_path() /
                            core::PathFromUtf8(name + ".exe"));
}

}  // namespace pelvane::cli
