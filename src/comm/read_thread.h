// TReadThread: keeps an event wait and a 1024-byte read standing on the open
// device and posts what they bring to the component's hidden window.
#pragma once

#include "platform/thread.h"

namespace comm {

class TReceiveGate;

class TReadThread : public platform::TThread {
 public:
  explicit TReadThread(platform::OsApi &api) : TThread(true, api) {}
  ~TReadThread() override { ReleaseThread(); }

  HANDLE PortHandle = nullptr;
  HANDLE CloseEvent = nullptr;
  HWND NotifyWindow = nullptr;
  // Counts the chunks posted and not yet taken; the reader waits while too
  // many wait (none: it never waits).
  TReceiveGate *Gate = nullptr;

  static constexpr DWORD kReadSize = 1024;
  static constexpr DWORD kEventMask = EV_RLSD | EV_ERR | EV_RING;  // 0x1A0

 protected:
  void Execute() override;

 private:
  struct RunState;

  bool ArmEventWait(OVERLAPPED &record, DWORD &mask);
  bool DispatchEventMask(OVERLAPPED *record, DWORD mask, bool fetchResult);
  bool ArmRead(OVERLAPPED &record, BYTE *buffer, DWORD &count, DWORD size);
  bool CompleteRead(OVERLAPPED &record, BYTE *buffer, DWORD &count);
  bool PostChunk(const BYTE *bytes, DWORD length);
  void RequestHangup();
  void ExitPath(RunState *state);

  // Some drivers (and Wine on a pseudo-terminal) refuse line-event waits;
  // the reader then carries on with data alone.
  bool eventsSupported_ = true;
  bool eventPending_ = false;
  bool readPending_ = false;
};

}  // namespace comm
