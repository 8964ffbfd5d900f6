// The thin layer between the Win32 serial line and the system: every call the
// line makes on its device goes through here. The default bodies call the
// Win32 communications API; tests derive from it to record the DCB and time-outs
// asked for and to fake what Wine's pseudo-terminal ports cannot show
// (exclusive use, modem lines, parity, unusual rates, a removed adapter).
//
// Every call returns what the system call returns; a failure leaves its code
// for GetLastError(), which fakes set with SetLastError().
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace pelvane::ports::serial_line {

class CommIo {
 public:
  virtual ~CommIo() = default;

  virtual HANDLE Open(const wchar_t* path, DWORD access, DWORD shareMode, DWORD creationDisposition,
                      DWORD flags);   // CreateFileW
  virtual BOOL Close(HANDLE handle);  // CloseHandle

  virtual BOOL SetupComm(HANDLE handle, DWORD inQueue, DWORD outQueue);
  virtual BOOL GetCommState(HANDLE handle, DCB* dcb);
  virtual BOOL SetCommState(HANDLE handle, const DCB* dcb);
  virtual BOOL GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts);
  virtual BOOL SetCommTimeouts(HANDLE handle, const COMMTIMEOUTS* timeouts);
  virtual BOOL EscapeCommFunction(HANDLE handle, DWORD function);  // SETDTR, CLRRTS, ...
  virtual BOOL ClearCommError(HANDLE handle, DWORD* errors, COMSTAT* status);
  virtual BOOL PurgeComm(HANDLE handle, DWORD flags);

  // ReadFile and WriteFile on the synchronous handle: they return when the
  // count is done or the COMMTIMEOUTS time-out passed.
  virtual BOOL ReadFile(HANDLE handle, void* buffer, DWORD count, DWORD* read);
  virtual BOOL WriteFile(HANDLE handle, const void* buffer, DWORD count, DWORD* written);
  // FlushFileBuffers: returns once the driver has sent what it holds.
  virtual BOOL FlushFileBuffers(HANDLE handle);
  virtual void Sleep(DWORD milliseconds);
};

// The layer used when nobody passes another.
CommIo& SystemCommIo();

}  // namespace pelvane::ports::serial_line
