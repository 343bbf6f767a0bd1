// TReceiveGate: the reader's brake. It counts the chunks that the reader has
// posted and the component's window has not yet taken; once more than kHigh
// wait, the reader stops reading until the window has taken them down to
// kLow. So a main thread that falls behind holds back the line (the device's
// buffer and its flow control) instead of a queue that grows without bound
// (Windows caps a thread's queue at 10,000 messages, and a post that fails
// ends receiving).
//
// Threads: the reader calls Posting, Unposted and WaitForRoom; the main thread
// calls Taken (for every chunk it takes off its queue, delivered or freed).
// The count is atomic; the room event is set by Taken when the count falls to
// kLow and reset by the reader before it looks at the count for the last time,
// so a wait never misses the fall. The gate belongs to the component and
// outlives every reader that uses it.
#pragma once

#include <atomic>

#include "platform/osapi.h"

namespace comm {

class TReceiveGate {
 public:
  // Chosen by measurement (bench/e2e): a 64 KiB backlog keeps the main
  // thread busy between its frames without adding a noticeable latency.
  static constexpr long kHigh = 64;
  static constexpr long kLow = 32;

  explicit TReceiveGate(platform::OsApi &api)
      : api_(api), room_(api.CreateEventA(nullptr, TRUE, TRUE, nullptr)) {}
  ~TReceiveGate() {
    if (room_ != nullptr) api_.CloseHandle(room_);
  }
  TReceiveGate(const TReceiveGate &) = delete;
  TReceiveGate &operator=(const TReceiveGate &) = delete;

  // The reader is about to post a chunk; Unposted when the post failed.
  void Posting() { queued_.fetch_add(1); }
  void Unposted() { Taken(); }
  // The main thread took a chunk off its queue.
  void Taken() {
    if (queued_.fetch_sub(1) == kLow + 1 && room_ != nullptr) api_.SetEvent(room_);
  }
  // Waits while more than kHigh chunks wait, or until `closeEvent` is set
  // (false). Without an event of its own (creation failed) it never waits.
  bool WaitForRoom(HANDLE closeEvent) {
    while (room_ != nullptr && queued_.load() > kHigh) {
      api_.ResetEvent(room_);
      if (queued_.load() <= kHigh) break;
      HANDLE waitList[2] = {closeEvent, room_};
      if (api_.WaitForMultipleObjects(2, waitList, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
        return false;
      }
    }
    return true;
  }
  long Queued() const { return queued_.load(); }

 private:
  platform::OsApi &api_;
  HANDLE room_;
  std::atomic<long> queued_{0};
};

}  // namespace comm
