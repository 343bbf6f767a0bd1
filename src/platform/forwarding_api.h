// An OsApi that passes every call on to another one. Tests derive from it and
// replace only the calls they script (a fake device, a failing call).
#pragma once

#include "platform/osapi.h"

namespace platform {

class ForwardingOsApi : public OsApi {
 public:
  explicit ForwardingOsApi(OsApi &real = DefaultOsApi()) : real_(real) {}

  DWORD GetLastError() override { return real_.GetLastError(); }
  void SetLastError(DWORD error) override { real_.SetLastError(error); }
  HANDLE CreateFileA(const char *fileName, DWORD desiredAccess, DWORD shareMode,
                     void *securityAttributes, DWORD creationDisposition, DWORD flagsAndAttributes,
                     HANDLE templateFile) override {
    return real_.CreateFileA(fileName, desiredAccess, shareMode, securityAttributes,
                             creationDisposition, flagsAndAttributes, templateFile);
  }
  DWORD GetFileType(HANDLE file) override { return real_.GetFileType(file); }
  BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) override {
    return real_.SetupComm(file, inQueue, outQueue);
  }
  BOOL PurgeComm(HANDLE file, DWORD flags) override { return real_.PurgeComm(file, flags); }
  BOOL GetCommState(HANDLE file, DCB *dcb) override { return real_.GetCommState(file, dcb); }
  BOOL SetCommState(HANDLE file, DCB *dcb) override { return real_.SetCommState(file, dcb); }
  BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS *timeouts) override {
    return real_.SetCommTimeouts(file, timeouts);
  }
  BOOL SetCommMask(HANDLE file, DWORD mask) override { return real_.SetCommMask(file, mask); }
  BOOL WaitCommEvent(HANDLE file, DWORD *eventMask, OVERLAPPED *overlapped) override {
    return real_.WaitCommEvent(file, eventMask, overlapped);
  }
  BOOL ReadFile(HANDLE file, void *buffer, DWORD toRead, DWORD *read,
                OVERLAPPED *overlapped) override {
    return real_.ReadFile(file, buffer, toRead, read, overlapped);
  }
  BOOL WriteFile(HANDLE file, const void *buffer, DWORD toWrite, DWORD *written,
                 OVERLAPPED *overlapped) override {
    return real_.WriteFile(file, buffer, toWrite, written, overlapped);
  }
  BOOL GetOverlappedResult(HANDLE file, OVERLAPPED *overlapped, DWORD *transferred,
                           BOOL wait) override {
    return real_.GetOverlappedResult(file, overlapped, transferred, wait);
  }
  BOOL ClearCommError(HANDLE file, DWORD *errors, COMSTAT *stat) override {
    return real_.ClearCommError(file, errors, stat);
  }
  BOOL CancelIo(HANDLE file) override { return real_.CancelIo(file); }
  BOOL CloseHandle(HANDLE object) override { return real_.CloseHandle(object); }
  HANDLE CreateEventA(void *securityAttributes, BOOL manualReset, BOOL initialState,
                      const char *name) override {
    return real_.CreateEventA(securityAttributes, manualReset, initialState, name);
  }
  BOOL SetEvent(HANDLE event) override { return real_.SetEvent(event); }
  BOOL ResetEvent(HANDLE event) override { return real_.ResetEvent(event); }
  DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) override {
    return real_.WaitForSingleObject(object, milliseconds);
  }
  DWORD WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll,
                               DWORD milliseconds) override {
    return real_.WaitForMultipleObjects(count, handles, waitAll, milliseconds);
  }
  DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll,
                                  DWORD milliseconds, DWORD wakeMask) override {
    return real_.MsgWaitForMultipleObjects(count, handles, waitAll, milliseconds, wakeMask);
  }
  void Sleep(DWORD milliseconds) override { real_.Sleep(milliseconds); }
  std::uint64_t TickCount64() override { return real_.TickCount64(); }
  HANDLE CreateThread(LPTHREAD_START_ROUTINE start, void *parameter, DWORD creationFlags,
                      DWORD *threadId) override {
    return real_.CreateThread(start, parameter, creationFlags, threadId);
  }
  DWORD ResumeThread(HANDLE thread) override { return real_.ResumeThread(thread); }
  BOOL SetThreadPriority(HANDLE thread, int priority) override {
    return real_.SetThreadPriority(thread, priority);
  }
  DWORD GetCurrentThreadId() override { return real_.GetCurrentThreadId(); }
  HWND AllocateHWnd(WindowProc proc) override { return real_.AllocateHWnd(proc); }
  void DeallocateHWnd(HWND wnd) override { real_.DeallocateHWnd(wnd); }
  BOOL PostMessageA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) override {
    return real_.PostMessageA(wnd, msg, wParam, lParam);
  }
  BOOL PostThreadMessageA(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) override {
    return real_.PostThreadMessageA(threadId, msg, wParam, lParam);
  }
  BOOL PeekMessageA(MSG *msg, HWND wnd, UINT filterMin, UINT filterMax, UINT removeMsg) override {
    return real_.PeekMessageA(msg, wnd, filterMin, filterMax, removeMsg);
  }
  BOOL TranslateMessage(const MSG *msg) override { return real_.TranslateMessage(msg); }
  LRESULT DispatchMessageA(const MSG *msg) override { return real_.DispatchMessageA(msg); }
  LRESULT DefWindowProcA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) override {
    return real_.DefWindowProcA(wnd, msg, wParam, lParam);
  }
  HLOCAL LocalAlloc(UINT flags, std::size_t bytes) override {
    return real_.LocalAlloc(flags, bytes);
  }
  HLOCAL LocalFree(HLOCAL mem) override { return real_.LocalFree(mem); }

 protected:
  OsApi &Real() { return real_; }

 private:
  OsApi &real_;
};

}  // namespace platform
