// The Windows backend: every call goes straight to the system. Tests derive
// from Win32Api to script single calls and let the rest reach the real ones.
#pragma once

#include "platform/osapi.h"

namespace platform {

class Win32Api : public OsApi {
 public:
  Win32Api();

  DWORD GetLastError() override;
  void SetLastError(DWORD error) override;

  HANDLE CreateFileA(const char *fileName, DWORD desiredAccess, DWORD shareMode,
                     void *securityAttributes, DWORD creationDisposition, DWORD flagsAndAttributes,
                     HANDLE templateFile) override;
  DWORD GetFileType(HANDLE file) override;
  BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) override;
  BOOL PurgeComm(HANDLE file, DWORD flags) override;
  BOOL GetCommState(HANDLE file, DCB *dcb) override;
  BOOL SetCommState(HANDLE file, DCB *dcb) override;
  BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS *timeouts) override;
  BOOL SetCommMask(HANDLE file, DWORD mask) override;
  BOOL WaitCommEvent(HANDLE file, DWORD *eventMask, OVERLAPPED *overlapped) override;
  BOOL ReadFile(HANDLE file, void *buffer, DWORD toRead, DWORD *read,
                OVERLAPPED *overlapped) override;
  BOOL WriteFile(HANDLE file, const void *buffer, DWORD toWrite, DWORD *written,
                 OVERLAPPED *overlapped) override;
  BOOL GetOverlappedResult(HANDLE file, OVERLAPPED *overlapped, DWORD *transferred,
                           BOOL wait) override;
  BOOL ClearCommError(HANDLE file, DWORD *errors, COMSTAT *stat) override;
  BOOL CancelIo(HANDLE file) override;
  BOOL CloseHandle(HANDLE object) override;

  HANDLE CreateEventA(void *securityAttributes, BOOL manualReset, BOOL initialState,
                      const char *name) override;
  BOOL SetEvent(HANDLE event) override;
  BOOL ResetEvent(HANDLE event) override;
  DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) override;
  DWORD WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll,
                               DWORD milliseconds) override;
  DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll,
                                  DWORD milliseconds, DWORD wakeMask) override;
  void Sleep(DWORD milliseconds) override;
  std::uint64_t TickCount64() override;

  HANDLE CreateThread(LPTHREAD_START_ROUTINE start, void *parameter, DWORD creationFlags,
                      DWORD *threadId) override;
  DWORD ResumeThread(HANDLE thread) override;
  BOOL SetThreadPriority(HANDLE thread, int priority) override;
  DWORD GetCurrentThreadId() override;

  // The window must be deallocated by the thread that allocated it: Windows
  // destroys a window only on its own thread. Deallocating it from inside its
  // own procedure is safe; the procedure is freed when that call returns.
  HWND AllocateHWnd(WindowProc proc) override;
  void DeallocateHWnd(HWND wnd) override;
  BOOL PostMessageA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) override;
  BOOL PostThreadMessageA(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) override;
  BOOL PeekMessageA(MSG *msg, HWND wnd, UINT filterMin, UINT filterMax, UINT removeMsg) override;
  BOOL TranslateMessage(const MSG *msg) override;
  LRESULT DispatchMessageA(const MSG *msg) override;
  LRESULT DefWindowProcA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) override;

  HLOCAL LocalAlloc(UINT flags, std::size_t bytes) override;
  HLOCAL LocalFree(HLOCAL mem) override;
};

}  // namespace platform
