#include "fake_serial.h"

#include <chrono>
#include <functional>

bool FakeSerial::Enter(const std::string &name) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back(name);
  auto it = failures_.find(name);
  if (it != failures_.end() && it->second.second != 0) {
    if (it->second.second > 0) --it->second.second;
    Real().SetLastError(it->second.first);
    return false;
  }
  return true;
}

int FakeSerial::CountCalls(const std::string &name) {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (auto &c : calls_) n += c == name ? 1 : 0;
  return n;
}

bool FakeSerial::WaitFor(const std::function<bool()> &pred, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
}

void FakeSerial::Complete(Pending &p, DWORD status, DWORD bytes) {
  // Caller holds mutex_.
  if (!p.active) return;
  p.active = false;
  p.record->Internal = status;
  p.record->InternalHigh = bytes;
  Real().SetEvent(p.record->hEvent);
  cv_.notify_all();
}

HANDLE FakeSerial::CreateFileA(const char *, DWORD, DWORD, void *, DWORD, DWORD, HANDLE) {
  if (!Enter("CreateFileA")) return INVALID_HANDLE_VALUE;
  std::lock_guard<std::mutex> lock(mutex_);
  open_ = true;
  return DeviceHandle();
}

DWORD FakeSerial::GetFileType(HANDLE file) {
  if (!IsDevice(file)) return Real().GetFileType(file);
  Enter("GetFileType");
  return fileType;
}

BOOL FakeSerial::SetupComm(HANDLE file, DWORD, DWORD) {
  if (!IsDevice(file)) return Real().SetupComm(file, 0, 0);
  return Enter("SetupComm");
}

BOOL FakeSerial::PurgeComm(HANDLE file, DWORD flags) {
  if (!IsDevice(file)) return Real().PurgeComm(file, flags);
  if (!Enter("PurgeComm")) return FALSE;
  std::lock_guard<std::mutex> lock(mutex_);
  purges_.push_back(flags);
  if (flags & PURGE_TXABORT) txPurgedBy_ = Real().GetCurrentThreadId();
  if (flags & PURGE_RXABORT) Complete(read_, ERROR_OPERATION_ABORTED, 0);
  if (flags & PURGE_TXABORT) Complete(write_, ERROR_OPERATION_ABORTED, 0);
  return TRUE;
}

BOOL FakeSerial::GetCommState(HANDLE file, DCB *dcb) {
  if (!IsDevice(file)) return Real().GetCommState(file, dcb);
  if (!Enter("GetCommState")) return FALSE;
  std::lock_guard<std::mutex> lock(mutex_);
  *dcb = deviceDcb;
  return TRUE;
}

BOOL FakeSerial::SetCommState(HANDLE file, DCB *dcb) {
  if (!IsDevice(file)) return Real().SetCommState(file, dcb);
  if (!Enter("SetCommState")) return FALSE;
  std::lock_guard<std::mutex> lock(mutex_);
  dcbWrites_.push_back(*dcb);
  return TRUE;
}

BOOL FakeSerial::SetCommTimeouts(HANDLE file, COMMTIMEOUTS *timeouts) {
  if (!IsDevice(file)) return Real().SetCommTimeouts(file, timeouts);
  if (!Enter("SetCommTimeouts")) return FALSE;
  std::lock_guard<std::mutex> lock(mutex_);
  timeoutWrites_.push_back(*timeouts);
  return TRUE;
}

BOOL FakeSerial::SetCommMask(HANDLE file, DWORD mask) {
  if (!IsDevice(file)) return Real().SetCommMask(file, mask);
  if (!Enter("SetCommMask")) return FALSE;
  std::lock_guard<std::mutex> lock(mutex_);
  commMask_ = mask;
  return TRUE;
}

BOOL FakeSerial::WaitCommEvent(HANDLE file, DWORD *eventMask, OVERLAPPED *overlapped) {
  if (!IsDevice(file)) return Real().WaitCommEvent(file, eventMask, overlapped);
  if (!Enter("WaitCommEvent")) return FALSE;
  if (waitCommEventError != 0) {
    Real().SetLastError(waitCommEventError);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  Real().ResetEvent(overlapped->hEvent);
  overlapped->Internal = kOverlappedPending;
  event_ = {overlapped, eventMask, nullptr, 0, true};
  cv_.notify_all();
  Real().SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

BOOL FakeSerial::ReadFile(HANDLE file, void *buffer, DWORD toRead, DWORD *read,
                          OVERLAPPED *overlapped) {
  if (!IsDevice(file)) return Real().ReadFile(file, buffer, toRead, read, overlapped);
  if (!Enter("ReadFile")) return FALSE;
  if (readsReturnEmpty.load()) {
    *read = 0;
    return TRUE;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  Real().ResetEvent(overlapped->hEvent);
  overlapped->Internal = kOverlappedPending;
  read_ = {overlapped, buffer, nullptr, toRead, true};
  cv_.notify_all();
  Real().SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

BOOL FakeSerial::WriteFile(HANDLE file, const void *buffer, DWORD toWrite, DWORD *written,
                           OVERLAPPED *overlapped) {
  if (!IsDevice(file)) return Real().WriteFile(file, buffer, toWrite, written, overlapped);
  if (!Enter("WriteFile")) return FALSE;
  std::lock_guard<std::mutex> lock(mutex_);
  Real().ResetEvent(overlapped->hEvent);
  if (!writesPend) {
    const DWORD n = shortWrite < 0 ? toWrite : static_cast<DWORD>(shortWrite);
    written_.append(static_cast<const char *>(buffer), n);
    *written = n;
    overlapped->Internal = 0;
    overlapped->InternalHigh = n;
    Real().SetEvent(overlapped->hEvent);
    return TRUE;
  }
  overlapped->Internal = kOverlappedPending;
  write_ = {overlapped, nullptr, buffer, toWrite, true};
  cv_.notify_all();
  Real().SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

BOOL FakeSerial::GetOverlappedResult(HANDLE file, OVERLAPPED *overlapped, DWORD *transferred,
                                     BOOL wait) {
  if (!IsDevice(file)) return Real().GetOverlappedResult(file, overlapped, transferred, wait);
  if (!Enter("GetOverlappedResult")) return FALSE;
  if (overlapped->Internal == kOverlappedPending) {
    if (!wait) {
      Real().SetLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    Real().WaitForSingleObject(overlapped->hEvent, INFINITE);
  }
  *transferred = static_cast<DWORD>(overlapped->InternalHigh);
  if (overlapped->Internal != 0) {
    Real().SetLastError(static_cast<DWORD>(overlapped->Internal));
    return FALSE;
  }
  return TRUE;
}

BOOL FakeSerial::ClearCommError(HANDLE file, DWORD *errors, COMSTAT *stat) {
  if (!IsDevice(file)) return Real().ClearCommError(file, errors, stat);
  if (!Enter("ClearCommError")) return FALSE;
  *errors = clearCommErrorBits;
  return TRUE;
}

BOOL FakeSerial::CancelIo(HANDLE file) {
  if (!IsDevice(file)) return Real().CancelIo(file);
  if (!Enter("CancelIo")) return FALSE;
  std::lock_guard<std::mutex> lock(mutex_);
  // The fake does not track issuing threads: each worker only has its own
  // operations pending when it cancels, so abort what matches the caller.
  Complete(read_, ERROR_OPERATION_ABORTED, 0);
  Complete(event_, ERROR_OPERATION_ABORTED, 0);
  Complete(write_, ERROR_OPERATION_ABORTED, 0);
  return TRUE;
}

BOOL FakeSerial::CloseHandle(HANDLE object) {
  if (!IsDevice(object)) return Real().CloseHandle(object);
  Enter("CloseHandle");
  std::lock_guard<std::mutex> lock(mutex_);
  open_ = false;
  Complete(read_, ERROR_OPERATION_ABORTED, 0);
  Complete(event_, ERROR_OPERATION_ABORTED, 0);
  Complete(write_, ERROR_OPERATION_ABORTED, 0);
  return TRUE;
}

HANDLE FakeSerial::CreateEventA(void *sa, BOOL manualReset, BOOL initialState, const char *name) {
  const int n = ++eventCalls_;
  if (n == eventFailAt_.load()) {
    Real().SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return Real().CreateEventA(sa, manualReset, initialState, name);
}

HANDLE FakeSerial::CreateThread(LPTHREAD_START_ROUTINE start, void *parameter, DWORD flags,
                                DWORD *threadId) {
  const int n = ++threadCalls_;
  if (n == threadFailAt_.load()) {
    Real().SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return Real().CreateThread(start, parameter, flags, threadId);
}

BOOL FakeSerial::PostMessageA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (failPost_.load() != 0 && msg == failPost_.load()) {
    Real().SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  return Real().PostMessageA(wnd, msg, wParam, lParam);
}

HLOCAL FakeSerial::LocalAlloc(UINT flags, std::size_t bytes) {
  HLOCAL p = Real().LocalAlloc(flags, bytes);
  if (p != nullptr) ++allocations_;
  return p;
}

HLOCAL FakeSerial::LocalFree(HLOCAL mem) {
  if (mem != nullptr) --allocations_;
  return Real().LocalFree(mem);
}

bool FakeSerial::WaitForPendingRead(int timeoutMs) {
  return WaitFor([&] { return read_.active; }, timeoutMs);
}

bool FakeSerial::WaitForPendingWrite(int timeoutMs) {
  return WaitFor([&] { return write_.active; }, timeoutMs);
}

bool FakeSerial::CompleteRead(const std::string &bytes, DWORD status, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return read_.active; }))
    return false;
  const DWORD n = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), read_.size));
  std::memcpy(read_.buffer, bytes.data(), n);
  Complete(read_, status, n);
  return true;
}

bool FakeSerial::CompleteEvent(DWORD mask, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return event_.active; }))
    return false;
  *static_cast<DWORD *>(event_.buffer) = mask;
  Complete(event_, 0, 0);
  return true;
}

bool FakeSerial::CompleteWrite(DWORD written, DWORD status, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return write_.active; }))
    return false;
  written_.append(static_cast<const char *>(write_.writeBuffer), std::min(written, write_.size));
  Complete(write_, status, written);
  return true;
}

BOOL FakeSerial::PostThreadMessageA(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (failPostThread_.load()) {
    Real().SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  return Real().PostThreadMessageA(threadId, msg, wParam, lParam);
}

BOOL FakeSerial::PeekMessageA(MSG *msg, HWND wnd, UINT filterMin, UINT filterMax, UINT removeMsg) {
  const BOOL got = Real().PeekMessageA(msg, wnd, filterMin, filterMax, removeMsg);
  if (got || !holdExit_.load() || txPurgedBy_.load() != Real().GetCurrentThreadId()) return got;
  holdExit_ = false;
  std::unique_lock<std::mutex> lock(mutex_);
  exitHeld_ = true;
  cv_.notify_all();
  cv_.wait_for(lock, std::chrono::seconds(10), [&] { return exitReleased_; });
  return got;
}

bool FakeSerial::WaitForHeldWriterExit(int timeoutMs) {
  return WaitFor([&] { return exitHeld_; }, timeoutMs);
}

void FakeSerial::ReleaseWriterExit() {
  std::lock_guard<std::mutex> lock(mutex_);
  exitReleased_ = true;
  cv_.notify_all();
}
