#include "comm/read_thread.h"

#include <cstring>

#include "comm/messages.h"
#include "comm/receive_gate.h"

namespace comm {

// Everything one run of Execute hands to the platform lives here, on the heap,
// so that it can outlive the run if the platform never finishes with it.
struct TReadThread::RunState {
  OVERLAPPED readRecord{};
  OVERLAPPED eventRecord{};
  BYTE buffer[kReadSize]{};
  DWORD readCount = 0;
  DWORD eventMask = 0;
};

void TReadThread::Execute() {
  platform::OsApi &api = Api();
  auto *state = new RunState();
  HANDLE waitList[3] = {CloseEvent, nullptr, nullptr};

  state->readRecord.hEvent = api.CreateEventA(nullptr, TRUE, TRUE, nullptr);
  if (state->readRecord.hEvent == nullptr) {
    RequestHangup();
    ExitPath(state);
    return;
  }
  state->eventRecord.hEvent = api.CreateEventA(nullptr, TRUE, TRUE, nullptr);
  if (state->eventRecord.hEvent == nullptr) {
    RequestHangup();
    ExitPath(state);
    return;
  }
  waitList[1] = state->eventRecord.hEvent;
  waitList[2] = state->readRecord.hEvent;

  if (!api.SetCommMask(PortHandle, kEventMask)) {
    RequestHangup();
    ExitPath(state);
    return;
  }
  if (!ArmEventWait(state->eventRecord, state->eventMask) ||
      !ArmRead(state->readRecord, state->buffer, state->readCount, kReadSize)) {
    ExitPath(state);
    return;
  }

  for (;;) {
    DWORD result;
    if (eventsSupported_) {
      result = api.WaitForMultipleObjects(3, waitList, FALSE, INFINITE);
    } else {
      HANDLE dataOnly[2] = {CloseEvent, state->readRecord.hEvent};
      result = api.WaitForMultipleObjects(2, dataOnly, FALSE, INFINITE);
      if (result == WAIT_OBJECT_0 + 1) result = WAIT_OBJECT_0 + 2;
    }
    if (result == WAIT_OBJECT_0) break;
    if (result == WAIT_OBJECT_0 + 1) {
      eventPending_ = false;
      if (!DispatchEventMask(&state->eventRecord, state->eventMask, true)) break;
      if (!ArmEventWait(state->eventRecord, state->eventMask)) break;
    } else if (result == WAIT_OBJECT_0 + 2) {
      readPending_ = false;
      if (!CompleteRead(state->readRecord, state->buffer, state->readCount)) break;
      if (!ArmRead(state->readRecord, state->buffer, state->readCount, kReadSize)) break;
    } else {
      RequestHangup();
      break;
    }
  }
  ExitPath(state);
}

void TReadThread::ExitPath(RunState *state) {
  platform::OsApi &api = Api();
  api.PurgeComm(PortHandle, PURGE_RXABORT | PURGE_RXCLEAR);
  // The purge ends a read but not an event wait (and under Wine not even the
  // read): cancel what is still ours and wait until the platform lets go of
  // the records, the mask and the buffer.
  bool released = true;
  if (eventPending_ || readPending_) {
    api.CancelIo(PortHandle);
    if (eventPending_ && api.WaitForSingleObject(state->eventRecord.hEvent, 10000) != WAIT_OBJECT_0)
      released = false;
    if (readPending_ && api.WaitForSingleObject(state->readRecord.hEvent, 10000) != WAIT_OBJECT_0)
      released = false;
  }
  if (!released) return;  // the platform still holds them: leak rather than corrupt
  if (state->readRecord.hEvent != nullptr) api.CloseHandle(state->readRecord.hEvent);
  if (state->eventRecord.hEvent != nullptr) api.CloseHandle(state->eventRecord.hEvent);
  delete state;
}

bool TReadThread::ArmEventWait(OVERLAPPED &record, DWORD &mask) {
  platform::OsApi &api = Api();
  for (;;) {
    if (api.WaitForSingleObject(CloseEvent, 0) != WAIT_TIMEOUT) return false;
    if (!eventsSupported_) return true;
    if (api.WaitCommEvent(PortHandle, &mask, &record)) {
      if (!DispatchEventMask(nullptr, mask, false)) return false;
      continue;
    }
    const DWORD error = api.GetLastError();
    if (error == ERROR_IO_PENDING) {
      eventPending_ = true;
      return true;
    }
    if (error == ERROR_INVALID_HANDLE) return false;
    if (error == ERROR_NOT_SUPPORTED) {
      eventsSupported_ = false;
      return true;
    }
    RequestHangup();
    return false;
  }
}

bool TReadThread::DispatchEventMask(OVERLAPPED *record, DWORD mask, bool fetchResult) {
  platform::OsApi &api = Api();
  bool result = false;
  if (fetchResult) {
    DWORD scratch = 0;
    if (!api.GetOverlappedResult(PortHandle, record, &scratch, FALSE)) {
      if (api.GetLastError() != ERROR_INVALID_HANDLE) RequestHangup();
      return false;
    }
  }
  if ((mask & EV_ERR) != 0) {
    DWORD errors = 0;
    if (!api.ClearCommError(PortHandle, &errors, nullptr)) {
      if (api.GetLastError() != ERROR_INVALID_HANDLE) RequestHangup();
      return false;
    }
    if (!api.PostMessageA(NotifyWindow, NotifyReceiveError, 0, static_cast<LPARAM>(errors))) {
      RequestHangup();
      return false;
    }
    result = true;
  }
  DWORD modem = 0;
  if ((mask & EV_RLSD) != 0) modem |= ModemRlsd;
  if ((mask & EV_RING) != 0) modem |= ModemRing;
  if (modem != 0) {
    if (!api.PostMessageA(NotifyWindow, NotifyModemState, 0, static_cast<LPARAM>(modem))) {
      RequestHangup();
      return false;
    }
    result = true;
  }
  if ((mask & (EV_ERR | EV_RLSD | EV_RING)) == 0) {
    RequestHangup();
    return false;
  }
  return result;
}

bool TReadThread::ArmRead(OVERLAPPED &record, BYTE *buffer, DWORD &count, DWORD size) {
  platform::OsApi &api = Api();
  for (;;) {
    if (api.WaitForSingleObject(CloseEvent, 0) != WAIT_TIMEOUT) return false;
    // No read stands while the window is behind: the line holds the rest.
    if (Gate != nullptr && !Gate->WaitForRoom(CloseEvent)) return false;
    if (api.ReadFile(PortHandle, buffer, size, &count, &record)) {
      if (count == 0) {
        // The device's time-outs make reads return at once: no read can
        // stand, and reading again at once would spin. Receiving is over.
        RequestHangup();
        return false;
      }
      if (!PostChunk(buffer, count)) return false;
      continue;
    }
    const DWORD error = api.GetLastError();
    if (error == ERROR_IO_PENDING) {
      readPending_ = true;
      return true;
    }
    if (error == ERROR_INVALID_HANDLE) return false;
    RequestHangup();
    return false;
  }
}

bool TReadThread::CompleteRead(OVERLAPPED &record, BYTE *buffer, DWORD &count) {
  platform::OsApi &api = Api();
  if (!api.GetOverlappedResult(PortHandle, &record, &count, FALSE)) {
    const DWORD error = api.GetLastError();
    // A read whose time-out passed. Windows completes it with the bytes that
    // came; Wine reports ERROR_TIMEOUT instead, and does so with no bytes
    // while a write is under way on the same port.
    if (error != ERROR_TIMEOUT) {
      if (error != ERROR_INVALID_HANDLE) RequestHangup();
      return false;
    }
  }
  // Nothing came before the time-out: the line is still there, and the next
  // read stands again.
  if (count == 0) return true;
  return PostChunk(buffer, count);
}

bool TReadThread::PostChunk(const BYTE *bytes, DWORD length) {
  platform::OsApi &api = Api();
  if (length == 0) return false;
  auto *block = static_cast<BYTE *>(api.LocalAlloc(LPTR, length + 1));
  if (block == nullptr) {
    RequestHangup();
    return false;
  }
  std::memcpy(block, bytes, length);
  block[length] = 0;
  if (Gate != nullptr) Gate->Posting();
  if (api.PostMessageA(NotifyWindow, NotifyGotData, length, reinterpret_cast<LPARAM>(block))) {
    return true;
  }
  if (Gate != nullptr) Gate->Unposted();
  api.LocalFree(block);  // never reached the component: it is still ours
  RequestHangup();
  return false;
}

void TReadThread::RequestHangup() { Api().PostMessageA(NotifyWindow, NotifyRequestHangup, 0, 0); }

}  // namespace comm
