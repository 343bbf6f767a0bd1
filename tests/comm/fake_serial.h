// A scripted serial device on top of the real events, threads and queues.
// Every device call on the fake handle is recorded; any call can be made to
// fail with a chosen error; reads, event waits and writes stay pending until
// the test completes them (or complete at once, as scripted).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/forwarding_api.h"

class FakeSerial : public platform::ForwardingOsApi {
 public:
  static HANDLE DeviceHandle() {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x7F5E0001));
  }

  struct Pending {
    OVERLAPPED *record = nullptr;
    void *buffer = nullptr;  // read buffer or DWORD* mask
    const void *writeBuffer = nullptr;
    DWORD size = 0;
    bool active = false;
  };

  // ---- scripting ----------------------------------------------------------
  // Make the named call fail with `error`: `times` < 0 means always.
  void FailCall(const std::string &name, DWORD error, int times = -1) {
    std::lock_guard<std::mutex> lock(mutex_);
    failures_[name] = {error, times};
  }
  // Fail the n-th (1-based) call of CreateThread / CreateEventA from now on.
  void FailNthCreateThread(int n) { threadFailAt_ = threadCalls_.load() + n; }
  void FailNthCreateEvent(int n) { eventFailAt_ = eventCalls_.load() + n; }
  // Fail posts of this window message number (all of them).
  void FailPostMessage(UINT msg) { failPost_ = msg; }
  void FailPostThreadMessage(bool fail) { failPostThread_ = fail; }
  // Holds the writer at its last look at its queue: the first PeekMessageA
  // that finds nothing on a thread that has purged the transmit side (the
  // writer's exit path) waits there until ReleaseWriterExit.
  void HoldWriterExit() { holdExit_ = true; }
  bool WaitForHeldWriterExit(int timeoutMs = 5000);
  void ReleaseWriterExit();

  DWORD fileType = FILE_TYPE_CHAR;
  // What GetCommState reports (fAbortOnError and a spare bit set on purpose).
  DCB deviceDcb = [] {
    DCB d{};
    d.DCBlength = sizeof(DCB);
    d.BaudRate = 1200;
    platform::SetDcbFlags(d, 0x4000 | 0x00010000 | 0x0001);
    d.EofChar = 0x1A;
    d.EvtChar = 0x7E;
    return d;
  }();
  // Writes complete at once (default) or stay pending until CompleteWrite.
  bool writesPend = false;
  // A completed-at-once write reports this many bytes (-1: all).
  int shortWrite = -1;
  // WaitCommEvent fails at once with this error (0: goes pending).
  DWORD waitCommEventError = 0;

  // Reads complete at once with no bytes, as with time-outs that say so.
  std::atomic<bool> readsReturnEmpty{false};

  // Completes the standing read with these bytes and status (waits for it to
  // be issued).
  bool CompleteRead(const std::string &bytes, DWORD status = 0, int timeoutMs = 5000);
  // Completes the standing event wait with this mask.
  bool CompleteEvent(DWORD mask, int timeoutMs = 5000);
  bool CompleteWrite(DWORD written, DWORD status = 0, int timeoutMs = 5000);
  bool WaitForPendingRead(int timeoutMs = 5000);
  bool WaitForPendingWrite(int timeoutMs = 5000);

  // ---- inspection ---------------------------------------------------------
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  int CountCalls(const std::string &name);
  void ClearCalls() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
    dcbWrites_.clear();
    purges_.clear();
    timeoutWrites_.clear();
  }
  std::vector<DCB> DcbWrites() {
    std::lock_guard<std::mutex> lock(mutex_);
    return dcbWrites_;
  }
  std::vector<DWORD> Purges() {
    std::lock_guard<std::mutex> lock(mutex_);
    return purges_;
  }
  std::vector<COMMTIMEOUTS> TimeoutWrites() {
    std::lock_guard<std::mutex> lock(mutex_);
    return timeoutWrites_;
  }
  std::string Written() {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
  }
  bool DeviceOpen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
  }
  long OutstandingBlocks() const { return allocations_.load(); }
  DWORD LastCommMask() {
    std::lock_guard<std::mutex> lock(mutex_);
    return commMask_;
  }
  int ThreadsCreated() const { return threadCalls_.load(); }

  // ---- OsApi overrides ----------------------------------------------------
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
  HANDLE CreateEventA(void *sa, BOOL manualReset, BOOL initialState, const char *name) override;
  HANDLE CreateThread(LPTHREAD_START_ROUTINE start, void *parameter, DWORD creationFlags,
                      DWORD *threadId) override;
  BOOL PostMessageA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) override;
  BOOL PostThreadMessageA(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) override;
  BOOL PeekMessageA(MSG *msg, HWND wnd, UINT filterMin, UINT filterMax, UINT removeMsg) override;
  HLOCAL LocalAlloc(UINT flags, std::size_t bytes) override;
  HLOCAL LocalFree(HLOCAL mem) override;

  DWORD clearCommErrorBits = CE_FRAME;

 private:
  bool IsDevice(HANDLE h) const { return h == DeviceHandle(); }
  // Records the call; returns false (with the error set) if it is scripted to fail.
  bool Enter(const std::string &name);
  void Complete(Pending &p, DWORD status, DWORD bytes);
  bool WaitFor(const std::function<bool()> &pred, int timeoutMs);

  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> calls_;
  std::map<std::string, std::pair<DWORD, int>> failures_;
  std::vector<DCB> dcbWrites_;
  std::vector<DWORD> purges_;
  std::vector<COMMTIMEOUTS> timeoutWrites_;
  std::string written_;
  bool open_ = false;
  DWORD commMask_ = 0;
  Pending read_, event_, write_;
  std::atomic<long> allocations_{0};
  std::atomic<int> threadCalls_{0}, eventCalls_{0};
  std::atomic<int> threadFailAt_{-1}, eventFailAt_{-1};
  std::atomic<UINT> failPost_{0};
  std::atomic<bool> failPostThread_{false};
  std::atomic<bool> holdExit_{false};
  std::atomic<DWORD> txPurgedBy_{0};
  bool exitHeld_ = false, exitReleased_ = false;  // guarded by mutex_
};
