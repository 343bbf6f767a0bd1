// TWriteThread: writes the requests queued on its thread message queue, one at
// a time in order, and tells the component when its queue has drained.
#pragma once

#include <atomic>

#include "platform/thread.h"

namespace comm {

class TWriteThread : public platform::TThread {
 public:
  explicit TWriteThread(platform::OsApi &api) : TThread(true, api) {}
  ~TWriteThread() override { ReleaseThread(); }

  HANDLE PortHandle = nullptr;
  HANDLE CloseEvent = nullptr;
  HWND NotifyWindow = nullptr;
  std::atomic<bool> *SendDataEmptyRef = nullptr;

 protected:
  void Execute() override;

 private:
  struct RunState;

  bool WriteBlock(OVERLAPPED &record, const void *buffer, DWORD count);
  void RequestHangup();
  void ReleaseBlock(LPARAM block);
  void SetSendDataEmpty();

  bool writePending_ = false;
};

}  // namespace comm
