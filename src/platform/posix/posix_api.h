// The POSIX backend: the Win32-shaped contract of OsApi over eventfd, poll,
// termios and threads, plus the hook a GUI toolkit's event loop needs to wake
// when a thread's message queue receives input.
//
// Model in brief:
// - HANDLE and HWND values are small numbers that index tables, never
//   pointers: a stale or bogus value fails with ERROR_INVALID_HANDLE (or
//   ERROR_INVALID_WINDOW_HANDLE), and objects are reference counted so a call
//   in progress on another thread survives a concurrent CloseHandle.
// - Events, thread handles and message queues each own an eventfd that is
//   readable while they are signalled (non-empty) and someone sleeps on them,
//   so every wait is one poll() and an unwatched set costs no system call.
// - A serial device owns its tty descriptor. Pending overlapped reads and
//   writes, following COMMTIMEOUTS, are carried out by the thread that waits
//   for them, or else by the device's service thread (device.h).
//
// Device behaviour where Linux and Windows differ:
// - ONE5STOPBITS sets CSTOPB, like Linux drivers do for 5 data bits; it reads
//   back as ONE5STOPBITS with 5 data bits and TWOSTOPBITS otherwise.
// - fDsrSensitivity, fOutxDsrFlow, fTXContinueOnXoff, XonLim, XoffLim,
//   EofChar, EvtChar and DTR handshake have no termios equivalent: they are
//   kept and reported back but change nothing. fNull drops received zero
//   bytes. fErrorChar is kept only: with fParity (INPCK) Linux delivers a byte
//   that failed its parity check as 0.
// - A line that hangs up (the peer of a pty closes, a USB adapter goes away)
//   completes a pending read or write with ERROR_GEN_FAILURE rather than with
//   zero bytes, so the reader learns that the device is gone.
// - An aborted read (PurgeComm, CancelIo, CloseHandle) completes with
//   ERROR_OPERATION_ABORTED and counts the bytes already placed in the buffer.
// - WaitCommEvent: EV_CTS, EV_DSR, EV_RLSD and EV_RING are watched on devices
//   with modem lines (TIOCMIWAIT in a helper thread); EV_ERR and EV_BREAK come
//   from TIOCGICOUNT deltas taken as data is read. EV_RXCHAR, EV_RXFLAG and
//   EV_TXEMPTY are not reported. On a pseudo-terminal (no modem lines, no
//   counters) a wait therefore completes only through SetCommMask (mask 0),
//   CancelIo or CloseHandle.
// - Overlapped operations still pending when the thread that issued them ends
//   are dropped without touching their OVERLAPPED record: such a record
//   usually lived on that thread's stack.
#pragma once

#include "platform/osapi.h"

namespace platform::posix {

// A file descriptor that is readable while the message queue of the given
// thread holds at least one message. Creates the queue if it does not exist
// yet. The descriptor belongs to the queue; do not close it. Returns -1 (and
// sets ERROR_INVALID_THREAD_ID) for a thread that is unknown or has ended.
int MessageQueueFd(DWORD threadId);

// For tests: the next `count` threads the backend starts (CreateThread, a
// device's service thread and modem-line watcher) are refused as when the
// system has none left to give.
void RefuseThreadStartsForTest(int count);

// The backend as a class, so tests can derive from it and replace single
// calls while the rest reach the real implementation.
class PosixApi : public OsApi {
 public:
  PosixApi() = default;

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

}  // namespace platform::posix
