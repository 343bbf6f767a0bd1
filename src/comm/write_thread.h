// TWriteThread: writes the requests queued on its thread message queue, one at
// a time in order, and tells the component when its queue has drained.
//
// Threads: the component (main thread) fills the fields before Resume and
// posts requests through PostRequest; everything else runs on the writer.
// `gate_` guards `accepting_`: PostRequest posts while holding it, and the
// writer's exit path clears `accepting_` under it before its last look at the
// queue. So every post that succeeds lands in a queue that is still drained,
// and a request is always written or freed by the writer. (A thread's queue
// outlives that last look until the thread ends: a bare post would be taken
// and then lost.) The gate also guards `queueReady_`: the platform refuses
// thread messages until the writer's first look at its queue, so a post made
// right after the port opened waits (on `ready_`, never holding the gate)
// for that look instead of failing. The writer waits for nothing under it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

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

  // Posts a WriteRequest (count, block) to the writer's queue, as
  // PostThreadMessageA does; fails with ERROR_INVALID_THREAD_ID once the
  // writer has begun to end. On success the block belongs to the writer.
  bool PostRequest(WPARAM count, LPARAM block);

 protected:
  void Execute() override;

 private:
  struct RunState;

  bool WriteBlock(OVERLAPPED &record, const void *buffer, DWORD count);
  void RequestHangup();
  void ReleaseBlock(LPARAM block);
  void SetSendDataEmpty();

  bool writePending_ = false;
  void MarkQueueReady();

  std::mutex gate_;
  std::condition_variable ready_;
  bool accepting_ = true;    // guarded by gate_
  bool queueReady_ = false;  // guarded by gate_
};

}  // namespace comm
