// The one object that stands between the engine (and the thread base) and the
// operating system. Every call has the name, arguments and error behaviour of
// the Win32 call it is named after: failures return FALSE / a null or invalid
// handle and leave the reason in GetLastError() of the calling thread.
//
// Backends: win32/ forwards to the real calls; posix/ provides the same
// contracts over termios, poll, eventfd and threads. Tests derive from a
// backend and replace what they want to script (a fake device, failing calls).
#pragma once

#include <functional>

#include "platform/winapi.h"

namespace platform {

// Procedure of a hidden notification window (the engine's and the thread
// base's own). Called on the thread that created the window.
using WindowProc = std::function<LRESULT(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam)>;

class OsApi {
 public:
  virtual ~OsApi() = default;

  // ---- errors ---------------------------------------------------------
  virtual DWORD GetLastError() = 0;
  virtual void SetLastError(DWORD error) = 0;

  // ---- serial device --------------------------------------------------
  virtual HANDLE CreateFileA(const char *fileName, DWORD desiredAccess, DWORD shareMode,
                             void *securityAttributes, DWORD creationDisposition,
                             DWORD flagsAndAttributes, HANDLE templateFile) = 0;
  virtual DWORD GetFileType(HANDLE file) = 0;
  virtual BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) = 0;
  virtual BOOL PurgeComm(HANDLE file, DWORD flags) = 0;
  virtual BOOL GetCommState(HANDLE file, DCB *dcb) = 0;
  virtual BOOL SetCommState(HANDLE file, DCB *dcb) = 0;
  virtual BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS *timeouts) = 0;
  virtual BOOL SetCommMask(HANDLE file, DWORD mask) = 0;
  virtual BOOL WaitCommEvent(HANDLE file, DWORD *eventMask, OVERLAPPED *overlapped) = 0;
  virtual BOOL ReadFile(HANDLE file, void *buffer, DWORD toRead, DWORD *read,
                        OVERLAPPED *overlapped) = 0;
  virtual BOOL WriteFile(HANDLE file, const void *buffer, DWORD toWrite, DWORD *written,
                         OVERLAPPED *overlapped) = 0;
  virtual BOOL GetOverlappedResult(HANDLE file, OVERLAPPED *overlapped, DWORD *transferred,
                                   BOOL wait) = 0;
  virtual BOOL ClearCommError(HANDLE file, DWORD *errors, COMSTAT *stat) = 0;
  // Cancels the pending operations that the calling thread issued on `file`;
  // they complete with ERROR_OPERATION_ABORTED.
  virtual BOOL CancelIo(HANDLE file) = 0;
  virtual BOOL CloseHandle(HANDLE object) = 0;

  // ---- events and waits -----------------------------------------------
  virtual HANDLE CreateEventA(void *securityAttributes, BOOL manualReset, BOOL initialState,
                              const char *name) = 0;
  virtual BOOL SetEvent(HANDLE event) = 0;
  virtual BOOL ResetEvent(HANDLE event) = 0;
  virtual DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) = 0;
  // Wait-any reports the lowest signalled index; wait-all is not supported.
  virtual DWORD WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll,
                                       DWORD milliseconds) = 0;
  // As WaitForMultipleObjects, and WAIT_OBJECT_0 + count when the calling
  // thread's message queue holds input of a kind in wakeMask.
  virtual DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll,
                                          DWORD milliseconds, DWORD wakeMask) = 0;
  virtual void Sleep(DWORD milliseconds) = 0;
  // A clock in milliseconds that keeps running (never goes back).
  virtual std::uint64_t TickCount64() = 0;

  // ---- threads -----------------------------------------------------------
  virtual HANDLE CreateThread(LPTHREAD_START_ROUTINE start, void *parameter, DWORD creationFlags,
                              DWORD *threadId) = 0;
  virtual DWORD ResumeThread(HANDLE thread) = 0;  // only for CREATE_SUSPENDED starts
  // FALSE (ERROR_ACCESS_DENIED) when the system refuses the caller, as Linux
  // refuses an ordinary user a raised priority; callers may go on without it.
  virtual BOOL SetThreadPriority(HANDLE thread, int priority) = 0;
  virtual DWORD GetCurrentThreadId() = 0;

  // ---- windows and messages ---------------------------------------------
  // A hidden, zero-sized tool window owned by the calling thread; its
  // messages are dispatched by that thread's message loop.
  virtual HWND AllocateHWnd(WindowProc proc) = 0;
  virtual void DeallocateHWnd(HWND wnd) = 0;
  virtual BOOL PostMessageA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) = 0;
  // Fails with ERROR_INVALID_THREAD_ID while the thread has no queue yet:
  // a queue comes into being at the thread's first look at it.
  virtual BOOL PostThreadMessageA(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) = 0;
  virtual BOOL PeekMessageA(MSG *msg, HWND wnd, UINT filterMin, UINT filterMax, UINT removeMsg) = 0;
  virtual BOOL TranslateMessage(const MSG *msg) = 0;
  virtual LRESULT DispatchMessageA(const MSG *msg) = 0;
  virtual LRESULT DefWindowProcA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) = 0;

  // ---- local heap --------------------------------------------------------
  virtual HLOCAL LocalAlloc(UINT flags, std::size_t bytes) = 0;
  virtual HLOCAL LocalFree(HLOCAL mem) = 0;
};

// The real backend of this platform, created on first use and never freed.
OsApi &DefaultOsApi();

}  // namespace platform
