#include "ports/serial_line/win32/comm_io.h"

namespace pelvane::ports::serial_line {

HANDLE CommIo::Open(const wchar_t* path, DWORD access, DWORD shareMode, DWORD creationDisposition,
                    DWORD flags) {
  return ::CreateFileW(path, access, shareMode, nullptr, creationDisposition, flags, nullptr);
}
BOOL CommIo::Close(HANDLE handle) {
  return ::CloseHandle(handle);
}

BOOL CommIo::SetupComm(HANDLE handle, DWORD inQueue, DWORD outQueue) {
  return ::SetupComm(handle, inQueue, outQueue);
}
BOOL CommIo::GetCommState(HANDLE handle, DCB* dcb) {
  return ::GetCommState(handle, dcb);
}
BOOL CommIo::SetCommState(HANDLE handle, const DCB* dcb) {
  DCB copy = *dcb;  // the API takes a pointer to a modifiable record
  return ::SetCommState(handle, &copy);
}
BOOL CommIo::GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
  return ::GetCommTimeouts(handle, timeouts);
}
BOOL CommIo::SetCommTimeouts(HANDLE handle, const COMMTIMEOUTS* timeouts) {
  COMMTIMEOUTS copy = *timeouts;
  return ::SetCommTimeouts(handle, &copy);
}
BOOL CommIo::EscapeCommFunction(HANDLE handle, DWORD function) {
  return ::EscapeCommFunction(handle, function);
}
BOOL CommIo::ClearCommError(HANDLE handle, DWORD* errors, COMSTAT* status) {
  return ::ClearCommError(handle, errors, status);
}
BOOL CommIo::PurgeComm(HANDLE handle, DWORD flags) {
  return ::PurgeComm(handle, flags);
}

BOOL CommIo::ReadFile(HANDLE handle, void* buffer, DWORD count, DWORD* read) {
  return ::ReadFile(handle, buffer, count, read, nullptr);
}
BOOL CommIo::WriteFile(HANDLE handle, const void* buffer, DWORD count, DWORD* written) {
  return ::WriteFile(handle, buffer, count, written, nullptr);
}
BOOL CommIo::FlushFileBuffers(HANDLE handle) {
  return ::FlushFileBuffers(handle);
}
void CommIo::Sleep(DWORD milliseconds) {
  ::Sleep(milliseconds);
}

CommIo& SystemCommIo() {
  static CommIo io;
  return io;
}

}  // namespace pelvane::ports::serial_line
