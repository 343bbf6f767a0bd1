#include "comm/write_thread.h"

#include <chrono>

#include "comm/messages.h"

namespace comm {

// What one run of Execute hands to the platform; on the heap so that it can
// outlive the run if the platform never finishes with it.
struct TWriteThread::RunState {
  OVERLAPPED writeRecord{};
  LPARAM abandonedBlock = 0;  // a write left in progress when the stop came
};

void TWriteThread::Execute() {
  platform::OsApi &api = Api();
  auto *state = new RunState();
  MSG msg{};

  state->writeRecord.hEvent = api.CreateEventA(nullptr, TRUE, TRUE, nullptr);
  if (state->writeRecord.hEvent == nullptr) {
    RequestHangup();
  } else {
    bool noticeDue = true;
    bool looked = false;
    for (;;) {
      const BOOL taken = api.PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);
      if (!looked) {
        looked = true;
        MarkQueueReady();  // the queue exists from this first look on
      }
      if (!taken) {
        SetSendDataEmpty();
        if (noticeDue && !api.PostMessageA(NotifyWindow, NotifySendEmpty, 0, 0)) {
          RequestHangup();
          break;
        }
        noticeDue = false;
        const DWORD r = api.MsgWaitForMultipleObjects(1, &CloseEvent, FALSE, INFINITE, 0xFF);
        if (r == WAIT_OBJECT_0) break;
        if (r == WAIT_OBJECT_0 + 1) continue;
        RequestHangup();
        break;
      }
      if (api.WaitForSingleObject(CloseEvent, 0) != WAIT_TIMEOUT) {
        if (msg.hwnd == nullptr && msg.message == WriteRequest) ReleaseBlock(msg.lParam);
        break;
      }
      if (msg.hwnd != nullptr) {
        api.TranslateMessage(&msg);
        api.DispatchMessageA(&msg);
        continue;
      }
      if (msg.message != WriteRequest) continue;  // dropped
      const auto *buffer = reinterpret_cast<const void *>(msg.lParam);
      if (!WriteBlock(state->writeRecord, buffer, static_cast<DWORD>(msg.wParam))) {
        if (writePending_) {
          state->abandonedBlock = msg.lParam;  // released once the purge has ended it
        } else {
          ReleaseBlock(msg.lParam);
        }
        break;
      }
      noticeDue = true;
      ReleaseBlock(msg.lParam);
      SetSendDataEmpty();
    }
  }

  // Exit path.
  api.PurgeComm(PortHandle, PURGE_TXABORT | PURGE_TXCLEAR);
  bool released = true;
  if (writePending_) {
    api.CancelIo(PortHandle);
    released = api.WaitForSingleObject(state->writeRecord.hEvent, 10000) == WAIT_OBJECT_0;
  }
  SetSendDataEmpty();
  {
    // From here on posts fail, so the drain below sees every request that
    // was ever accepted.
    std::lock_guard<std::mutex> lock(gate_);
    accepting_ = false;
  }
  ready_.notify_all();
  // Requests still queued are never written, but their blocks are ours.
  while (api.PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.hwnd == nullptr && msg.message == WriteRequest) ReleaseBlock(msg.lParam);
  }
  if (!released) return;  // the platform still holds the record and block
  if (state->abandonedBlock != 0) ReleaseBlock(state->abandonedBlock);
  if (state->writeRecord.hEvent != nullptr) api.CloseHandle(state->writeRecord.hEvent);
  delete state;
}

bool TWriteThread::WriteBlock(OVERLAPPED &record, const void *buffer, DWORD count) {
  platform::OsApi &api = Api();
  DWORD written = 0;
  if (api.WriteFile(PortHandle, buffer, count, &written, &record)) {
    if (written == count) return true;
    RequestHangup();
    return false;
  }
  DWORD error = api.GetLastError();
  if (error == ERROR_INVALID_HANDLE) return false;
  if (error != ERROR_IO_PENDING) {
    RequestHangup();
    return false;
  }
  writePending_ = true;
  HANDLE handles[2] = {CloseEvent, record.hEvent};
  const DWORD r = api.WaitForMultipleObjects(2, handles, FALSE, INFINITE);
  if (r == WAIT_OBJECT_0) return false;  // left in progress for the purge to end
  if (r != WAIT_OBJECT_0 + 1) {
    RequestHangup();
    return false;
  }
  writePending_ = false;
  if (!api.GetOverlappedResult(PortHandle, &record, &written, TRUE)) {
    error = api.GetLastError();
    if (error != ERROR_INVALID_HANDLE) RequestHangup();
    return false;
  }
  if (written == count) return true;
  RequestHangup();
  return false;
}

void TWriteThread::MarkQueueReady() {
  {
    std::lock_guard<std::mutex> lock(gate_);
    queueReady_ = true;
  }
  ready_.notify_all();
}

bool TWriteThread::PostRequest(WPARAM count, LPARAM block) {
  std::unique_lock<std::mutex> lock(gate_);
  // A writer resumed a moment ago looks at its queue within microseconds;
  // the bound only keeps a writer that never runs from holding a send.
  const auto settled = [this] { return queueReady_ || !accepting_; };
  if (!settled()) ready_.wait_for(lock, std::chrono::seconds(10), settled);
  if (!accepting_) {
    Api().SetLastError(ERROR_INVALID_THREAD_ID);  // as a post to an ended thread
    return false;
  }
  return Api().PostThreadMessageA(ThreadID(), WriteRequest, count, block);
}

void TWriteThread::RequestHangup() { Api().PostMessageA(NotifyWindow, NotifyRequestHangup, 0, 0); }

void TWriteThread::ReleaseBlock(LPARAM block) { Api().LocalFree(reinterpret_cast<HLOCAL>(block)); }

void TWriteThread::SetSendDataEmpty() {
  if (SendDataEmptyRef != nullptr) SendDataEmptyRef->store(true);
}

}  // namespace comm
